# A READ CD the drive never answers (the fifth of the play; the kernel aborts it after 8 s, the
# drive server still never answers, the backstore ends it only after 30 s). The library gives it up
# when the kernel has (8.5 s), so no command after it waits its full time-out behind it in the
# library. The kernel itself holds the drive's commands until its error handling ends (the abort
# waits for the device), so the group read next is lost too: two groups silent at most, nothing
# else, and the play goes on once the kernel lets the drive go.
. /rig/lib.sh
start=$(cut -d' ' -f1 /proc/uptime)
play out -d$UNIT_HANG -t2 || fail "cddaplay failed: $(cat out.err)"
took=$(awk -v a="$start" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%d", b - a }')
cat out.out out.err
echo "played in $took s"
[ "$(grep -c "wait time out" out.out)" -le 1 ] || fail "more than one 'wait time out' line"
silent=$(differing_sectors /rig/images/builtin-from-2.raw out | uniq | wc -l)
echo "$silent sectors silent"
[ "$silent" -le 20 ] || fail "$silent sectors differ, expected two groups at most"
if [ "$silent" -gt 0 ]; then
  differing_sectors /rig/images/builtin-from-2.raw out | uniq | while read -r sector; do
    [ "$(dd if=out bs=$SECTOR skip="$sector" count=1 2>/dev/null | tr -d '\000' | wc -c)" = 0 ] ||
      fail "sector $sector differs and is not silent"
  done || exit 1
fi
[ "$took" -lt 60 ] || fail "the play took $took s: the reads after the hang waited for it"
