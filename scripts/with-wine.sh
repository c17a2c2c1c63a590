#!/usr/bin/env bash
# Runs a command inside the test environment of the Windows program: a private
# Wine prefix in the build tree, an X server of its own, Wine's server and helper
# processes started up front (so tests do not pay for them), and no window
# manager delays. Usage: scripts/with-wine.sh COMMAND [ARGS...]
#
# SP_WINE_LOADER chooses Wine's loader, and with it the default build and prefix:
#   32        (default) the 32-bit loader: build/win, prefix build/wpfx;
#   64        the 64-bit loader for the 64-bit test twin: build/win64, prefix
#             build/wpfx64 ("wine" and "wineboot" start the 64-bit loader);
#   emulated  as 64, and 32-bit programs started from there run under CPU
#             emulation (qemu-user, registered for this command only):
#             prefix build/wpfx-emu.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
loader="${SP_WINE_LOADER:-32}"

case "$loader" in
  32) default_build=win; default_prefix=wpfx ;;
  64) default_build=win64; default_prefix=wpfx64 ;;
  emulated) default_build=win64; default_prefix=wpfx-emu ;;
  *) echo "with-wine: SP_WINE_LOADER must be 32, 64 or emulated, not '$loader'" >&2; exit 2 ;;
esac
build="${SP_WIN_BUILD:-$root/build/$default_build}"
export SP_WIN_BUILD="$build"
export WINEPREFIX="${WINEPREFIX:-$root/build/$default_prefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The recycle bin needs this folder, or deletions to it are silently final.
export XDG_DATA_HOME="${XDG_DATA_HOME:-$root/build/xdg-data}"
mkdir -p "$XDG_DATA_HOME" "$HOME/.local/share"

display_number() {
  local n
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then echo "$n"; return; fi
  done
  echo "with-wine: no free X display" >&2; exit 1
}

xvfb_pid=""
keeper_pid=""
emulator="$root/scripts/emulate-i386.sh"
emulator_registered=""
emulator_paused=""
cleanup() {
  [ -n "$keeper_pid" ] && kill "$keeper_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ -n "$emulator_registered" ]; then bash "$emulator" off; fi
  if [ -n "$emulator_paused" ]; then bash "$emulator" resume; fi
}
trap cleanup EXIT

if [ "$loader" != 32 ]; then
  # Commands named "wine" and "wineboot" that start the 64-bit loader: Debian's
  # own prefer the 32-bit loader whenever it is installed.
  shims="$root/build/wine64-commands"
  mkdir -p "$shims"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' > "$shims/wine"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 wineboot "$@"\n' > "$shims/wineboot"
  chmod +x "$shims/wine" "$shims/wineboot"
  export PATH="$shims:$PATH" WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
fi
if [ "$loader" = 32 ]; then
  # An emulator registered for 32-bit programs would let the 32-bit loader
  # pass for native, and slow it down: it is off while this command runs.
  if bash "$emulator" pause; then emulator_paused=1; fi
  if ! bash "$emulator" starts; then
    echo "with-wine: Wine's 32-bit loader does not start on this machine (does its kernel" \
      "refuse 32-bit code?): use SP_WINE_LOADER=64, or emulated" >&2
    exit 1
  fi
fi
if [ "$loader" = emulated ]; then
  if bash "$emulator" on; then emulator_registered=1; fi
  bash "$emulator" check
fi

if [ -z "${SP_KEEP_DISPLAY:-}" ]; then
  n=$(display_number)
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi

mkdir -p "$WINEPREFIX"
wineserver -p
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi
# Without a window manager every hide or destroy of a window costs 2 s.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1

# A hidden window of our own keeps Wine's helper processes alive outside the tests.
if [ -x "$build/bin/keeper.exe" ]; then
  wine "$build/bin/keeper.exe" >/dev/null 2>&1 &
  keeper_pid=$!
fi

"$@"
