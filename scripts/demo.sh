#!/usr/bin/env bash
# Sets up and builds cddaplay for Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux
