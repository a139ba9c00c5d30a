#!/usr/bin/env bash
# Our program against aplay, playing the same CD audio, in one run; prints a table of ratios.
#   bench/compare.sh [seconds of real-time playback, default 30] [real-time runs each, default 3]
#
# The audio: 30 s and 180 s of noise, as a one-track CUE/BIN image through our virtual drive and as
# a WAV file for aplay. Figures:
#   - instructions (callgrind) for 30 s and 180 s into ALSA's file sink, and per extra second of
#     audio (the difference over 150 s): start-up apart from the cost of each second. glibc is told
#     to copy with its vector loops (rep movsb counts one instruction per byte under callgrind);
#   - peak resident and private memory, and CPU seconds per second of audio, playing in real time
#     into tests/support/paced_sink.cpp, an ALSA output paced like a card: the median of several runs of
#     each program, taken in turns (one run's CPU time swings by a third on a virtual machine);
#   - gaps (underruns) of our program on that output with every READ CD taking 90 ms.
# Our program's captured audio is checked bit for bit against the image.
set -euo pipefail
cd "$(dirname "$0")/.."
paced_seconds=${1:-30}
paced_runs=${2:-3}

scripts/setup.sh --bench >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux --target cddaplay wnaspi32 bench_measure asound_module_pcm_cddaplay_paced >/dev/null
bin=$PWD/build/linux/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

le32() {  # a 32-bit little-endian number, as bytes
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"
}
make_audio() {  # name seconds: name.bin + name.cue (our program), name.wav (aplay)
    local bytes=$(($2 * 176400))
    head -c "$bytes" /dev/urandom >"$work/$1.bin"
    printf 'FILE "%s.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n' "$1" >"$work/$1.cue"
    { printf 'RIFF'; le32 $((36 + bytes)); printf 'WAVEfmt '; le32 16; printf '\x01\x00\x02\x00'; le32 44100
      le32 176400; printf '\x04\x00\x10\x00data'; le32 "$bytes"; cat "$work/$1.bin"; } >"$work/$1.wav"
}
make_audio a30 30
make_audio a180 180
make_audio paced "$paced_seconds"

cat >"$work/file.conf" <<CONF
</usr/share/alsa/alsa.conf>
pcm.!default { type file slave.pcm "null" file "$work/out.raw" format "raw" }
CONF
cat >"$work/paced.conf" <<CONF
</usr/share/alsa/alsa.conf>
pcm_type.cddaplay_paced { lib "$bin/libasound_module_pcm_cddaplay_paced.so" }
pcm.!default { type cddaplay_paced report "$work/paced.txt" }
CONF

instructions() {  # command...: instructions executed, every thread
    GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=1000000000:glibc.cpu.x86_rep_stosb_threshold=1000000000 \
        valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" </dev/null >/dev/null 2>"$work/cg.err"
    awk '/^(summary|totals):/ {print $2; exit}' "$work/cg.out"
}
ours() { CDDAPLAY_IMAGES="$work/$1.cue" "${@:2}" "$bin/cddaplay"; }
bitexact() {
    cmp -s -n "$(stat -c %s "$work/$1.bin")" "$work/out.raw" "$work/$1.bin" || { echo "audio of $1 not bit-exact" >&2; exit 1; }
}

export ALSA_CONFIG_PATH="$work/file.conf"
echo "callgrind: 4 runs..." >&2
o30=$(CDDAPLAY_IMAGES="$work/a30.cue" instructions "$bin/cddaplay"); bitexact a30
o180=$(CDDAPLAY_IMAGES="$work/a180.cue" instructions "$bin/cddaplay"); bitexact a180
a30=$(instructions aplay -q "$work/a30.wav")
a180=$(instructions aplay -q "$work/a180.wav")

export ALSA_CONFIG_PATH="$work/paced.conf"
echo "real time: $((2 * paced_runs + 1)) runs of $paced_seconds s..." >&2
measure() { "$bin/bench_measure" "$@"; }
field() { sed -n "s/.*$1=\\([0-9.]*\\).*/\\1/p"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
om_runs="" am_runs=""
for ((run = 0; run < paced_runs; run++)); do
    om_runs+="$(CDDAPLAY_IMAGES="$work/paced.cue" measure "$bin/cddaplay")"$'\n'
    am_runs+="$(measure aplay -q "$work/paced.wav")"$'\n'
done
summary() {  # the median of each figure over the runs given on standard input
    local runs; runs=$(cat)
    for f in cpu_s peak_rss_kb peak_private_kb; do printf '%s=%s ' "$f" "$(field "$f" <<<"$runs" | median)"; done
}
om=$(summary <<<"$om_runs")
am=$(summary <<<"$am_runs")
rm -f "$work/paced.txt"
CDDAPLAY_IMAGES="$work/paced.cue" CDDAPLAY_FAULTS="latency=90" measure "$bin/cddaplay" >/dev/null
gaps=$(awk '{n += $2} END {print n + 0}' "$work/paced.txt")

awk -v o30="$o30" -v o180="$o180" -v a30="$a30" -v a180="$a180" -v s="$paced_seconds" -v runs="$paced_runs" -v gaps="$gaps" \
    -v orss="$(field peak_rss_kb <<<"$om")" -v opriv="$(field peak_private_kb <<<"$om")" -v ocpu="$(field cpu_s <<<"$om")" \
    -v arss="$(field peak_rss_kb <<<"$am")" -v apriv="$(field peak_private_kb <<<"$am")" -v acpu="$(field cpu_s <<<"$am")" '
function row(name, ours, theirs, goal) {
    printf "| %-34s | %12.3f | %12.3f | %6.2f | %-22s |\n", name, ours, theirs, (theirs > 0 ? ours / theirs : 0), goal
}
BEGIN {
    printf "| %-34s | %12s | %12s | %6s | %-22s |\n", "", "cddaplay", "aplay", "ratio", "goal"
    printf "|%s|%s|%s|%s|%s|\n", "------------------------------------", "--------------", "--------------", "--------", "------------------------"
    row("instructions, 30 s (M)", o30 / 1e6, a30 / 1e6, "ratio <= 1.3")
    row("instructions, 180 s (M)", o180 / 1e6, a180 / 1e6, "")
    row("instructions per extra second (M)", (o180 - o30) / 150e6, (a180 - a30) / 150e6, "ratio <= 2")
    row("peak RSS (MB)", orss / 1024, arss / 1024, sprintf("cddaplay <= %.2f", arss / 1024 + 1))
    row("peak private RSS (MB)", opriv / 1024, apriv / 1024, "")
    row("CPU per audio second, real time (ms)", ocpu * 1000 / s, acpu * 1000 / s, "ratio <= 1.5")
    printf "real-time figures: medians of %d runs each; gaps with 90 ms per READ CD: %d in %d s (goal 0); audio bit-exact: yes\n", runs, gaps, s
}'
