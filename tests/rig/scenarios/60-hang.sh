# A READ CD the drive never answers (the fifth of the play; the kernel aborts it, the drive server
# still never answers, the backstore ends it after 30 s): one "wait time out", silence for that
# group only, and the groups after it are read as soon as the drive answers again.
. /rig/lib.sh
start=$(cut -d' ' -f1 /proc/uptime)
play out -d$UNIT_HANG -t2 || fail "cddaplay failed: $(cat out.err)"
took=$(awk -v a="$start" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%d", b - a }')
cat out.err
echo "played in $took s"
[ "$(grep -c "wait time out" out.out)" = 1 ] || fail "not one 'wait time out' line"
silent=$(differing_sectors /rig/images/builtin-from-2.raw out | uniq | wc -l)
echo "$silent sectors silent"
[ "$silent" -ge 1 ] && [ "$silent" -le 10 ] || fail "$silent sectors differ, expected one group"
[ "$took" -lt 25 ] || fail "the play took $took s: the reads after the hang waited for it"
