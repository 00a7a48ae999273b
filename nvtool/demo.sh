#!/usr/bin/env bash
# Provisions a virtual device with examples/KVX_nvitem.txt: diagsim serves the device, itemsmith
# runs with the reset argument, then the verdict and the device's NV items are shown.
# Usage: nvtool/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
work="$(mktemp -d /tmp/itemsmith-demo-XXXXXX)"
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill -INT "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/line"
cp "$here/examples/KVX_nvitem.txt" "$work/line/"
# Item 453 already holds other data, so its bytes 16 to 127 show what the write keeps.
"$build/devicesim/diagsim" --root "$work/root" --com 7 --nv-state "$work/nv-state.txt" \
  --nv-set 453:00112233445566778899aabbccddeeff0123456789abcdef >"$work/diagsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q "serving COM7" "$work/diagsim.out" 2>/dev/null && break
  sleep 0.05
done

echo "== itemsmith reset (device root $work/root)"
status=0
(cd "$work/line" && DIAG_DEVICE_ROOT="$work/root" "$build/nvtool/itemsmith" reset >/dev/null) || status=$?
echo "exit code: $status"
echo "verdict:   $(tr -d '\r\n' <"$work/line/KVX_WriteNVItem_result.txt" 2>/dev/null || echo '(no result file)')"

kill -INT "$sim_pid" && wait "$sim_pid" || true
sim_pid=""
echo "== NV items on the device (id: bytes 0-15 | bytes 16-23)"
while read -r id hex; do
  printf '%6s: %s | %s\n' "$id" "$(echo "${hex:0:32}" | sed 's/../& /g; s/ $//')" "$(echo "${hex:32:16}" | sed 's/../& /g; s/ $//')"
done <"$work/nv-state.txt"
exit "$status"
