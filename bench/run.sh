#!/usr/bin/env bash
# Builds the Linux preset and runs the playback benchmark (numbers only, nothing asserted).
#   bench/run.sh [runs] [seconds of real-time playback]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target playback_bench cddaplay wnaspi32 >/dev/null
exec build/linux/bin/playback_bench "$@"
