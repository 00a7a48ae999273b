#!/usr/bin/env bash
# The whole provisioning of one virtual device, as a line would run it: diagsim serves a device
# that was provisioned before (old file system content, the download marker, an NV item holding
# other data); itemsmith writes the NV items and resets the device; treesmith clears and uploads
# the KVX trees. Then both verdicts, the NV items and the device's file tree are shown.
# Usage: examples/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
work="$(mktemp -d /tmp/line-demo-XXXXXX)"
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill -INT "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until diagsim has said "serving COM7" `$1` times.
wait_for_port() {
  for _ in $(seq 1 200); do
    [[ "$(grep -c 'serving COM7' "$work/diagsim.out" 2>/dev/null || true)" -ge "$1" ]] && return 0
    sleep 0.05
  done
  echo "diagsim did not serve COM7" >&2
  cat "$work/diagsim.out" >&2
  return 1
}

mkdir -p "$work/line"
cp -r "$here/examples/kvx/." "$work/line/"
cp "$here/examples/KVX_nvitem.txt" "$work/line/"

"$build/devicesim/diagsim" --root "$work/root" --com 7 --reset-absence 300 \
  --nv-state "$work/nv-state.txt" \
  --nv-set 453:00112233445566778899aabbccddeeff0123456789abcdef \
  --efs-load "$here/examples/device-before" --efs-dump "$work/efs-after" >"$work/diagsim.out" 2>&1 &
sim_pid=$!
wait_for_port 1
echo "== virtual device: COM7 under $work/root, loaded from examples/device-before"

echo
echo "== itemsmith reset"
status=0
(cd "$work/line" && DIAG_DEVICE_ROOT="$work/root" "$build/nvtool/itemsmith" reset >/dev/null) || status=$?
echo "exit code: $status"
nv_verdict="$(tr -d '\r\n' <"$work/line/KVX_WriteNVItem_result.txt" 2>/dev/null || echo '(no result file)')"
echo "verdict:   $nv_verdict"

# The reset makes the device vanish for a moment; treesmith finds it again by itself, but
# waiting here keeps the demo free of its 5 s retry.
wait_for_port 2

echo
echo "== treesmith (KVX)"
efs_status=0
(cd "$work/line" && DIAG_DEVICE_ROOT="$work/root" "$build/efstool/treesmith" >"$work/treesmith.out") || efs_status=$?
efs_verdict="$(cat "$work/line/Kvx_treesmith_Result.txt" 2>/dev/null || echo '(no result file)')"
echo "exit code: $efs_status"
echo "verdict:   $efs_verdict"
# The version report treesmith printed on connecting.
awk '/^Version Report/ {p = 1} p {print "    " $0} p && /FTM Mode/ {exit}' "$work/treesmith.out"
echo "steps:     $(grep -c '^===== .* + =====' "$work/line/Kvx_treesmith.log") banners opened, $(grep -c 'VODE_EfsWrite: PASS' "$work/line/Kvx_treesmith.log") files written"

kill -INT "$sim_pid" && wait "$sim_pid" || true
sim_pid=""

echo
echo "== NV items on the device (id: bytes 0-15 | bytes 16-23)"
while read -r id hex; do
  printf '%6s: %s | %s\n' "$id" "$(echo "${hex:0:32}" | sed 's/../& /g; s/ $//')" "$(echo "${hex:32:16}" | sed 's/../& /g; s/ $//')"
done <"$work/nv-state.txt"

echo
echo "== the device's file system after the run"
(cd "$work/efs-after" && find . -mindepth 1 | sed 's|^\./|/|' | sort)
echo
if diff -r "$work/efs-after" "$here/examples/expected/kvx" >/dev/null; then
  echo "== the file system equals examples/expected/kvx"
else
  echo "== the file system differs from examples/expected/kvx:"
  diff -r "$work/efs-after" "$here/examples/expected/kvx" || true
  status=1
fi

echo
echo "itemsmith: $nv_verdict   treesmith: $efs_verdict"
[[ "$nv_verdict" == "[WriteNVItem PASS]" && "$efs_verdict" == "PASS" ]] || status=1
exit "$status"
