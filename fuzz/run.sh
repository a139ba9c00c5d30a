#!/usr/bin/env bash
# Runs every fuzz target of the fuzz preset for SECONDS each (default 30), starting from the seeds
# in fuzz/corpus/<target>/ (the tree's seeds stay as they are: new inputs go to a working corpus
# in build/fuzz/corpus/). Prints each target's executions per second. A crash leaves its input in
# build/fuzz/artifacts/ and fails the script.
#   fuzz/run.sh [SECONDS]        (build first: cmake --preset fuzz && cmake --build --preset fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
build=build/fuzz
targets=(${FUZZ_TARGETS:-fuzz_cue fuzz_toc fuzz_inquiry fuzz_drive fuzz_sg_result fuzz_cdtext fuzz_wav_header fuzz_flac_sheet fuzz_toc_sheet fuzz_spti_descriptors fuzz_spti_read_only})
mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  log="$build/$t.log"
  # -close_fd_mask=1: discovery prints its messages on standard output; they are noise here.
  if "$build/bin/$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=1024 \
      -timeout=10 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
    printf '%-16s ok   %10s runs  %8s exec/s\n' "$t" "${runs:-?}" "$(( ${runs:-0} / (${time:-1} > 0 ? ${time:-1} : 1) ))"
  else
    printf '%-16s FAILED (see %s)\n' "$t" "$log"
    status=1
  fi
done
exit $status
