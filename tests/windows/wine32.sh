#!/usr/bin/env bash
# Whether this machine can start 32-bit Wine, and how: sourced by the Windows suites, or run as
# `wine32.sh mode` (prints native, emulated or none) and `wine32.sh prepare` (makes it start,
# through user-mode emulation where the kernel runs no 32-bit programs; exit 1 and one line
# saying why where it cannot).
#
# Some kernels are built with their 32-bit emulation switched off. The 32-bit Wine loader then
# starts only through qemu's user-mode emulator, registered with binfmt_misc for i386 ELF files.
# Such a Wine is correct but slow (about a minute per program start), so the suites run only the
# shipped programs that way and test everything else on the 64-bit build.

wine32_loader=/usr/lib/wine/wine
wine32_emulator=/usr/bin/qemu-i386-static
wine32_binfmt=/proc/sys/fs/binfmt_misc
wine32_entry=linetools-i386

# True when an enabled binfmt_misc entry hands i386 programs to a qemu emulator.
wine32_emulation_registered() {
  local entry
  for entry in "$wine32_binfmt"/*; do
    [[ -f "$entry" && "$entry" != */register && "$entry" != */status ]] || continue
    grep -qx enabled "$entry" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null && return 0
  done
  return 1
}

wine32_mode() {
  if [[ ! -x "$wine32_loader" ]] || ! "$wine32_loader" --version >/dev/null 2>&1; then
    echo none
  elif wine32_emulation_registered; then
    echo emulated
  else
    echo native
  fi
}

wine32_prepare() {
  local mode
  mode="$(wine32_mode)"
  [[ "$mode" == none ]] || { echo "32-bit Wine starts here ($mode)"; return 0; }
  [[ -x "$wine32_loader" ]] || { echo "32-bit Wine is not installed (Debian: wine32:i386)"; return 1; }
  [[ -x "$wine32_emulator" ]] || {
    echo "this kernel runs no 32-bit programs and qemu-i386-static is not installed (Debian: qemu-user-static)"; return 1; }
  [[ "$(id -u)" == 0 ]] || {
    echo "this kernel runs no 32-bit programs; registering the emulator for them needs root"; return 1; }
  if [[ ! -w "$wine32_binfmt/register" ]]; then
    mount -t binfmt_misc binfmt_misc "$wine32_binfmt" 2>/dev/null
    [[ -w "$wine32_binfmt/register" ]] || {
      echo "this kernel runs no 32-bit programs and binfmt_misc cannot be mounted here"; return 1; }
  fi
  # An i386 ELF executable or shared object (the loader is either), by its header's fixed bytes;
  # F opens the emulator now, so that it serves inside any mount namespace too.
  [[ -e "$wine32_binfmt/$wine32_entry" ]] || printf '%s' \
    ":$wine32_entry:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$wine32_emulator:F" \
    >"$wine32_binfmt/register" 2>/dev/null
  echo 1 >"$wine32_binfmt/$wine32_entry" 2>/dev/null
  [[ "$(wine32_mode)" == emulated ]] || {
    echo "this kernel runs no 32-bit programs, and 32-bit Wine does not start through qemu-i386-static either"; return 1; }
  echo "this kernel runs no 32-bit programs: 32-bit Wine now starts through qemu-i386-static (binfmt_misc entry $wine32_entry)"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  case "${1:-}" in
    mode) wine32_mode ;;
    prepare) wine32_prepare ;;
    *) echo "usage: $0 mode|prepare" >&2; exit 2 ;;
  esac
fi
