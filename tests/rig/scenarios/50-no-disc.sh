# No disc (NOT READY, MEDIUM NOT PRESENT): the described message and exit status.
. /rig/lib.sh
play out -d$UNIT_EMPTY -t1 && fail "cddaplay succeeded without a disc"
status=$?
[ $status = 1 ] || fail "exit status $status, expected 1"
grep -qx "cdrom_device is not abilable" out.out || fail "no 'not abilable' line: $(cat out.out)"
