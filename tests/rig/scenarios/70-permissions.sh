# A user who may not open the device nodes gets one line saying what to do, never a silent empty
# list; a member of the group that owns them plays with -s4, and the speed command reaches the drive.
. /rig/lib.sh
chmod 777 .
capture_conf denied
su listener -c "ALSA_CONFIG_PATH=$PWD/denied.conf cddaplay -l" < /dev/null > denied.out 2> denied.err
cat denied.out denied.err
[ "$(wc -l < denied.err)" = 1 ] || fail "not one line on standard error"
grep -q "cdrom" denied.err || fail "the line does not name the group to join"

: > /tmp/trace0
chmod 666 /tmp/trace0
capture_conf member
su member -c "ALSA_CONFIG_PATH=$PWD/member.conf cddaplay -d$UNIT_PLAIN -t3 -s4" < /dev/null > member.out 2> member.err ||
  fail "the member could not play: $(cat member.err)"
cat member.err
grep -q "^unit 0: BB 00 02 C0" /tmp/trace0 || fail "no SET CD SPEED 4x reached the drive"
[ ! -s member.err ] || fail "unexpected standard error: $(cat member.err)"
same_prefix /rig/images/builtin-from-3.raw member
