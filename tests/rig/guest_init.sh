#!/bin/busybox sh
# The rig guest's /init: loads the SCSI target modules, turns each disc image into a CD-ROM served
# by the drive server, runs the scenarios named on the kernel command line (rig.scenarios=a,b; all
# when empty) and reports each on the console as "rig: PASS name (N.N s)", "rig: FAIL ..." or, for a
# scenario that exits 77, "rig: SKIP name: why".
/bin/busybox --install -s /bin
export PATH=/bin:/rig/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
chmod 1777 /tmp

uptime_s() { cut -d' ' -f1 /proc/uptime; }
say() { echo "rig: $*" > /dev/console; }

for m in $(cat /lib/modules/order); do
  insmod "/lib/modules/$m.ko" || say "FAIL cannot load $m"
done
mount -t configfs none /sys/kernel/config

# The drives, one loopback SCSI host each so that one hung command cannot reset the others:
#   unit  image                 faults
DRIVES='0 builtin               trace=/tmp/trace0
1 /rig/images/mixed.cue ;
2 builtin               fail_read=1000
3 builtin               not_ready
4 builtin               hang=readcd#5
5 builtin               hang=readcd#5;hang_lba=2249'

attach() {  # number entry faults
  core=/sys/kernel/config/target/core/user_0/cd$1
  mkdir -p "$core"
  echo "dev_config=rig/cd$1" > "$core/control"
  # A hung command: the kernel aborts it after its time-out and the server, told of the abort,
  # drops it at once as a drive does; cmd_time_out only backs that up.
  echo 30 > "$core/attrib/cmd_time_out"
  echo 1 > "$core/attrib/tmr_notification"
  echo 1 > "$core/enable"
  CDDAPLAY_FAULTS="$3" cddaplay_drive_server "$2" "tcm-user/0/cd$1/rig/cd$1" 2> "/tmp/server$1.log" &
  tpg=/sys/kernel/config/target/loopback/naa.500140500000000$1/tpgt_1
  mkdir -p "$tpg/lun/lun_0"
  echo "naa.500140510000000$1" > "$tpg/nexus"
  ln -s "$core" "$tpg/lun/lun_0/cd$1"
  for i in $(seq 100); do [ -e "/dev/sr$1" ] && [ -e "/dev/sg$1" ] && break; sleep 0.1; done
  [ -e "/dev/sr$1" ] || { say "FAIL drive $1 ($2) did not attach"; cat "/tmp/server$1.log" > /dev/console; }
  chgrp cdrom "/dev/sr$1" "/dev/sg$1"
  chmod 660 "/dev/sr$1" "/dev/sg$1"
}
echo "$DRIVES" | while read -r number entry faults; do attach "$number" "$entry" "${faults#;}"; done
say "guest ready after $(uptime_s) s (kernel start to every drive attached)"

wanted=$(sed -n 's/.*rig\.scenarios=\([^ ]*\).*/\1/p' /proc/cmdline | tr ',' ' ')
if [ "$wanted" = shell ]; then
  say "the drives are /dev/sr0../dev/sr5 (see /init); scenarios in /rig/scenarios; exit to power off"
  setsid cttyhack sh
else
  for file in /rig/scenarios/*.sh; do
    name=$(basename "$file" .sh)
    [ -z "$wanted" ] || echo " $wanted " | grep -q " \(${name%%-*}-\)\?${name#*-} " || continue
    start=$(uptime_s)
    mkdir -p "/tmp/$name"
    ( cd "/tmp/$name" && sh "$file" ) > "/tmp/$name.log" 2>&1
    result=$?
    took=$(awk -v a="$start" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }')
    if [ $result = 0 ]; then
      say "PASS $name ($took s)"
    elif [ $result = 77 ]; then
      say "SKIP $name: $(tail -1 "/tmp/$name.log")"
    else
      say "FAIL $name ($took s): $(tail -1 "/tmp/$name.log")"
      sed 's/^/rig-log: /' "/tmp/$name.log" | tail -40 > /dev/console
      for n in 0 1 2 3 4 5; do sed "s/^/rig-log: server$n: /" "/tmp/server$n.log" | tail -5 > /dev/console; done
    fi
  done
fi
say "done"
poweroff -f
