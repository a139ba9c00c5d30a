#!/usr/bin/env bash
# The Debian package, installed into a scratch root (dpkg -x), plays the built-in disc: the
# installed program finds the installed library through its RUNPATH, not the build's.
#   deb_install_test.sh <build dir>
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >/dev/null
deb=$(ls "$scratch"/pkg/cddaplay_*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libasound2' || { echo "libasound2 is not declared" >&2; exit 1; }
dpkg -x "$deb" "$scratch/root"
for f in usr/bin/cddaplay usr/lib/cddaplay/libwnaspi32.so usr/share/man/man1/cddaplay.1.gz \
         usr/share/doc/cddaplay/copyright usr/share/doc/cddaplay/changelog.gz; do
  [ -e "$scratch/root/$f" ] || { echo "missing in the package: $f" >&2; exit 1; }
done

gzip -t "$scratch/root/usr/share/man/man1/cddaplay.1.gz" || { echo "the man page is no gzip file" >&2; exit 1; }
# Debian's checker finds no error in the package (its warnings are printed for whoever reads the log).
command -v lintian >/dev/null || { echo "lintian is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
lintian --tag-display-limit 0 "$deb" | tee "$scratch/lintian.txt"
! grep -q '^E:' "$scratch/lintian.txt" || { echo "lintian reports errors" >&2; exit 1; }

cat > "$scratch/capture.conf" <<CONF
pcm.!default { type file slave.pcm { type null } file "$scratch/out.raw" format "raw" }
CONF
cd "$scratch"
out=$(env -u LD_LIBRARY_PATH CDDAPLAY_IMAGES=builtin ALSA_CONFIG_PATH="$scratch/capture.conf" LD_DEBUG=files \
      "$scratch/root/usr/bin/cddaplay" -t3 </dev/null 2>"$scratch/err")
expected=$'cdrom_device is 0/1 now.\nstart 3/3 cdrom_track.\nnow playing...\nFinished.'
[ "$out" = "$expected" ] || { echo "unexpected output: $out" >&2; cat "$scratch/err" >&2; exit 1; }
grep -qF "opening file=$scratch/root/usr/bin/../lib/cddaplay/libwnaspi32.so" "$scratch/err" ||
  { echo "the installed program did not load the installed library" >&2; grep libwnaspi32 "$scratch/err" >&2; exit 1; }
# Track 3 is 900 sectors of 2352 bytes; the sink may add silence when closed.
size=$(stat -c %s "$scratch/out.raw")
[ "$size" -ge $((900 * 2352)) ] || { echo "only $size bytes of sound" >&2; exit 1; }
echo "installed package plays: $size bytes of sound"
