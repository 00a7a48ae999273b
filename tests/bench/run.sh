#!/usr/bin/env bash
# Runs every benchmark program found in the build folder given as $1 (default: build).
set -euo pipefail
build="${1:-build}"
mapfile -t programs < <(find "$build" -type f -name 'bench_*' -perm -u+x | sort)
if [ "${#programs[@]}" -eq 0 ]; then
  echo "no benchmark programs in $build (Google Benchmark missing at configure time?)" >&2
  exit 1
fi
for program in "${programs[@]}"; do
  echo "== $(basename "$program")"
  "$program"
done
