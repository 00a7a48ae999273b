#!/usr/bin/env bash
# Runs every fuzz target of a build tree for the given seconds, one after the other, each from
# its seed corpus in the tree and the corpus it grew in earlier runs (kept in the build tree).
# Prints per target the executions and the edges covered at the end; a finding prints the
# fuzzer's report, leaves its input and prints the one command that replays it. Exits 1 when
# any target found something.
# Usage: tests/fuzz/run.sh <build dir> <seconds per target>
set -uo pipefail
build="$1"
seconds="$2"
here="$(cd "$(dirname "$0")" && pwd)"
runs="$build/fuzz-runs"
targets=(library_deframer itemsmith_frame_reader nv_list library_replies device_requests
         frame_round_trip)

# Inputs may be longer where a parser's own limits lie beyond the fuzzer's default 4096 bytes:
# the library's frame buffer holds 4094 bytes, the device's 16 KiB.
declare -A max_length=([library_deframer]=12000 [frame_round_trip]=12000 [device_requests]=20000)

found=0
summary=""
for target in "${targets[@]}"; do
  program="$build/tests/fuzz/fuzz_$target"
  work="$runs/$target"
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
  echo "== fuzz $target (${seconds} s)"
  "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="${max_length[$target]:-4096}" \
    -dict="$here/diag.dict" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$here/corpus/$target" >"$work/log" 2>&1
  status=$?
  runs_done="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)"
  edges="$(grep -oE 'cov: [0-9]+' "$work/log" | tail -n 1 | cut -d' ' -f2)"
  line="$(printf '%-24s %10s executions %6s edges' "$target" "${runs_done:-?}" "${edges:-?}")"
  if [[ $status -ne 0 ]]; then
    found=1
    input="$(ls -t "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2>/dev/null |
             head -n 1)"
    tail -n 60 "$work/log"
    echo "FINDING in $target: ${input:-no input left (exit $status)}"
    echo "replay: $program ${input}"
    line="$line   FINDING: $program ${input}"
  fi
  echo "$line"
  summary+="$line"$'\n'
done
echo "== fuzz summary (${seconds} s per target)"
printf '%s' "$summary"
exit $found
