# What the kernel answers through SG_IO, on /dev/srN and /dev/sgN alike, where the sg back end's
# fake machine has to assume it: each probe's line goes to the console log ("rig-facts: ...", kept
# in build/rig/last-run.log), and the answers the fake's table (tests/passthru_sg/fake_system.h)
# states are checked, so a kernel that answers otherwise fails here and the table is made again.
. /rig/lib.sh
readcd() {  # LBA COUNT [EXPECTED_TYPE]: READ CD's descriptor block, all 2352 bytes of each sector
  printf 'be%02x%08x%06xf80000' "${3:-4}" "$1" "$2"
}
probe() {  # NAME NODE CDB DXFER_LEN TIMEOUT_MS [USER]: runs the probe and sets f_status, f_sense...
  name="$1 $2"; shift
  if [ -n "$5" ]; then line=$(su "$5" -c "cddaplay_sg_probe $1 $2 $3 $4")
  else line=$(cddaplay_sg_probe "$1" "$2" "$3" "$4"); fi
  echo "$name: $line"
  echo "rig-facts: $name: $line" > /dev/console
  unset f_errno f_status f_host f_driver f_sb_len_wr f_resid f_duration f_sense
  eval "$(echo "$line" | tr ' ' '\n' | grep '^[a-z_]*=[0-9A-Za-z]*$' | sed 's/^/f_/')"
}
expect() {  # WHAT VALUE WANTED
  [ "$2" = "$3" ] || fail "$name: $1 is '$2', expected '$3'"
}
for n in sr sg; do
  probe short-buffer /dev/$n$UNIT_PLAIN "$(readcd 1000 10)" $((12 * SECTOR)) 8000
  expect status "$f_status" 00; expect resid "$f_resid" $((2 * SECTOR))
  probe data-sector /dev/$n$UNIT_MIXED "$(readcd 0 1)" $SECTOR 8000
  probe medium-error /dev/$n$UNIT_DAMAGED "$(readcd 995 10)" $((10 * SECTOR)) 8000
  expect status/driver "$f_status/$f_driver" 02/08; expect resid "$f_resid" 0; expect sb_len_wr "$f_sb_len_wr" 18
  expect sense "$(echo "$f_sense" | cut -c1-14,25-28)" f00003000003e81100
  probe not-ready /dev/$n$UNIT_EMPTY 000000000000 0 8000
  expect status/driver "$f_status/$f_driver" 02/08
  expect sense "$(echo "$f_sense" | cut -c1-6,25-28)" 7000023a00
  probe over-long /dev/$n$UNIT_PLAIN "$(readcd 0 446)" $((446 * SECTOR)) 8000
  expect errno "$f_errno" EINVAL
  probe over-hw-limit /dev/$n$UNIT_PLAIN "$(readcd 0 14300)" $((14300 * SECTOR)) 8000
  expect errno "$f_errno" "$([ $n = sr ] && echo EIO || echo ENOMEM)"
  probe write-class /dev/$n$UNIT_PLAIN bb0000ffffff000000000000 0 8000 member
  expect errno "$f_errno" EPERM
  probe no-permission /dev/$n$UNIT_PLAIN 000000000000 0 8000 listener
  expect errno "$f_errno" EACCES
  probe timed-out /dev/$n$UNIT_HANG_ENTER "$(readcd 2249 1)" $SECTOR 2000
  expect status/host/driver "$f_status/$f_host/$f_driver" 00/03/00; expect sb_len_wr "$f_sb_len_wr" 0
  [ $n = sg ] || [ "$f_duration" -ge 7000 ] || fail "$name: sr did not raise a 2 s time-out to 7 s"
  probe after-time-out /dev/$n$UNIT_HANG_ENTER 000000000000 0 8000
  expect status "$f_status" 00
done
for q in max_hw_sectors_kb max_sectors_kb max_segments; do
  echo "rig-facts: sr0 queue $q $(cat /sys/block/sr0/queue/$q)" > /dev/console
done
echo "rig-facts: /sys/block/sr0/device -> $(readlink /sys/block/sr0/device)" > /dev/console
echo "rig-facts: /sys/class/scsi_generic/sg0/device -> $(readlink /sys/class/scsi_generic/sg0/device)" > /dev/console
echo "rig-facts: kernel $(uname -r) $(cut -d' ' -f3- /proc/version | grep -o 'Debian [^ ]*')" > /dev/console
