# Helpers the scenarios share (sourced; each scenario runs in its own folder under /tmp).
# Units as the program numbers them, in the order /init attaches the drives.
UNIT_PLAIN=0 UNIT_MIXED=1 UNIT_DAMAGED=2 UNIT_EMPTY=3 UNIT_HANG=4 UNIT_HANG_ENTER=5
SECTOR=2352

fail() { echo "$*"; exit 1; }
skip() { echo "$*"; exit 77; }

# ALSA's file plugin: what the program plays lands in ./$1, unpaced.
capture_conf() {
  echo "pcm.!default { type file; slave.pcm { type null }; file \"$PWD/$1\"; format \"raw\" }" > "$1.conf"
}

# play OUT ARGS...: runs cddaplay into ./OUT (ALSA file sink), standard output in OUT.out,
# standard error in OUT.err; returns its exit status.
play() {
  out=$1; shift
  capture_conf "$out"
  ALSA_CONFIG_PATH="$PWD/$out.conf" cddaplay "$@" < /dev/null > "$out.out" 2> "$out.err"
}

# /rig/images/builtin-from-N.raw: the built-in disc from track N to its end as the library's own
# virtual drive plays it on the host (run.sh makes them): what every unit serving `builtin` must
# give through the kernel.

# same_prefix EXPECTED ACTUAL: ACTUAL starts with all of EXPECTED (the sink may add silence).
same_prefix() {
  [ "$(wc -c < "$2")" -ge "$(wc -c < "$1")" ] || fail "$2: $(wc -c < "$2") bytes, expected $(wc -c < "$1")"
  cmp -s -n "$(wc -c < "$1")" "$1" "$2" ||
    fail "$2 differs from $1 in sectors (bytes, sector): $(differing_sectors "$1" "$2" | uniq -c | head -5 | tr '\n' ' ')"
}

# The sectors (from 0) where two captures differ, one a line.
differing_sectors() {
  cmp -l "$1" "$2" 2>/dev/null | awk -v s=$SECTOR '{ print int(($1 - 1) / s) }'
}
