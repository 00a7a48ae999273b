#!/usr/bin/env bash
# Virtual devices for rehearsing a station: `up` starts COUNT diagsim devices in FOLDER/root, at
# the USB locations 1-2.1 ... 1-2.COUNT, each first showing its CD-ROM (as a device fresh from
# the factory does) and loaded with the file system of a device provisioned before; it also
# makes the template FOLDER/template (examples/kvx and examples/KVX_nvitem.txt). `down` stops
# them again, each saving nothing, and removes FOLDER.
# Usage: examples/station-devices.sh up FOLDER [COUNT] [BUILD_DIR]
#        examples/station-devices.sh down FOLDER
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
command="${1:-}"
folder="${2:-}"
if [[ -z "$folder" || ( "$command" != up && "$command" != down ) ]]; then
  echo "usage: $0 up FOLDER [COUNT] [BUILD_DIR] | down FOLDER" >&2
  exit 2
fi

if [[ "$command" == down ]]; then
  for pid_file in "$folder"/diagsim-*.pid; do
    [[ -e "$pid_file" ]] || continue
    kill -TERM "$(cat "$pid_file")" 2>/dev/null || true
  done
  # Each device ends within a moment of its signal; none is left behind.
  for pid_file in "$folder"/diagsim-*.pid; do
    [[ -e "$pid_file" ]] || continue
    pid="$(cat "$pid_file")"
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$folder"
  exit 0
fi

count="${3:-4}"
build="$(cd "${4:-$here/build}" && pwd)"
mkdir -p "$folder/root" "$folder/template"
cp -r "$here/examples/kvx/." "$folder/template/"
cp "$here/examples/KVX_nvitem.txt" "$folder/template/"
for i in $(seq 1 "$count"); do
  "$build/devicesim/diagsim" --root "$folder/root" --com "$i" --usb-location "1-2.$i" \
    --cdrom --cdrom-index "$i" --efs-load "$here/examples/device-before" \
    >"$folder/diagsim-$i.log" 2>&1 </dev/null &
  echo $! >"$folder/diagsim-$i.pid"
done
for i in $(seq 1 "$count"); do
  for _ in $(seq 1 200); do
    grep -q 'diagsim: CD-ROM' "$folder/diagsim-$i.log" 2>/dev/null && continue 2
    sleep 0.05
  done
  echo "device $i did not start:" >&2
  cat "$folder/diagsim-$i.log" >&2
  exit 1
done
echo "$count devices at 1-2.1 ... 1-2.$count under $folder/root; template $folder/template"
