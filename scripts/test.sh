#!/usr/bin/env bash
# Sets up, builds and runs every test: the Linux build with its unit and end-to-end tests, the
# unit tests again under AddressSanitizer+UBSan and ThreadSanitizer, and the two Windows builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

step() { printf '\n==== %s\n' "$*"; }

step "linux: build and test"
cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux

for preset in asan tsan; do
  step "$preset: build and test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

for preset in win32 win64; do
  step "$preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
step "all builds and tests passed"
