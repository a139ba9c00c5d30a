#!/usr/bin/env bash
# The drive rig: boots Debian's own kernel in QEMU (no KVM) with CD-ROM drives whose every SCSI
# command is answered by our drive server (tests/rig/drive_server.cpp) from a disc image, then runs
# scenarios of the Linux build against them through the real sr/sg drivers and SG_IO.
#
#   tests/rig/run.sh                    every scenario (tests/rig/scenarios/*.sh, in name order)
#   tests/rig/run.sh list damaged       only these scenarios
#   tests/rig/run.sh shell              a shell in the guest (console on this terminal), drives set up
#   RIG_BUILD=build/asan tests/rig/run.sh   programs from another build folder (default build/linux)
#
# Needs the packages of `scripts/setup.sh --rig` (qemu-system-x86, busybox-static, libcdio-utils)
# and the built programs. Caches under build/rig/: the kernel and its modules, keyed by the kernel
# version apt offers, and the guest's base image. Prints one line per scenario, "rig: PASS name
# (N.N s)" or "rig: FAIL name (N.N s): why", and exits 1 when one failed. Where QEMU cannot run
# it prints one "rig: skipped: ..." line and exits 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${RIG_BUILD:-$root/build/linux}" && pwd)
cache=$root/build/rig
here=$root/tests/rig

skip() { echo "rig: skipped: $*"; exit 0; }
die() { echo "rig: $*" >&2; exit 1; }

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is missing (run scripts/setup.sh --rig)"
[ -x /bin/busybox ] || skip "busybox is missing (run scripts/setup.sh --rig)"
for program in cddaplay libwnaspi32.so cddaplay_drive_server cddaplay_sg_probe; do
  [ -e "$build/bin/$program" ] || die "$build/bin/$program is not built (cmake --build --preset linux)"
done

# ---- The kernel: Debian's, the version linux-image-amd64 depends on (or the newest cached) ----
version=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*\)-amd64$/\1/p' | head -1)
if [ -z "$version" ] || { [ ! -d "$cache/kernel-$version" ] && ! apt-cache show "linux-image-$version-amd64" >/dev/null 2>&1; }; then
  version=$(ls -d "$cache"/kernel-* 2>/dev/null | sed 's/.*kernel-//' | sort -V | tail -1)
  [ -n "$version" ] || skip "apt offers no linux-image-*-amd64 and none is cached"
fi
kernel=$cache/kernel-$version
modules=(cdrom scsi_common scsi_mod sr_mod sg configfs crct10dif_common crct10dif_generic crc-t10dif
         target_core_mod uio target_core_user tcm_loop
         virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache 9pnet
         9pnet_virtio 9p)
# A cache made for fewer modules is made again.
if [ ! -e "$kernel/vmlinuz" ] || [ "$(cat "$kernel/modules/order" 2>/dev/null)" != "${modules[*]}" ]; then
  echo "rig: fetching linux-image-$version-amd64"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  (cd "$scratch" && apt-get download -q "linux-image-$version-amd64" >/dev/null) ||
    skip "cannot download linux-image-$version-amd64"
  dpkg-deb -x "$scratch"/linux-image-*.deb "$scratch/x"
  mkdir -p "$kernel.part/modules"
  cp "$scratch"/x/boot/vmlinuz-* "$kernel.part/vmlinuz"
  for m in "${modules[@]}"; do
    cp "$(find "$scratch/x/lib/modules" -name "$m.ko" | head -1)" "$kernel.part/modules/" || die "no module $m.ko"
  done
  echo "${modules[*]}" > "$kernel.part/modules/order"
  rm -rf "$scratch" "$kernel"
  mv "$kernel.part" "$kernel"
  trap - EXIT
fi

# ---- The guest: a base archive (busybox, modules; cached) and one of our programs (each run) ----
base=$kernel/base.cpio
if [ ! -e "$base" ]; then
  stage=$(mktemp -d)
  chmod 755 "$stage"
  mkdir -p "$stage"/{bin,lib/modules,dev,proc,sys,tmp,etc,root,home/listener,home/member}
  cp /bin/busybox "$stage/bin/"
  cp "$kernel"/modules/*.ko "$stage/lib/modules/"
  printf '%s\n' "${modules[@]}" > "$stage/lib/modules/order"
  (cd "$stage" && find . | LC_ALL=C sort | /bin/busybox cpio -o -H newc 2>/dev/null) > "$base.part"
  mv "$base.part" "$base"
  rm -rf "$stage"
fi

stage=$(mktemp -d)
chmod 755 "$stage"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/rig/bin" "$stage/rig/images" "$stage/etc"
programs=("$build/bin/cddaplay" "$build/bin/libwnaspi32.so" "$build/bin/cddaplay_drive_server" "$build/bin/cddaplay_sg_probe")
for tool in cd-info cd-paranoia; do
  if command -v "$tool" >/dev/null; then programs+=("$(command -v "$tool")"); fi
done
cp "${programs[@]}" "$stage/rig/bin/"
# The shared libraries they load, at the host's paths (ALSA's too: the program loads it late).
libs=$( (for p in "${programs[@]}"; do ldd "$p" 2>/dev/null; done; ldconfig -p | grep -E 'libasound\.so\.2 ' ) |
        grep -o '/[^ ]*\.so[^ ]*' | sort -u)
for lib in $libs; do
  mkdir -p "$stage$(dirname "$lib")"
  cp -L "$lib" "$stage$lib"
done
cp "$here"/guest_init.sh "$stage/init"
cp "$here"/lib.sh "$stage/rig/"
cp -r "$here/scenarios" "$stage/rig/"
chmod +x "$stage/init"
printf 'root:x:0:0::/root:/bin/sh\nlistener:x:1000:1000::/home/listener:/bin/sh\nmember:x:1001:1001::/home/member:/bin/sh\n' > "$stage/etc/passwd"
printf 'root:x:0:\ncdrom:x:24:member\nlistener:x:1000:\nmember:x:1001:\n' > "$stage/etc/group"
# The built-in disc from tracks 2 and 3 to the end, as the library's own virtual drive plays it.
for track in 2 3; do
  reference=$stage/rig/images/builtin-from-$track.raw
  echo "pcm.!default { type file; slave.pcm { type null }; file \"$reference\"; format \"raw\" }" > "$stage/capture.conf"
  CDDAPLAY_IMAGES=builtin CDDAPLAY_FAULTS= ALSA_CONFIG_PATH="$stage/capture.conf" "$build/bin/cddaplay" -t$track \
    < /dev/null > /dev/null 2>&1 || die "the built-in disc does not play on this machine"
  truncate -s $(( (2250 - (track == 2 ? 750 : 1350)) * 2352 )) "$reference"  # without the sink's closing silence
done
rm "$stage/capture.conf"
# A mixed-mode image: a data track (300 sectors), then two audio tracks (600 and 300 sectors).
printf '%s\n' 'FILE "mixed.bin" BINARY' '  TRACK 01 MODE1/2352' '    INDEX 01 00:00:00' '  TRACK 02 AUDIO' \
  '    INDEX 01 00:04:00' '  TRACK 03 AUDIO' '    INDEX 01 00:12:00' > "$stage/rig/images/mixed.cue"
head -c $((1200 * 2352)) /dev/urandom > "$stage/rig/images/mixed.bin"
echo 300 > "$stage/rig/images/mixed.data-sectors"
# The 64-bit Windows build under Wine (opt-in, RIG_WINE=1: 1.5 to 6 min, Wine starts slowly emulated).
# The guest sees this machine's / read-only (Wine and its libraries) and a Wine prefix made here,
# writable, whose drive D: is a CD-ROM on the guest's /dev/sr0.
qemu_wine=()
memory=512
win64=${RIG_WIN64_BUILD:-$root/build/win64}
if [ "${RIG_WINE:-0}" != 1 ]; then
  echo "WINE_SKIP='opt-in: RIG_WINE=1 tests/rig/run.sh wine (1.5 to 6 min: Wine is slow to start in the guest)'" > "$stage/rig/wine.env"
elif [ ! -x /usr/lib/wine/wine64 ]; then
  echo "WINE_SKIP='wine64 is missing (scripts/setup.sh --windows-tests)'" > "$stage/rig/wine.env"
elif [ ! -e "$win64/bin/cddaplay.exe" ] || [ ! -e "$win64/bin/WNASPI32.DLL" ]; then
  echo "WINE_SKIP='the win64 build is absent (cmake --preset win64 && cmake --build --preset win64)'" > "$stage/rig/wine.env"
else
  prefix=$cache/wineprefix
  if [ ! -e "$prefix/system.reg" ]; then
    echo "rig: making the Wine prefix $prefix"
    rm -rf "$prefix" && mkdir -p "$prefix"
    WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' /usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1
    WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f </dev/null >/dev/null 2>&1
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
    mkdir -p "$prefix/cdrom-d"
    ln -sfn ../cdrom-d "$prefix/dosdevices/d:"
    ln -sfn /dev/sr0 "$prefix/dosdevices/d::"
  fi
  printf 'WINE_SKIP=\nWINE_PREFIX=%s\nWIN64_BIN=%s\n' "$prefix" "$(cd "$win64/bin" && pwd)" > "$stage/rig/wine.env"
  memory=1024
  qemu_wine=(-virtfs "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap"
             -virtfs "local,path=$prefix,mount_tag=wineprefix,security_model=none,multidevs=remap")
fi
(cd "$stage" && find . | LC_ALL=C sort | /bin/busybox cpio -o -H newc 2>/dev/null) > "$stage/../rig-programs.$$.cpio"
initrd=$cache/guest.cpio
cat "$base" "$stage/../rig-programs.$$.cpio" > "$initrd"
rm -f "$stage/../rig-programs.$$.cpio"

# ---- Boot and collect ----
interactive=0
wanted=$*
[ "$wanted" = shell ] && interactive=1
append="console=ttyS0 quiet panic=-1 rig.scenarios=${wanted// /,}"
qemu=(qemu-system-x86_64 -machine accel=tcg -m $memory -smp 1 -nic none -nographic -no-reboot
      -kernel "$kernel/vmlinuz" -initrd "$initrd" -append "$append" "${qemu_wine[@]}")
if [ $interactive = 1 ]; then exec "${qemu[@]}"; fi

log=$cache/last-run.log
started=$(date +%s%N)
status=0
timeout "${RIG_TIMEOUT:-600}" "${qemu[@]}" </dev/null >"$log" 2>&1 || status=$?
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
tr -d '\r' < "$log" | grep -E '^rig: ' || true
if ! tr -d '\r' < "$log" | grep -q '^rig: done'; then
  echo "rig: FAIL the guest did not finish (status $status, see $log)"
  exit 1
fi
echo "rig: the virtual machine ran $((elapsed_ms / 1000)).$((elapsed_ms % 1000 / 100)) s in all (log: $log)"
! tr -d '\r' < "$log" | grep -q '^rig: FAIL'
