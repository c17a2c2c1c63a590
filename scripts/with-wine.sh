#!/usr/bin/env bash
# Runs a command inside the test environment of the Windows program: a private
# Wine prefix in the build tree, an X server of its own, Wine's server and helper
# processes started up front (so tests do not pay for them), and no window
# manager delays. Usage: scripts/with-wine.sh COMMAND [ARGS...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${SP_WIN_BUILD:-$root/build/win}"

export WINEPREFIX="${WINEPREFIX:-$root/build/wpfx}"
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
cleanup() {
  [ -n "$keeper_pid" ] && kill "$keeper_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

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
