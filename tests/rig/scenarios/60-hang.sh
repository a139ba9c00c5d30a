# A READ CD the drive never answers (the fifth of the play). The kernel aborts it after its 8 s
# time-out; the drive drops it when told (as a real drive does on its host adapter's abort), so the
# kernel ends it with DID_TIME_OUT at once and holds nothing else. The library hands that on as a
# host time-out, before the program's own 10 s wait, and the program says "wait time out" once,
# that group (10 sectors) silent, every other sector bit-exact, and the groups after it read as soon
# as the drive answers (the play takes about the time-out more than a plain one; bounded loosely).
. /rig/lib.sh
now() { cut -d' ' -f1 /proc/uptime; }
say() { echo "$*"; echo "rig:   hang: $*" > /dev/console; }  # figures worth seeing on a pass too
log=/tmp/server$UNIT_HANG.log
start=$(now)
play out -d$UNIT_HANG -t2 || fail "cddaplay failed: $(cat out.err)"
ended=$(now)
cat out.out out.err $log
at() { sed -n "s/.* $1 at \([0-9.]*\) s.*/\1/p" $log | head -1; }
hung=$(at hangs) aborted=$(at aborted) next=$(at "next command [0-9A-F]*")
[ -n "$hung" ] || fail "the drive's READ CD never hung"
say "$(awk -v a="$start" -v h="$hung" -v x="$aborted" -v n="${next:-$ended}" -v e="$ended" 'BEGIN {
  printf "the play took %.1f s; the READ CD hung %.1f s in, ", e - a, h - a
  if (x == "") printf "was never aborted at the drive; the next command came %.1f s after the hang", n - h
  else printf "the kernel aborted it %.1f s later, the next command came %.1f s after the abort", x - h, n - x }')"
[ -n "$aborted" ] || fail "the kernel's abort never reached the drive"
[ "$(grep -c "wait time out" out.out)" = 1 ] || fail "not exactly one 'wait time out' line"
grep -v -e '^cdrom_device is ' -e '^start ' -e '^now playing' -e '^Finished' -e '^wait time out$' out.out > extra.out
[ ! -s extra.out ] || fail "unexpected standard output: $(cat extra.out)"
[ ! -s out.err ] || fail "unexpected standard error: $(cat out.err)"
[ "$(wc -c < out)" -ge "$(wc -c < /rig/images/builtin-from-2.raw)" ] || fail "out: $(wc -c < out) bytes, short"
differing_sectors /rig/images/builtin-from-2.raw out | uniq > silent
first=$(head -1 silent)
say "$(wc -l < silent) sectors silent: ${first:-none}-$(tail -1 silent)"
[ "$(wc -l < silent)" = 10 ] && [ $((first % 10)) = 0 ] && [ "$(tail -1 silent)" = $((first + 9)) ] ||
  fail "not exactly one group of 10 sectors lost: $(tr '\n' ' ' < silent | cut -c1-200)"
[ "$(dd if=out bs=$SECTOR skip="$first" count=10 2>/dev/null | tr -d '\000' | wc -c)" = 0 ] || fail "the lost group is not silent"
took=$(awk -v a="$start" -v e="$ended" 'BEGIN { printf "%d", e - a }')
[ "$took" -lt 30 ] || fail "the play took $took s: the reads after the hang waited for it"
