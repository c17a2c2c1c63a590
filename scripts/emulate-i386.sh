#!/usr/bin/env bash
# CPU emulation of 32-bit x86 Linux programs (qemu-user through binfmt_misc),
# so that Wine's 32-bit loader runs on a kernel that refuses 32-bit code.
#   emulate-i386.sh on     registers the emulator; exit 0 when this call
#                          registered it, 1 when it was registered already
#   emulate-i386.sh off    removes the registration
#   emulate-i386.sh pause  switches an enabled registration off; exit 0 when
#                          this call did, 1 when there was none to switch off
#   emulate-i386.sh resume switches the registration on again
#   emulate-i386.sh starts exit 0 when Wine's 32-bit loader starts (natively,
#                          or under an emulator that is on)
#   emulate-i386.sh check  as starts, and says why when it does not
set -euo pipefail
misc=/proc/sys/fs/binfmt_misc
entry="$misc/qemu-i386"
emulator=/usr/bin/qemu-i386-static

case "${1:-}" in
  on)
    [ -x "$emulator" ] || { echo "emulate-i386: $emulator missing: run make setup" >&2; exit 2; }
    if [ ! -e "$misc/register" ]; then
      mount -t binfmt_misc binfmt_misc "$misc"
    fi
    if [ -e "$entry" ]; then
      echo 1 > "$entry"
      exit 1
    fi
    # i386 ELF executables and shared objects; F: the emulator is opened now,
    # so it also serves programs started in other mount namespaces.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:$emulator:F" > "$misc/register"
    ;;
  off)
    if [ -e "$entry" ]; then echo -1 > "$entry"; fi
    ;;
  pause)
    grep -qsx enabled "$entry" || exit 1
    echo 0 > "$entry"
    ;;
  resume)
    if [ -e "$entry" ]; then echo 1 > "$entry"; fi
    ;;
  starts)
    timeout 120 /usr/lib/wine/wine --version >/dev/null 2>&1
    ;;
  check)
    if ! bash "$0" starts; then
      echo "emulate-i386: Wine's 32-bit loader does not start, even under emulation" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: emulate-i386.sh on|off|pause|resume|starts|check" >&2
    exit 2
    ;;
esac
