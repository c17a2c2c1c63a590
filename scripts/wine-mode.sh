#!/usr/bin/env bash
# Which Windows build the tests run, decided once per command:
#   native  this machine runs 32-bit programs: the real installer (build/win)
#           under Wine's 32-bit loader, and the 64-bit twin as well;
#   twin    the kernel refuses 32-bit code (its 32-bit emulation is off): the
#           64-bit twin (build/win64) under Wine's 64-bit loader, and the real
#           installer only under CPU emulation (qemu-user).
# SP_WINE_MODE=native or SP_WINE_MODE=twin forces a mode.
# Sourced by the scripts; `bash scripts/wine-mode.sh` prints the mode.

# Whether Wine's 32-bit loader starts here without CPU emulation. An emulator
# registered for 32-bit programs (ours, or anyone's) is switched off for the
# probe, so it cannot pass for the real thing, and on again afterwards.
sp_emulator="$(dirname "${BASH_SOURCE[0]}")/emulate-i386.sh"
sp_runs_32bit_natively() {
  local paused="" status=0
  if bash "$sp_emulator" pause; then paused=1; fi
  bash "$sp_emulator" starts || status=1
  if [ -n "$paused" ]; then bash "$sp_emulator" resume; fi
  return $status
}

sp_wine_mode() {
  case "${SP_WINE_MODE:-}" in
    native | twin) echo "$SP_WINE_MODE"; return ;;
    "") ;;
    *) echo "wine-mode: SP_WINE_MODE must be native or twin, not '$SP_WINE_MODE'" >&2; return 1 ;;
  esac
  if sp_runs_32bit_natively; then echo native; else echo twin; fi
}

sp_describe_wine_mode() {
  case "$1" in
    native) echo "Windows mode: native (32-bit programs run here): the real installer, then the 64-bit test twin" ;;
    twin) echo "Windows mode: twin (this kernel refuses 32-bit code): the 64-bit test twin, then the real installer under CPU emulation" ;;
  esac
  if [ -n "${SP_WINE_MODE:-}" ]; then echo "  (forced by SP_WINE_MODE)"; fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  sp_wine_mode
fi
