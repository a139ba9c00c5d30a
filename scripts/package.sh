#!/usr/bin/env bash
# Builds the packages: the Debian package of the Linux build and one zip per Windows build
# (cddaplay.exe, our WNASPI32.DLL, README.md). They land in out/packages/.
#   scripts/package.sh            all three
#   scripts/package.sh linux      only the .deb (likewise win32, win64)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux win32 win64)
scripts/setup.sh
mkdir -p out/packages
for preset in "${presets[@]}"; do
  case "$preset" in linux|win32|win64) ;; *) echo "unknown preset: $preset" >&2; exit 2 ;; esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target cddaplay wnaspi32
  (cd "build/$preset" && cpack -B "$PWD/packages" >/dev/null)
  cp "build/$preset"/packages/cddaplay[-_]*.{deb,zip} out/packages/ 2>/dev/null || true
done
ls -l out/packages
