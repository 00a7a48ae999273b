#!/usr/bin/env bash
# The installed package against itself, as a line would use it: the installed diagsim serves a
# virtual device (a usb-serial port, as a modem shows it) loaded with the installed
# examples/device-before; the installed itemsmith and treesmith provision it from a temporary
# working folder with the installed samples. Both verdicts must be PASS and the device's file
# system must equal examples/expected/kvx. Then the installed linestation provisions a second
# virtual device, at a USB location, with the installed programs beside it: both rows PASS.
# Exit code 0 when all of that holds.
# Usage: check-installed.sh [PREFIX]   (default /usr; another prefix checks an unpacked package)
set -euo pipefail
prefix="${1:-/usr}"
examples="$prefix/share/doc/linetools/examples"
export PATH="$prefix/bin:$PATH"
work="$(mktemp -d /tmp/linetools-installed-XXXXXX)"
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

for program in itemsmith treesmith linestation diagsim; do
  [[ "$(command -v "$program")" == "$prefix/bin/$program" ]] || { echo "no $prefix/bin/$program" >&2; exit 1; }
done
diagsim --version
linestation --version

mkdir -p "$work/line"
cp -r "$examples/kvx/." "$work/line/"
cp "$examples/KVX_nvitem.txt" "$work/line/"
diagsim --root "$work/root" --com 3 --efs-load "$examples/device-before" \
  --efs-dump "$work/efs-after" >"$work/diagsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 200); do
  grep -q 'serving COM3' "$work/diagsim.out" 2>/dev/null && break
  sleep 0.05
done
grep -q 'serving COM3' "$work/diagsim.out" || { cat "$work/diagsim.out" >&2; exit 1; }

(cd "$work/line" && DIAG_DEVICE_ROOT="$work/root" itemsmith >/dev/null)
(cd "$work/line" && DIAG_DEVICE_ROOT="$work/root" treesmith >/dev/null)
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=""

nv_verdict="$(cat "$work/line/KVX_WriteNVItem_result.txt")"
efs_verdict="$(cat "$work/line/Kvx_treesmith_Result.txt")"
echo "itemsmith: ${nv_verdict%$'\r'}   treesmith: $efs_verdict"
[[ "$nv_verdict" == $'[WriteNVItem PASS]\r' && "$efs_verdict" == "PASS" ]]
diff -r "$work/efs-after" "$examples/expected/kvx"

# The station: one slot, the programs found beside the installed linestation.
mkdir -p "$work/template"
cp -r "$examples/kvx/." "$work/template/"
cp "$examples/KVX_nvitem.txt" "$work/template/"
diagsim --root "$work/station" --com 4 --usb-location 1-1.4 \
  --efs-load "$examples/device-before" >"$work/diagsim-station.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 200); do
  grep -q 'serving COM4' "$work/diagsim-station.out" 2>/dev/null && break
  sleep 0.05
done
grep -q 'serving COM4' "$work/diagsim-station.out" || { cat "$work/diagsim-station.out" >&2; exit 1; }
DIAG_DEVICE_ROOT="$work/station" linestation --slot 1-1.4 --template "$work/template" \
  --itemsmith --treesmith kvx --work "$work/runs" --csv "$work/station.csv" >/dev/null
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=""
[[ "$(grep -c ',PASS,' "$work/station.csv")" == 2 ]] || { cat "$work/station.csv" >&2; exit 1; }
echo "linestation: PASS"
echo "installed programs: PASS"
