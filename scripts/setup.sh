#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent and
# non-interactive: packages already present are left alone; apt-get update runs first whenever
# something is to be installed.
#   scripts/setup.sh                  build, unit and end-to-end tests, the demo
#   scripts/setup.sh --windows-tests  also wine64, to run the 64-bit Windows build
#   scripts/setup.sh --bench          also valgrind, for bench/compare.sh
#   scripts/setup.sh --rig            also QEMU, busybox and libcdio's tools, for tests/rig/run.sh
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  libgtest-dev libgmock-dev googletest
  libasound2-dev alsa-utils libsndfile1-dev
  clang libclang-rt-14-dev
  groff-base lintian
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-i686-dev mingw-w64-x86-64-dev
)
for arg in "$@"; do
  case "$arg" in
    --windows-tests) packages+=(wine wine64) ;;
    --bench) packages+=(valgrind) ;;
    --rig) packages+=(qemu-system-x86 busybox-static libcdio-utils cd-paranoia) ;;
    *) echo "usage: $0 [--windows-tests] [--bench] [--rig]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
echo "setup: installing ${missing[*]}"
sudo_if_needed apt-get update -qq
sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
