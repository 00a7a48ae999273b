#!/usr/bin/env bash
# The shipped 32-bit Windows programs and the Windows OS adapter's own tests, run under Wine
# against diagsim serving the virtual device on a pseudo-terminal mapped as COM7.
#
# Usage: tests/windows/run.sh NATIVE_BUILD WIN32_BUILD [--shipped32]
#        (make test-windows builds both; make test-windows32 runs the --shipped32 stage)
#        WINDOWS_CASES=REGEX runs only the cases whose names match; WINDOWS_KEEP=1 keeps the
#        run's folder (prefix, logs, device dumps), which is otherwise kept only after a failure.
#
# --shipped32 runs only the shipped 32-bit programs, each once (itemsmith.exe with the reset,
# treesmith.exe for KVX), under 32-bit Wine, starting it through user-mode emulation where the
# kernel runs no 32-bit programs. Everything else then runs under 64-bit Wine: an emulated Wine
# command costs about a minute.
#
# A fresh Wine prefix per run. The port is mapped through Wine's own port table
# (HKLM\Software\Wine\Ports), so that Wine makes the COM7 device and its entry in the volatile
# serial-port list HKLM\HARDWARE\DEVICEMAP\SERIALCOMM that treesmith reads; the Wine server is
# kept alive for the whole run so that the list stays as arranged here. itemsmith finds its
# port through SetupAPI, for which plain Wine lists nothing: a USB device with the description
# and friendly name of the device's DIAG port and a COM-port interface is written into the
# registry. Wine's own output goes to files, since its services keep inherited pipes open.
# Logs written under Windows end their lines with CR LF; they are compared after turning CR LF
# into LF.
set -uo pipefail

here="$(cd "$(dirname "$0")/../.." && pwd)"
native="$(cd "${1:-build}" && pwd)"
win="$(cd "${2:-build-win32}" 2>/dev/null && pwd)"
stage=full
[[ "${3:-}" == --shipped32 ]] && stage=shipped32
# shellcheck source=wine32.sh
source "$here/tests/windows/wine32.sh"

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  if [[ "${CI:-}" == "true" ]]; then
    echo "windows: Wine is not installed; CI must run the Windows suite (.ci/run installs wine)" >&2
    exit 1
  fi
  echo "windows: skipped: Wine is not installed (Debian: wine, wine32:i386, wine64)"
  exit 0
fi

# `wine` on PATH becomes the 64-bit loader alone: a 32-bit process it would start fails at once
# instead of starting emulated (Wine derives the 32-bit loader's name from WINELOADER's).
wine64_only() {
  local shim
  shim="$(mktemp -d /tmp/windows-wine64-XXXXXX)"
  mkdir "$shim/bin" "$shim/loader"
  ln -s /usr/lib/wine/wine64 "$shim/loader/wine64"
  printf '#!/bin/sh\nexit 1\n' >"$shim/loader/wine"
  for name in wine wine-stable wine64; do
    printf '#!/bin/sh\nexport WINELOADER=%s\nexec %s "$@"\n' "$shim/loader/wine64" "$shim/loader/wine64" >"$shim/bin/$name"
  done
  chmod +x "$shim/loader/wine" "$shim/bin/"*
  export PATH="$shim/bin:$PATH"
}

# The program runs' loader: `wine` but in the shipped stage, where it is the 32-bit loader.
program_wine=wine
bound_scale=1
if [[ "$stage" == shipped32 ]]; then
  [[ -n "$win" ]] || { echo "windows32: there is no 32-bit build (make windows32)" >&2; exit 1; }
  if ! how="$(wine32_prepare)"; then echo "windows32: $how" >&2; exit 1; fi
  echo "windows32: $how"
  program_wine=/usr/lib/wine/wine
  [[ "$(wine32_mode)" == emulated ]] && bound_scale=6
  [[ -x /usr/lib/wine/wine64 ]] && wine64_only
else
  # The whole suite runs on the 32-bit build only where 32-bit Wine starts natively; elsewhere
  # the 64-bit build (configured with the Windows tests as well) runs under Wine's 64-bit loader.
  mode32="$(wine32_mode)"
  if [[ "$mode32" != native ]]; then
    [[ -x /usr/lib/wine/wine64 ]] || { echo "windows: neither 32-bit nor 64-bit Wine can run here" >&2; exit 1; }
    win="$(cd "${WINDOWS_BUILD64:-$here/build-win64}" 2>/dev/null && pwd)" || {
      echo "windows: 32-bit Wine cannot run here and there is no 64-bit build" >&2; exit 1; }
    wine64_only
    if [[ "$mode32" == emulated ]]; then
      echo "windows: 32-bit Wine starts here only emulated, too slow for the whole suite; testing the 64-bit build in $win (make test-windows32 runs the shipped build)"
    else
      echo "windows: 32-bit Wine cannot start here; testing the 64-bit build in $win"
    fi
  fi
fi

diagsim="$native/devicesim/diagsim"
treesmith="$win/efstool/treesmith.exe"
itemsmith="$win/nvtool/itemsmith.exe"
platform_test="$win/tests/windows/platform_win32_test.exe"
tovik="$win/tests/windows/TovikServer.exe"
standin="$win/tests/windows/cfgmgr32.dll"
linestation="$win/station/linestation.exe"
required=("$diagsim" "$treesmith" "$itemsmith")
[[ "$stage" == full ]] && required+=("$platform_test" "$tovik" "$standin" "$linestation")
for f in "${required[@]}"; do
  [[ -x "$f" || -f "$f" ]] || { echo "windows: missing $f (make test-windows builds it)" >&2; exit 1; }
done

com=7
com2=9  # the second device of the pinned cases (the platform tests take COM8 for an unmapped port)
description="KVX Diagnostics Interface"
work="$(mktemp -d /tmp/windows-tests-XXXXXX)"
root="$work/root"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
sim_pid=""
tovik_pid=""
passed=0
failed=0
skipped=0
failures=()

stop_device() {
  if [[ -n "${sim2_pid:-}" ]]; then
    kill -TERM "$sim2_pid" 2>/dev/null
    wait "$sim2_pid" 2>/dev/null
    sim2_pid=""
  fi
  if [[ -n "$sim_pid" ]]; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=""
  fi
}
cleanup() {
  stop_device
  if [[ -n "$tovik_pid" ]]; then kill -KILL "$tovik_pid" 2>/dev/null; wait "$tovik_pid" 2>/dev/null; fi
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  if ((failed == 0)) && [[ -z "${WINDOWS_KEEP:-}" ]]; then rm -rf "$work"; else echo "windows: logs kept in $work"; fi
}
trap cleanup EXIT

# Runs a Windows program in folder $1, bounded by $2 seconds; console and Wine's messages go
# to files in that folder. Its exit code, or 124 when it had to be stopped.
run_windows() {
  local dir="$1" bound=$(($2 * bound_scale))
  shift 2
  (cd "$dir" && timeout -k 5 "$bound" "$program_wine" "$@" >console.txt 2>wine-messages.txt </dev/null)
}

# Starts diagsim for case folder $1 with further options; waits until it serves the port.
start_device() {
  local dir="$1"
  shift
  "$diagsim" --root "$root" --com "$com" --reset-absence 300 "$@" >"$dir/diagsim.out" 2>"$dir/diagsim.err" &
  sim_pid=$!
  for _ in $(seq 1 200); do
    grep -q "serving COM$com" "$dir/diagsim.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "diagsim did not start:" >&2
  cat "$dir/diagsim.out" "$dir/diagsim.err" >&2
  return 1
}

# One case: the function named $1 runs with the case folder $2; every `check` it makes must hold.
case_errors=()
check() {  # check DESCRIPTION TEST-COMMAND...
  local what="$1"
  shift
  "$@" || case_errors+=("$what")
}
run_case() {
  local name="$1" fn="$2"
  shift 2
  [[ "$name" =~ ${WINDOWS_CASES:-.} ]] || return 0
  local dir="$work/cases/$name"
  mkdir -p "$dir/work"
  case_errors=()
  case_skipped=""
  local start=$SECONDS
  "$fn" "$dir" "$@"
  stop_device
  if [[ -n "$case_skipped" ]]; then
    skipped=$((skipped + 1))
    echo "SKIP  $name ($((SECONDS - start)) s): $case_skipped"
  elif ((${#case_errors[@]} == 0)); then
    passed=$((passed + 1))
    echo "PASS  $name ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "FAIL  $name ($((SECONDS - start)) s)"
    printf '        %s\n' "${case_errors[@]}"
    echo "        (case folder: $dir)"
  fi
}

# qemu's user-mode emulator of this Debian release cannot run a 32-bit Wine thread's signal
# handler: the handler finds no thread block ("uncaught target signal 11" at an address a few
# hundred bytes above zero). Wine's server signals a running thread to hand it work of the
# system's (SIGUSR1), which treesmith's threads meet in every run. Such a death says nothing of
# the program: the case is skipped, saying so, and counts neither way; itemsmith must pass.
emulator_fault() {
  local dir="$1" code="$2"
  [[ "$(wine32_mode)" == emulated && "$program_wine" != wine && $code -ge 128 ]] || return 1
  grep -q '^qemu: uncaught target signal' "$dir/wine-messages.txt" 2>/dev/null || return 1
  case_skipped="the emulator could not deliver a signal to a 32-bit Wine thread (exit code $code; $dir/wine-messages.txt)"
}

text_of() { sed 's/\r$//' "$1" 2>/dev/null; }  # a log with its line ends normalised
equals() { [[ "$1" == "$2" ]]; }
file_is() { cmp -s "$1" <(printf "$2"); }  # the file's bytes, given as a printf format
contains() { grep -qF -- "$2" <<<"$1"; }

# ---------------------------------------------------------------------------------------------
# The prefix and the registered port.

echo "== Wine prefix and port COM$com ($(wine --version))"
mkdir -p "$work/cases" "$root/dev"
wineboot -i >"$work/wineboot.log" 2>&1 || { echo "windows: wineboot failed" >&2; cat "$work/wineboot.log" >&2; exit 1; }

# The device instance and its COM-port interface, as a USB serial driver would leave them.
instance='USB\VID_FFFF&PID_0001&MI_00\6&1A2B3C&0&0000'
link_key='##?#USB#VID_FFFF&PID_0001&MI_00#6&1A2B3C&0&0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}'
esc() { sed 's/\\/\\\\/g' <<<"$1"; }
cat >"$work/port.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM$com"="$root/dev/serial/com/COM$com"
"COM$com2"="$root/dev/serial/com/COM$com2"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\$instance]
"DeviceDesc"="$description"
"FriendlyName"="$description (COM$com)"
"Class"="Ports"
"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"
"Mfg"="Line test device"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\$instance\\Device Parameters]
"PortName"="COM$com"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\{86e0d1e0-8089-11d0-9ce4-08003e301f73}\\$link_key]
"DeviceInstance"="$(esc "$instance")"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\{86e0d1e0-8089-11d0-9ce4-08003e301f73}\\$link_key\\#]
"SymbolicLink"="$(esc "\\\\?\\${link_key:4}")"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\{86e0d1e0-8089-11d0-9ce4-08003e301f73}\\$link_key\\#\\Control]
"Linked"=dword:00000001
EOF
(cd "$work" && wine regedit /S port.reg >>"$work/wine.log" 2>&1) || { echo "windows: regedit failed" >&2; exit 1; }
# Wine maps the ports of its table when its server starts; this one then stays for the run.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
wineserver -p >>"$work/wine.log" 2>&1

serial_list() {
  (cd "$work" && wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >serialcomm.txt 2>>"$work/wine.log")
  sed -n 's/^ *\([^ ]*\) *REG_SZ *\([^ \r]*\).*$/\1 \2/p' "$work/serialcomm.txt"
}
# Ports Wine found of its own (COM1 for /dev/ttyS0, where that exists) are set aside: each case
# but one sees the device's port alone.
other_ports=()
com2_value=""
while read -r value port; do
  [[ "$port" == "COM$com" ]] && continue
  if [[ "$port" == "COM$com2" ]]; then com2_value="$value"; else other_ports+=("$value $port"); fi
  (cd "$work" && wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$value" /f >>"$work/wine.log" 2>&1)
done < <(serial_list)
if [[ "$(serial_list)" != *"COM$com"* ]]; then
  echo "windows: Wine did not list COM$com:" >&2
  cat "$work/serialcomm.txt" >&2
  exit 1
fi
echo "serial-port list: $(serial_list | awk '{print $2}' | xargs); set aside: ${other_ports[*]:-none}, COM$com2"

# ---------------------------------------------------------------------------------------------
# The OS adapter's own tests.

case_platform() {
  local dir="$1"
  start_device "$dir" || { case_errors+=("no device"); return; }
  cp "$platform_test" "$dir/work/"
  # Started by the adapter's child-process test, which must see it end with its runner.
  cp "$tovik" "$dir/work/"
  local real=""
  [[ ${#other_ports[@]} -gt 0 ]] && real="$(sed 's/.* COM//' <<<"${other_ports[0]}")"
  DIAG_WINE_COM="$com" DIAG_WINE_DESCRIPTION="$description" DIAG_WINE_REAL_COM="$real" \
    run_windows "$dir/work" 120 platform_win32_test.exe --DeleteDLFile "Grüße mit Leerzeichen"
  local code=$?
  check "platform_win32_test.exe exit code $code (see $dir/work/console.txt)" equals "$code" 0
  grep -E '^\[  (PASSED|FAILED) |^\[  FAILED  \]' "$dir/work/console.txt" | sed 's/^/        /'
}

# ---------------------------------------------------------------------------------------------
# treesmith.exe

kvx_steps="ConnectDevice EnterOfflineMode DeleteEFS DeletePhoneEFS DeleteSMS DeleteUE_USAGE DeleteACQDB DeleteFGI DisconnectDevice ConnectDevice WriteAppsEFS WriteEFS_generic WritePhoneEFS WriteSMS WriteUE_USAGE WriteACQDB WriteFGI DisconnectDevice"
vexa_steps="ConnectDevice EnterOfflineMode DeleteEFS DeletePhoneEFS DeleteACQDB_pre DeleteMTU DeleteACQDB DeleteFGI DisconnectDevice ConnectDevice WriteAppsEFS WriteEFS_VEXA WritePhoneEFS WriteMTU WriteACQDB WriteFGI DisconnectDevice"
deletedl_steps="ConnectDevice EnterOfflineMode DeleteDL_Processing DisconnectDevice"

banners_of() { grep '^===== ' <<<"$1"; }
banners_for() { for s in $1; do printf '===== %s + ===== \n===== %s - ===== \n' "$s" "$s"; done; }

# treesmith_case DIR UPLOAD VERDICT EXPECTED-TREE LOG RESULT MODE-LINE STEPS [ARGS...]
treesmith_case() {
  local dir="$1" upload="$2" verdict="$3" expected="$4" logname="$5" result="$6" mode_line="$7" steps="$8"
  shift 8
  [[ -n "$upload" ]] && cp -r "$here/examples/$upload/." "$dir/work/"
  [[ "$verdict" == FAIL ]] && rm -rf "$dir/work/SMS"
  cp "$treesmith" "$dir/work/"
  start_device "$dir" --efs-load "$here/examples/device-before" --efs-dump "$dir/dump" || {
    case_errors+=("no device"); return; }
  run_windows "$dir/work" 120 treesmith.exe "$@"
  local code=$?
  stop_device
  if emulator_fault "$dir/work" "$code"; then return; fi
  check "exit code $code, not 0" equals "$code" 0
  check "verdict '$(cat "$dir/work/$result" 2>/dev/null)', not $verdict" equals "$(cat "$dir/work/$result" 2>/dev/null)" "$verdict"
  local log
  log="$(text_of "$dir/work/$logname")"
  check "log does not start with the version and '$mode_line'" \
    equals "$(head -n 2 <<<"$log")" "$(printf 'treesmith version: 20120903 \n%s' "$mode_line")"
  check "log's step banners differ" equals "$(banners_of "$log")" "$(banners_for "$steps")"
  check "log does not name COM$com" contains "$log" "COM Port: $com"
  if [[ "$verdict" == PASS ]]; then
    check "the device's tree differs from examples/$expected" diff -r "$dir/dump" "$here/examples/$expected"
  else
    check "no 'Find file in directory: FAIL, SMS\\*.*' in the log" contains "$log" 'Find file in directory: FAIL, SMS\*.*'
    check "the SMS item was written anyway" test ! -e "$dir/dump/nv/item_files/modem/mmode/sms_config"
  fi
}

case_treesmith_kvx() {
  treesmith_case "$1" kvx PASS expected/kvx Kvx_treesmith.log Kvx_treesmith_Result.txt "IMAGE_SKU_KVX " "$kvx_steps"
}
case_treesmith_vexa() {
  treesmith_case "$1" vexa PASS expected/vexa Kvx_treesmith.log Kvx_treesmith_Result.txt "IMAGE_SKU_VEXA " "$vexa_steps" --VEXA
}
case_treesmith_deletedl() {
  treesmith_case "$1" "" PASS expected/deletedlfile Kvx_treesmith_Delete_DL.log \
    Kvx_treesmith_Delete_DL_Result.txt "DeleteDLFile " "$deletedl_steps" --DeleteDLFile
}
case_treesmith_kvx_without_sms() {
  treesmith_case "$1" kvx FAIL "" Kvx_treesmith.log Kvx_treesmith_Result.txt "IMAGE_SKU_KVX " "$kvx_steps"
}

# Auto-detection probes the ports in list order: a real serial line without a phone first.
case_treesmith_real_port_first() {
  local dir="$1" entry value port
  for entry in "${other_ports[@]}"; do
    read -r value port <<<"$entry"
    (cd "$work" && wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$value" /t REG_SZ /d "$port" /f >>"$work/wine.log" 2>&1)
  done
  local order
  order="$(serial_list | awk '{print $2}' | xargs)"
  echo "        serial-port list: $order"
  check "no other port is listed before COM$com" test "${order%%COM$com*}" != ""
  treesmith_case "$dir" "" PASS expected/deletedlfile Kvx_treesmith_Delete_DL.log \
    Kvx_treesmith_Delete_DL_Result.txt "DeleteDLFile " "$deletedl_steps" --DeleteDLFile
  for entry in "${other_ports[@]}"; do
    read -r value port <<<"$entry"
    (cd "$work" && wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$value" /f >>"$work/wine.log" 2>&1)
  done
}

# ---------------------------------------------------------------------------------------------
# itemsmith.exe

# Requests the device received, one per line, in hex ("29 01 00").
requests_of() { sed -n 's/^diagsim: request //p' "$1/diagsim.err"; }
# The device's NV items on exit (id and first 16 bytes), from diagsim --report.
items_of() { sed -n 's/^diagsim: NV//p' "$1/diagsim.out"; }

itemsmith_start() {
  local dir="$1"
  shift
  cp "$here/examples/KVX_nvitem.txt" "$itemsmith" "$dir/work/"
  # 453 holds other data, 855 already the listed value: only the first is written.
  start_device "$dir" --verbose --report --nv-set 453:0a0b0c --nv-set 855:01 "$@"
}

case_itemsmith_reset() {
  local dir="$1"
  itemsmith_start "$dir" || { case_errors+=("no device"); return; }
  # A Ctrl-Z line before NV10 is no end of the list: the list is read as bytes.
  awk '/^NV10:/ { printf "\032\r\n" } { print }' "$dir/work/KVX_nvitem.txt" >"$dir/list.tmp" &&
    mv "$dir/list.tmp" "$dir/work/KVX_nvitem.txt"
  run_windows "$dir/work" 120 itemsmith.exe reset
  local code=$?
  # The device restarts after the reset; the requests are all in once it serves again.
  for _ in $(seq 1 100); do
    [[ "$(grep -c "serving COM$com" "$dir/diagsim.out")" -ge 2 ]] && break
    sleep 0.05
  done
  stop_device
  check "exit code $code, not 0" equals "$code" 0
  check "verdict is not [WriteNVItem PASS] CR LF" file_is "$dir/work/KVX_WriteNVItem_result.txt" "[WriteNVItem PASS]\r\n"
  check "NV items on the device are not as listed" equals "$(items_of "$dir")" "$(cat <<'EOF'
10 7e 7d 00 01 00 00 00 00 00 00 00 00 00 00 00 00
453 01 02 ff 00 00 00 00 00 00 00 00 00 00 00 00 00
855 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
3649 20 1c 0a 00 00 00 00 00 01 02 03 04 05 06 07 08
EOF
)"
  local requests
  requests="$(requests_of "$dir")"
  check "NV writes are not exactly 453, 10 and 3649" equals "$(grep '^27 ' <<<"$requests" | cut -d' ' -f2,3 | xargs)" \
    "C5 01 0A 00 41 0E"
  local offline first_nv
  offline="$(grep -n '^29 01 00$' <<<"$requests" | head -n 1 | cut -d: -f1)"
  first_nv="$(grep -n -E '^(26|27) ' <<<"$requests" | head -n 1 | cut -d: -f1)"
  check "no offline request before the first NV request" test -n "$offline" -a -n "$first_nv" -a "${offline:-0}" -lt "${first_nv:-0}"
  check "the reset is not the last request" equals "$(tail -n 1 <<<"$requests")" "29 02 00"
  check "no NV request reached the device after the reset" equals "$(grep -c '^29 02 00$' <<<"$requests")" 1
  local log
  log="$(text_of "$dir/work/KVX_WriteNVItem_log.txt")"
  check "log lacks its version line" contains "$log" "KVX_WriteNVItem version: 20120831 "
  check "log lacks 'Reset phone ok'" contains "$log" "Reset phone ok "
}

case_itemsmith_refused_item() {
  local dir="$1"
  itemsmith_start "$dir" --ignore-nv-writes 1000 || { case_errors+=("no device"); return; }
  run_windows "$dir/work" 120 itemsmith.exe reset
  local code=$?
  stop_device
  check "exit code $code, not 0" equals "$code" 0
  check "verdict is not [WriteNVItem FAIL] CR LF" file_is "$dir/work/KVX_WriteNVItem_result.txt" "[WriteNVItem FAIL]\r\n"
  check "the log does not name the failing item" contains "$(text_of "$dir/work/KVX_WriteNVItem_log.txt")" "---- Write NV items NV453 fail ----"
  check "the device was reset after a failed item" equals "$(requests_of "$dir" | grep -c '^29 02 00$')" 0
  check "items after the failing one were touched" equals "$(requests_of "$dir" | grep -c -E '^2[67] (0A 00|57 03|41 0E)')" 0
}

case_itemsmith_beside_tovik() {
  local dir="$1"
  itemsmith_start "$dir" || { case_errors+=("no device"); return; }
  mkdir -p "$dir/tovik"
  cp "$tovik" "$dir/tovik/"
  (cd "$dir/tovik" && exec wine TovikServer.exe ready.flag >console.txt 2>wine-messages.txt </dev/null) &
  tovik_pid=$!
  for _ in $(seq 1 400); do [[ -e "$dir/tovik/ready.flag" ]] && break; sleep 0.05; done
  check "TovikServer.exe did not start" test -e "$dir/tovik/ready.flag"
  run_windows "$dir/work" 120 itemsmith.exe reset
  local code=$?
  kill -KILL "$tovik_pid" 2>/dev/null
  wait "$tovik_pid" 2>/dev/null
  tovik_pid=""
  stop_device
  check "exit code $code, not 0" equals "$code" 0
  check "verdict is not [WriteNVItem FAIL] CR LF" file_is "$dir/work/KVX_WriteNVItem_result.txt" "[WriteNVItem FAIL]\r\n"
  check "the log lacks the Tovik error line" contains "$(text_of "$dir/work/KVX_WriteNVItem_log.txt")" "[Error] TovikApplicationExist "
  check "something was sent to the device" equals "$(requests_of "$dir" | wc -l)" 0
}

# ---------------------------------------------------------------------------------------------
# Pinned runs: two devices at two USB locations, each a composite device whose Ports-class
# interface carries its COM port, and each with its CD-ROM. Wine's configuration manager answers
# no parent or location question, so the stand-in cfgmgr32.dll beside the programs answers them
# from the values written here (TestParent, LocationPaths, LocationInformation); it is loaded
# for these cases only.

hub_path='PCIROOT(0)#PCI(1400)#USBROOT(0)'
slot_path() { printf '%s#USB(%s)' "$hub_path" "$1"; }
slot_info() { printf 'Port_#000%s.Hub_#0002' "$1"; }
port_of() { if [[ $1 == 1 ]]; then echo "$com"; else echo "$com2"; fi; }
port_instance() { printf 'USB\\VID_FFFF&PID_0001&MI_00\\6&1A2B3C&0&000%s' "$(($1 - 1))"; }
# A REG_MULTI_SZ of the arguments, as a REGEDIT4 file gives it (ANSI characters).
multi_sz() {
  { printf '%s\0' "$@"; printf '\0'; } | od -An -v -tx1 | xargs | tr ' ' ','
}

# The interface link of device instance $2 in interface class $1.
interface_reg() {
  local class="$1" instance="$2" key
  key="##?#$(tr '\\' '#' <<<"$instance")#$class"
  cat <<EOF
[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$class\\$key]
"DeviceInstance"="$(esc "$instance")"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$class\\$key\\#]
"SymbolicLink"="$(esc "\\\\?\\${key:4}")"

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$class\\$key\\#\\Control]
"Linked"=dword:00000001

EOF
}

slots_registered=""
register_slots() {
  [[ -n "$slots_registered" ]] && return 0
  local enum='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum' n device port cdrom
  {
    echo "REGEDIT4"
    echo
    printf '[%s\\USB\\ROOT_HUB30\\4&HUB&0]\n"LocationPaths"=hex(7):%s\n"LocationInformation"="Port_#0002.Hub_#0001"\n\n' \
      "$enum" "$(multi_sz "$hub_path")"
    for n in 1 2; do
      device="USB\\VID_FFFF&PID_0001\\SLOT$n"
      port="$(port_instance "$n")"
      cdrom="USBSTOR\\CdRom&Ven_KVX&Prod_Mass_storage&Rev_1.00\\SLOT$n&0"
      printf '[%s\\%s]\n"DeviceDesc"="USB Composite Device"\n"TestParent"="%s"\n"LocationPaths"=hex(7):%s\n"LocationInformation"="%s"\n\n' \
        "$enum" "$device" 'USB\\ROOT_HUB30\\4&HUB&0' "$(multi_sz "$(slot_path "$n")")" "$(slot_info "$n")"
      printf '[%s\\%s]\n"DeviceDesc"="%s"\n"FriendlyName"="%s (COM%s)"\n"Class"="Ports"\n"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"\n"TestParent"="%s"\n"LocationPaths"=hex(7):%s\n\n' \
        "$enum" "$port" "$description" "$description" "$(port_of "$n")" "$(esc "$device")" \
        "$(multi_sz "$(slot_path "$n")#USBMI(0)")"
      printf '[%s\\%s\\Device Parameters]\n"PortName"="COM%s"\n\n' "$enum" "$port" "$(port_of "$n")"
      printf '[%s\\%s]\n"DeviceDesc"="CD-ROM Drive"\n"FriendlyName"="KVX Mass storage USB Device"\n"Class"="CDROM"\n"ClassGUID"="{4d36e965-e325-11ce-bfc1-08002be10318}"\n"TestParent"="%s"\n"HardwareID"=hex(7):%s\n\n' \
        "$enum" "$cdrom" "$(esc "$device")" "$(multi_sz 'USBSTOR\CdRomKVX_____Mass_storage____1.00' 'USBSTOR\CdRomKVX_____Mass_storage____' 'GenCdRom')"
      [[ $n == 2 ]] && interface_reg '{86e0d1e0-8089-11d0-9ce4-08003e301f73}' "$port"
      interface_reg '{53f56308-b6bf-11d0-94f2-00a0c91efb8b}' "$cdrom"
    done
  } >"$work/slots.reg"
  (cd "$work" && wine regedit /S slots.reg >>"$work/wine.log" 2>&1) || return 1
  if [[ -n "$com2_value" ]]; then
    (cd "$work" && wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$com2_value" /t REG_SZ /d "COM$com2" /f >>"$work/wine.log" 2>&1)
  fi
  slots_registered=1
}

# Both devices serving, each with its own request record; $1 is the case folder.
start_two_devices() {
  local dir="$1"
  shift
  mkdir -p "$dir/dev2"
  start_device "$dir" --usb-location 1-2.1 --verbose "$@" || return 1
  "$diagsim" --root "$root" --com "$com2" --usb-location 1-2.2 --reset-absence 300 --verbose "${@/\/dump/\/dump2}" \
    >"$dir/dev2/diagsim.out" 2>"$dir/dev2/diagsim.err" &
  sim2_pid=$!
  for _ in $(seq 1 200); do
    grep -q "serving COM$com2" "$dir/dev2/diagsim.out" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
request_count() { grep -c '^diagsim: request ' "$1" 2>/dev/null; }
pinned_overrides="mscoree,mshtml=;cfgmgr32=n"

# Runs program $3 in a fresh folder below case folder $1, pinned to $2, with the stand-in.
run_pinned() {
  local dir="$1" pin="$2" program="$3"
  shift 3
  rm -rf "$dir/run" && mkdir -p "$dir/run"
  cp "$program" "$standin" "$dir/run/"
  [[ "$(basename "$program")" == itemsmith.exe ]] && cp "$here/examples/KVX_nvitem.txt" "$dir/run/"
  DIAG_USB_LOCATION="$pin" WINEDLLOVERRIDES="$pinned_overrides" run_windows "$dir/run" 120 "$(basename "$program")" "$@"
}

case_pinned_runs() {
  local dir="$1" n pin how program before1 before2 d1 d2 own other verdict start
  register_slots || { case_errors+=("slots not registered"); return; }
  start_two_devices "$dir" || { case_errors+=("no devices"); return; }
  for program in treesmith itemsmith; do
    for n in 1 2; do
      for how in path info; do
        pin="$(slot_$how "$n")"
        before1="$(request_count "$dir/diagsim.err")"
        before2="$(request_count "$dir/dev2/diagsim.err")"
        start=$SECONDS
        if [[ $program == treesmith ]]; then
          run_pinned "$dir" "$pin" "$treesmith" --DeleteDLFile
          verdict="$(cat "$dir/run/Kvx_treesmith_Delete_DL_Result.txt" 2>/dev/null)"
        else
          run_pinned "$dir" "$pin" "$itemsmith"
          verdict="$(tr -d '\r\n' <"$dir/run/KVX_WriteNVItem_result.txt" 2>/dev/null)"
        fi
        d1=$(($(request_count "$dir/diagsim.err") - before1))
        d2=$(($(request_count "$dir/dev2/diagsim.err") - before2))
        own=$d1 other=$d2
        [[ $n == 2 ]] && own=$d2 other=$d1
        echo "        $program slot $n by location $how: $verdict, $own requests to its device, $other to the other ($((SECONDS - start)) s)"
        check "$program slot $n by $how: verdict '$verdict'" contains "$verdict" PASS
        check "$program slot $n by $how: no request to its own device" test "$own" -gt 0
        check "$program slot $n by $how: $other requests to the other device" equals "$other" 0
        cp -r "$dir/run" "$dir/$program-$n-$how"
      done
    done
  done
}

case_pinned_empty_slot() {
  local dir="$1"
  register_slots || { case_errors+=("slots not registered"); return; }
  start_two_devices "$dir" || { case_errors+=("no devices"); return; }
  run_pinned "$dir" "$(slot_path 3)" "$treesmith" --DeleteDLFile
  check "verdict is not FAIL" equals "$(cat "$dir/run/Kvx_treesmith_Delete_DL_Result.txt" 2>/dev/null)" FAIL
  check "a device was touched" equals "$(($(request_count "$dir/diagsim.err") + $(request_count "$dir/dev2/diagsim.err")))" 0
}

# A pin naming the COM port's own node (an interface) is refused: nothing seen, and said why.
case_pinned_refused() {
  local dir="$1"
  register_slots || { case_errors+=("slots not registered"); return; }
  start_two_devices "$dir" || { case_errors+=("no devices"); return; }
  run_pinned "$dir" "$(slot_path 1)#USBMI(0)" "$treesmith" --DeleteDLFile
  check "verdict is not FAIL" equals "$(cat "$dir/run/Kvx_treesmith_Delete_DL_Result.txt" 2>/dev/null)" FAIL
  check "a device was touched" equals "$(($(request_count "$dir/diagsim.err") + $(request_count "$dir/dev2/diagsim.err")))" 0
  check "the log does not say why" contains "$(text_of "$dir/run/Kvx_treesmith_Delete_DL.log")" \
    "names a USB interface, not the USB device"
}

listed() {  # listed LISTING SLOT-PATH PORT DESCRIPTION
  local line
  while read -r line; do
    [[ "$line" == "$2 "* && "$line" == *" $3 "* && "$line" == *"$4"* ]] && return 0
  done <<<"$1"
  return 1
}

case_list_slots() {
  local dir="$1" listing n
  register_slots || { case_errors+=("slots not registered"); return; }
  start_two_devices "$dir" || { case_errors+=("no devices"); return; }
  cp "$linestation" "$standin" "$dir/work/"
  (cd "$dir/work" && WINEDLLOVERRIDES="$pinned_overrides" timeout 60 wine linestation.exe --list-slots \
    >listing.txt 2>wine-messages.txt </dev/null)
  listing="$(text_of "$dir/work/listing.txt")"
  sed 's/^/        /' <<<"$listing"
  for n in 1 2; do
    check "slot $n's port is not listed" listed "$listing" "$(slot_path "$n")" "COM$(port_of "$n")" "$description"
    check "slot $n's CD-ROM is not listed" listed "$listing" "$(slot_path "$n")" "CD-ROM" "KVX Mass storage USB Device"
  done
}

case_linestation_both_slots() {
  local dir="$1" n
  register_slots || { case_errors+=("slots not registered"); return; }
  mkdir -p "$dir/template" "$dir/programs"
  start_two_devices "$dir" --efs-load "$here/examples/device-before" --efs-dump "$dir/dump" || {
    case_errors+=("no devices"); return; }
  cp "$linestation" "$treesmith" "$itemsmith" "$standin" "$dir/programs/"
  (cd "$dir/work" && WINEDLLOVERRIDES="$pinned_overrides" timeout 300 wine "$dir/programs/linestation.exe" \
    --slot "$(slot_path 1)" --slot "$(slot_info 2)" --template ../template \
    --treesmith delete-dl --limit 200 >console.txt 2>wine-messages.txt </dev/null)
  local code=$?
  stop_device
  sed 's/\r$//' "$dir/work/console.txt" | tail -n 4 | sed 's/^/        /'
  check "linestation exit code $code, not 0" equals "$code" 0
  check "device 1's tree differs from examples/expected/deletedlfile" diff -r "$dir/dump" "$here/examples/expected/deletedlfile"
  check "device 2's tree differs from examples/expected/deletedlfile" diff -r "$dir/dump2" "$here/examples/expected/deletedlfile"
}

# A shift at one slot: device A plugged, run, pulled; device B (another USB serial number)
# plugged at the same slot, run. Plugging writes the USB device's instance (its serial number
# is the instance ID's last part) with the slot's location and links the slot's COM port and
# CD-ROM to it; pulling removes the two links, so that the slot is empty as the station sees it.
# Slot 2's links are restored at the end.
shift_reg() {  # shift_reg SERIAL (plugged) or shift_reg "" (pulled)
  local enum='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum' classes='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses'
  local port cdrom device class instance
  port="$(port_instance 2)"
  cdrom='USBSTOR\CdRom&Ven_KVX&Prod_Mass_storage&Rev_1.00\SLOT2&0'
  echo "REGEDIT4"
  echo
  if [[ -z "$1" ]]; then
    for class in '{86e0d1e0-8089-11d0-9ce4-08003e301f73}' '{53f56308-b6bf-11d0-94f2-00a0c91efb8b}'; do
      [[ $class == '{86e0'* ]] && instance="$port" || instance="$cdrom"
      printf '[-%s\\%s\\##?#%s#%s]\n\n' "$classes" "$class" "$(tr '\\' '#' <<<"$instance")" "$class"
    done
    return
  fi
  device="USB\\VID_FFFF&PID_0001\\$1"
  printf '[%s\\%s]\n"DeviceDesc"="USB Composite Device"\n"TestParent"="%s"\n"LocationPaths"=hex(7):%s\n"LocationInformation"="%s"\n\n' \
    "$enum" "$device" 'USB\\ROOT_HUB30\\4&HUB&0' "$(multi_sz "$(slot_path 2)")" "$(slot_info 2)"
  printf '[%s\\%s]\n"TestParent"="%s"\n\n[%s\\%s]\n"TestParent"="%s"\n\n' \
    "$enum" "$port" "$(esc "$device")" "$enum" "$cdrom" "$(esc "$device")"
  interface_reg '{86e0d1e0-8089-11d0-9ce4-08003e301f73}' "$port"
  interface_reg '{53f56308-b6bf-11d0-94f2-00a0c91efb8b}' "$cdrom"
}
shift_plug() {  # shift_plug DIR SERIAL: the device's diagsim serving COM$com2, then its registry
  local dir="$1" serial="$2"
  mkdir -p "$dir/$serial"
  "$diagsim" --root "$root" --com "$com2" --usb-location 1-2.2 --usb-serial "$serial" --reset-absence 300 \
    --efs-load "$here/examples/device-before" --efs-dump "$dir/$serial/dump" --verbose \
    >"$dir/$serial/diagsim.out" 2>"$dir/$serial/diagsim.err" &
  sim2_pid=$!
  for _ in $(seq 1 200); do
    grep -q "serving COM$com2" "$dir/$serial/diagsim.out" 2>/dev/null && break
    sleep 0.05
  done
  shift_reg "$serial" >"$dir/$serial/plug.reg"
  (cd "$dir/$serial" && wine regedit /S plug.reg >>"$work/wine.log" 2>&1)
}
shift_pull() {  # shift_pull DIR SERIAL
  local dir="$1" serial="$2"
  stop_device
  shift_reg "" >"$dir/$serial/pull.reg"
  (cd "$dir/$serial" && wine regedit /S pull.reg >>"$work/wine.log" 2>&1)
}
# The CSV lines of serial number $2 in folder $1 (CR LF turned into LF).
csv_lines_of() { text_of "$1/work/linestation.csv" | grep -- ",$2\$"; }
not_running() { ! kill -0 "$1" 2>/dev/null; }
wait_for_record() {  # wait_for_record DIR SERIAL SECONDS
  local i
  for ((i = 0; i < $3 * 10; ++i)); do
    [[ -n "$(csv_lines_of "$1" "$2")" ]] && return 0
    sleep 0.1
  done
  return 1
}

case_linestation_shift() {
  local dir="$1" serial station_pid code
  register_slots || { case_errors+=("slots not registered"); return; }
  mkdir -p "$dir/template" "$dir/programs"
  cp "$linestation" "$treesmith" "$standin" "$dir/programs/"
  shift_pull "$dir" "" 2>/dev/null  # slot 2 empty before the station looks
  (cd "$dir/work" && WINEDLLOVERRIDES="$pinned_overrides" exec timeout -k 5 240 wine \
    "$dir/programs/linestation.exe" --continuous --removed-after 2 --slot "$(slot_path 2)" \
    --template ../template --treesmith delete-dl --limit 100 >console.txt 2>wine-messages.txt </dev/null) &
  station_pid=$!
  for serial in KVXA0001 KVXB0002; do
    shift_plug "$dir" "$serial"
    wait_for_record "$dir" "$serial" 90
    check "no record of device $serial within 90 s" test -n "$(csv_lines_of "$dir" "$serial")"
    shift_pull "$dir" "$serial"
  done
  # Nothing runs: the first interrupt ends the shift. Under Wine the one interrupt has also been
  # seen to end it as an urgent stop (3); either code means the station stopped, and the
  # records are what this case checks.
  kill -INT "$station_pid" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$station_pid" 2>/dev/null || break; sleep 0.1; done
  check "the station did not end within 10 s of a Ctrl-C" not_running "$station_pid"
  kill -KILL "$station_pid" 2>/dev/null
  wait "$station_pid" 2>/dev/null
  code=$?
  check "linestation exit code $code, neither 0 nor 3" test "$code" = 0 -o "$code" = 3
  sed 's/\r$//' "$dir/work/console.txt" | tail -n 3 | sed 's/^/        /'
  text_of "$dir/work/linestation.csv" | sed 's/^/        /'
  check "not exactly two records" equals "$(text_of "$dir/work/linestation.csv" | tail -n +2 | wc -l)" 2
  for serial in KVXA0001 KVXB0002; do
    check "device $serial: not one PASS record" equals "$(csv_lines_of "$dir" "$serial" | grep -c ',treesmith,.*,PASS,')" 1
    check "device $serial's tree differs from examples/expected/deletedlfile" \
      diff -r "$dir/$serial/dump" "$here/examples/expected/deletedlfile"
  done
  (cd "$work" && wine regedit /S slots.reg >>"$work/wine.log" 2>&1)
}

# linestation.exe --http under Wine: a shift at an empty slot serves its page and its slots.
http_get() {  # http_get URL: the answer's body, or nothing
  python3 -c 'import sys, urllib.request
sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' "$1" 2>/dev/null
}
case_linestation_http() {
  local dir="$1" station_pid url="" page slots
  register_slots || { case_errors+=("slots not registered"); return; }
  mkdir -p "$dir/template" "$dir/programs"
  cp "$linestation" "$treesmith" "$standin" "$dir/programs/"
  (cd "$dir/work" && WINEDLLOVERRIDES="$pinned_overrides" exec timeout -k 5 120 wine \
    "$dir/programs/linestation.exe" --continuous --http 0 --slot "$(slot_path 3)" \
    --template ../template --treesmith delete-dl >console.txt 2>wine-messages.txt </dev/null) &
  station_pid=$!
  for _ in $(seq 1 600); do
    url="$(text_of "$dir/work/console.txt" | sed -n 's|^linestation: web view at \(http://[^ ]*/\)$|\1|p')"
    [[ -n "$url" ]] && break
    sleep 0.1
  done
  check "no web view address printed" test -n "$url"
  if [[ -n "$url" ]]; then
    for _ in $(seq 1 50); do
      slots="$(http_get "${url}api/slots")"
      contains "$slots" '"state":"waiting"' && break
      sleep 0.1
    done
    page="$(http_get "$url")"
    echo "        $url: / has $(wc -c <<<"$page") bytes; /api/slots: $slots"
    check "/ is not the station's page" contains "$page" '<div id="tiles"></div>'
    check "/api/slots shows no waiting slot" contains "$slots" '"state":"waiting"'
    check "/api/slots shows not one slot" equals "$(grep -o '"slot":' <<<"$slots" | wc -l)" 1
    # A second station on the same port is refused before it starts.
    local port="${url##*:}" code
    port="${port%/}"
    (cd "$dir/work" && WINEDLLOVERRIDES="$pinned_overrides" timeout 60 wine "$dir/programs/linestation.exe" \
      --continuous --http "$port" --slot "$(slot_path 3)" --csv second.csv --template ../template \
      --treesmith delete-dl >second.txt 2>second-messages.txt </dev/null)
    code=$?
    check "a second station on port $port: exit code $code, not 2" equals "$code" 2
    check "a second station on port $port does not say why" contains "$(text_of "$dir/work/second-messages.txt")" \
      "linestation: --http $port: cannot listen on 127.0.0.1 port $port (the port is in use)"
  fi
  kill -INT "$station_pid" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$station_pid" 2>/dev/null || break; sleep 0.1; done
  check "the station did not end within 10 s of a Ctrl-C" not_running "$station_pid"
  kill -KILL "$station_pid" 2>/dev/null
  wait "$station_pid" 2>/dev/null
}

# The pinned eject: with no serial port present, itemsmith pinned to a slot opens that slot's
# CD-ROM and no other. Each CD-ROM interface path is a Wine device link to a FIFO of the case's,
# whose reader ends at the first open and close; Wine cannot pass the storage queries to a
# FIFO, so the run keeps retrying and is stopped after a few passes.
case_pinned_eject() {
  local dir="$1" n slot opened readers=()
  register_slots || { case_errors+=("slots not registered"); return; }
  for n in 1 2; do
    mkfifo "$dir/cdrom$n"
    ln -sf "$dir/cdrom$n" "$WINEPREFIX/dosdevices/$(tr 'A-Z' 'a-z' <<<"usbstor#cdrom&ven_kvx&prod_mass_storage&rev_1.00#slot$n&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}")"
  done
  for slot in 1 2; do
    for n in 1 2; do
      cat "$dir/cdrom$n" >/dev/null &
      readers[$n]=$!
    done
    rm -rf "$dir/run" && mkdir -p "$dir/run"
    cp "$itemsmith" "$standin" "$here/examples/KVX_nvitem.txt" "$dir/run/"
    DIAG_USB_LOCATION="$(slot_path "$slot")" WINEDLLOVERRIDES="$pinned_overrides" \
      run_windows "$dir/run" 12 itemsmith.exe
    opened=""
    for n in 1 2; do
      if kill -0 "${readers[$n]}" 2>/dev/null; then
        kill "${readers[$n]}" 2>/dev/null  # still waiting in its open: never opened
      else
        opened+="$n"
      fi
      wait "${readers[$n]}" 2>/dev/null
    done
    echo "        itemsmith pinned to slot $slot opened the CD-ROM of slot(s): ${opened:-none}"
    check "pinned to slot $slot, itemsmith opened the CD-ROMs of slots '$opened'" equals "$opened" "$slot"
    check "pinned to slot $slot, the log shows no eject pass" contains \
      "$(text_of "$dir/run/KVX_WriteNVItem_log.txt")" "EjectDisk +++"
    cp -r "$dir/run" "$dir/slot$slot"
  done
}

# ---------------------------------------------------------------------------------------------

echo "== cases"
if [[ "$stage" == shipped32 ]]; then
  run_case treesmith_kvx case_treesmith_kvx
  run_case itemsmith_reset case_itemsmith_reset
  echo "windows32: $passed passed, $failed failed, $skipped skipped"
  ((failed == 0 && passed > 0))
  exit
fi
run_case platform_adapter case_platform
run_case treesmith_kvx case_treesmith_kvx
run_case treesmith_vexa case_treesmith_vexa
run_case treesmith_deletedlfile case_treesmith_deletedl
run_case treesmith_kvx_without_sms case_treesmith_kvx_without_sms
run_case itemsmith_reset case_itemsmith_reset
run_case itemsmith_refused_item case_itemsmith_refused_item
run_case itemsmith_beside_tovik case_itemsmith_beside_tovik
if ((${#other_ports[@]} > 0)); then
  run_case treesmith_real_port_first case_treesmith_real_port_first
else
  echo "SKIP  treesmith_real_port_first (Wine mapped no serial line of this machine)"
fi

# Last: they register a second device and CD-ROMs that the cases above must not see.
run_case pinned_runs case_pinned_runs
run_case pinned_empty_slot case_pinned_empty_slot
run_case pinned_refused case_pinned_refused
run_case pinned_eject case_pinned_eject
run_case list_slots case_list_slots
run_case linestation_both_slots case_linestation_both_slots
run_case linestation_shift case_linestation_shift
run_case linestation_http case_linestation_http

echo "windows: $passed passed, $failed failed, $skipped skipped"
((failed == 0))
