# An independent client on the same drive: libcdio's cd-info reports the table of contents and
# cd-paranoia rips tracks 2 to 3 with the same bytes.
. /rig/lib.sh
command -v cd-info > /dev/null || fail "cd-info is not in the guest (scripts/setup.sh --rig installs libcdio-utils)"
cd-info --no-cddb --no-header --no-analyze -C /dev/sr$UNIT_PLAIN > info.out 2>&1 || { cat info.out; fail "cd-info failed"; }

grep -Eq '^ *1: 00:02:00  000000 audio' info.out || fail "cd-info: track 1 wrong"
grep -Eq '^ *2: 00:12:00  000750 audio' info.out || fail "cd-info: track 2 wrong"
grep -Eq '^ *3: 00:20:00  001350 audio' info.out || fail "cd-info: track 3 wrong"
grep -Eq '^170: 00:32:00  002250 leadout' info.out || fail "cd-info: lead-out wrong"
cd-paranoia -d /dev/sr$UNIT_PLAIN -r -Z 2-3 rip.raw > paranoia.out 2>&1 ||
  fail "cd-paranoia failed: $(tail -3 paranoia.out | tr '\n' ' ') (commands: $(cut -c9-10 /tmp/trace0 | sort | uniq -c | tr '\n' ' '); READ CD: $(grep ' BE ' /tmp/trace0 | cut -c9- | sort | uniq -c | head -4 | tr '\n' ' '))"
same_prefix rip.raw /rig/images/builtin-from-2.raw
[ "$(wc -c < rip.raw)" = $(( 1500 * SECTOR )) ] || fail "cd-paranoia ripped $(wc -c < rip.raw) bytes"
