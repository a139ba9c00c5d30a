# A mixed-mode image (a data track, then two audio tracks) from track 2 to the end, bit-exact with
# the image file.
. /rig/lib.sh
data_sectors=$(cat /rig/images/mixed.data-sectors)
dd if=/rig/images/mixed.bin of=expected bs=$SECTOR skip="$data_sectors" 2>/dev/null
play out -d$UNIT_MIXED -t2 || fail "cddaplay failed: $(cat out.err)"
same_prefix expected out
