# cddaplay -l: every drive appears with the vendor, product and revision the drive server gives,
# disc in or not as served, and the built-in disc's track list.
. /rig/lib.sh
play list -l -d$UNIT_PLAIN || fail "cddaplay -l failed: $(cat list.err)"
cat list.out
[ "$(grep -c 'CDDAPLAY VIRTUAL CD-ROM 1.0  disc in' list.out)" = 5 ] || fail "not five units with a disc"
grep -q "^unit $UNIT_EMPTY: .*CDDAPLAY VIRTUAL CD-ROM 1.0  no disc" list.out || fail "unit $UNIT_EMPTY is not empty"
grep -q "^unit 0: 3 tracks, 0:30$" list.out || fail "no track list"
grep -q "^    2  audio  00:12:00    0:08$" list.out || fail "track 2 is not as on the disc"
[ ! -s list.err ] || fail "unexpected standard error: $(cat list.err)"
