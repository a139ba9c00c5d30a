# ENTER while a READ CD hangs (the fifth of the play, never answered) still ends the program within
# its one-second grace: the hung command must not hold the process. Standard output keeps exactly
# the described lines of a play stopped before its end.
. /rig/lib.sh
now() { cut -d' ' -f1 /proc/uptime; }
capture_conf out
mkfifo keys
ALSA_CONFIG_PATH="$PWD/out.conf" cddaplay -d$UNIT_HANG_ENTER -t2 < keys > out.out 2> out.err &
program=$!
exec 3> keys
hung=0
for i in $(seq 300); do
  grep -q "hangs" /tmp/server$UNIT_HANG_ENTER.log && { hung=1; break; }
  sleep 0.1
done
[ $hung = 1 ] || { kill $program; fail "the drive's READ CD never hung: $(cat out.err)"; }
sleep 1
kill -0 $program 2> /dev/null || fail "the program ended before ENTER: $(cat out.out out.err)"
pressed=$(now)
echo >&3
status=0
wait $program || status=$?
took=$(awk -v a="$pressed" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
exec 3>&-
cat out.out out.err
echo "ended $took s after ENTER, status $status"
[ $status = 0 ] || fail "exit status $status after ENTER, expected 0"
awk -v t="$took" 'BEGIN { exit !(t < 5) }' || fail "the program ended $took s after ENTER (grace 1 s)"
printf 'cdrom_device is %d/6 now.\nstart 2/3 cdrom_track.\nnow playing...\n' $UNIT_HANG_ENTER > expected.out
cmp -s expected.out out.out || fail "standard output is not exactly the described lines: $(cat out.out)"
