# A damaged sector (LBA 1000: MEDIUM ERROR through the kernel): exactly that sector is silent.
. /rig/lib.sh
cp /rig/images/builtin-from-2.raw expected
dd if=/dev/zero of=expected bs=$SECTOR seek=$((1000 - 750)) count=1 conv=notrunc 2>/dev/null
play out -d$UNIT_DAMAGED -t2 || fail "cddaplay failed: $(cat out.err)"
cat out.err
same_prefix expected out
