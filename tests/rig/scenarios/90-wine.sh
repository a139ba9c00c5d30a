# The 64-bit Windows build under wine64, through Wine's own SCSI pass-through: drive D: of the
# prefix is a CD-ROM on /dev/sr0 (dosdevices/d:: -> /dev/sr0), which Wine also names \\.\CdRom0
# (a name that refuses the address query; D: calls itself "disk 1" when asked its device number,
# and is \Device\CdRom0 to QueryDosDevice, which is how the two names meet). The program lists the
# drive once, sends its commands to D: (the name that told an address: Wine's SG_IO) and plays
# track 2 to the end bit-exact through winealsa into ALSA's file sink. Opt-in: RIG_WINE=1.
. /rig/lib.sh
. /rig/wine.env
[ -z "$WINE_SKIP" ] || skip "$WINE_SKIP"
now() { cut -d' ' -f1 /proc/uptime; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "$*"; echo "rig:   wine: $*" > /dev/console; }  # figures worth seeing on a pass too

# This machine's / (read-only) with the guest's /dev, /proc, /sys and /tmp, and the prefix.
mkdir -p /host
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /host || fail "cannot mount the host's /"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 wineprefix "/host$WINE_PREFIX" || fail "cannot mount the prefix"
for d in dev proc sys tmp; do mount --bind "/$d" "/host/$d" || fail "cannot bind /$d"; done
wine() {  # NAME ARGS...: wine64 ARGS, sound into ./NAME (ALSA's file sink of ./NAME.conf)
  conf=$PWD/$1.conf; shift
  chroot /host /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp WINEPREFIX="$WINE_PREFIX" WINEDEBUG=-all \
    WINEDLLOVERRIDES='wnaspi32=n;mscoree,mshtml=' CDDAPLAY_DESCRIBE=1 ALSA_CONFIG_PATH="$conf" /usr/lib/wine/wine64 "$@"
}
ended() { chroot /host /usr/bin/env WINEPREFIX="$WINE_PREFIX" /usr/lib/wine/wineserver -k 2> /dev/null; }
trap ended EXIT
for name in start list out; do
  printf '</usr/share/alsa/alsa.conf>\npcm.!default { type file slave.pcm "null" file "%s" format "raw" }\n' \
    "$PWD/$name" > $name.conf
done

started=$(now)
wine start cmd /c exit < /dev/null > start.out 2>&1 || fail "wine does not start: $(tail -3 start.out)"
say "wine started in $(since "$started") s"

started=$(now)
wine list "$WIN64_BIN/cddaplay.exe" -l < /dev/null > list.out 2> list.err || fail "cddaplay.exe -l failed: $(cat list.err)"
say "cddaplay.exe -l took $(since "$started") s"
cat list.out list.err
units=$(grep -c 'CDDAPLAY VIRTUAL CD-ROM 1.0' list.out)
[ "$units" = 1 ] || fail "$units units listed, expected the one drive once"
say "$(grep -c . list.err) line(s) on standard error: $(tr -d '\r' < list.err | head -3 | tr '\n' ' ')"

started=$(now)
wine out "$WIN64_BIN/cddaplay.exe" -d0 -t2 < /dev/null > out.out 2> out.err &
program=$!
( sleep 360; kill $program ) 2> /dev/null &  # a play that stalls fails here, with what it captured
watchdog=$!
status=0
wait $program || status=$?
kill $watchdog 2> /dev/null
[ $status = 0 ] || fail "cddaplay.exe failed (status $status, $(wc -c < out) bytes captured after $(since "$started") s): $(tail -5 out.err)"
say "cddaplay.exe -d0 -t2 played in $(since "$started") s"
cat out.out out.err
tr -d '\r' < out.out > out.lines  # the Windows C library writes CR LF
[ "$(grep -c 'now playing' out.lines)" = 1 ] && grep -q '^Finished.$' out.lines || fail "not played to the end"
# Emulated, Wine's mixer runs slower than the music and fills the device with silence when the
# program's blocks come late: compare the audio with silent frames taken out of both (any lost,
# repeated or altered sample still fails), and say how much silence came in between.
cp /rig/images/builtin-from-2.raw disc.raw
if cmp -s -n "$(wc -c < disc.raw)" disc.raw out; then
  say "bit-exact, no silence put in"
  exit 0
fi
byte=$(cmp disc.raw out 2>&1 | sed -n 's/.*differ: [a-z]* \([0-9]*\).*/\1/p')
say "the capture differs from the disc from its sector $(( (${byte:-1} - 1) / SECTOR )) on"
chroot /host /usr/bin/python3 - "$PWD/disc.raw" "$PWD/out" > compared 2>&1 <<'PY' || fail "the audio is not the disc's: $(cat compared)"
import array, sys
def frames(path):
    with open(path, 'rb') as f:
        return array.array('I', f.read())
reference, captured = frames(sys.argv[1]), frames(sys.argv[2])
sound = lambda a: array.array('I', [x for x in a if x])
expected, got = sound(reference), sound(captured)
print(f"{len(captured) - len(reference)} frames more than the disc, "
      f"{(len(captured) - len(got)) - (len(reference) - len(expected))} of them silence put in between")
if got[:len(expected)] != expected:
    at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    sys.exit(f"the audio differs from the disc's at its frame {at} of {len(expected)} (silence taken out)")
PY
say "bit-exact apart from silence: $(cat compared)"
