# The built-in disc from track 2 to the end, through the kernel, bit-exact.
. /rig/lib.sh
play out -d$UNIT_PLAIN -t2 || fail "cddaplay failed: $(cat out.err)"
same_prefix /rig/images/builtin-from-2.raw out
