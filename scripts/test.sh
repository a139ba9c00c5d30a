#!/usr/bin/env bash
# Sets up, builds and runs every test:
# - the Linux build: unit tests, end-to-end tests of the program, and the same end-to-end tests
#   of the 64-bit Windows program under wine64;
# - the drive rig: the Linux build against CD-ROM drives of Debian's kernel booted in QEMU;
# - the 64-bit Windows build: its unit tests under wine64;
# - unit, end-to-end and stress tests under AddressSanitizer+UBSan (leak detection on) and under
#   ThreadSanitizer;
# - the 32-bit Windows build (compiled and linked; this machine cannot run 32-bit programs);
# - every fuzz target for a short time (fuzz/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --windows-tests --rig

step() { printf '\n==== %s (%s)\n' "$*" "$(date +%T)"; }

step "win64: build, and unit tests under wine64"
cmake --preset win64 >/dev/null
cmake --build --preset win64
ctest --preset win64

step "linux: build, unit and end-to-end tests (native and win64 under wine64)"
cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux

step "rig: the Linux build against CD-ROMs of a real kernel in QEMU (tests/rig/run.sh)"
tests/rig/run.sh

for preset in asan tsan; do
  step "$preset: build and test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

step "fuzz: build, and every target for 30 s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
fuzz/run.sh 30

step "win32: build"
cmake --preset win32 >/dev/null
cmake --build --preset win32
step "all builds and tests passed"
