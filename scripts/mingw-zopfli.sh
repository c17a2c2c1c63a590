#!/usr/bin/env bash
# Builds the deflate encoder (zopfli) for MinGW x86-64 from Debian's source
# package, the same version as the native library, so that the Windows tool
# compresses byte for byte as the Linux tool does. Installs it under
# /usr/local/x86_64-w64-mingw32 (which cmake/mingw.cmake searches). Quick when
# that version is already there.
set -euo pipefail

prefix=/usr/local/x86_64-w64-mingw32
version=$(dpkg-query -W -f='${Version}' libzopfli-dev)
stamp=$prefix/lib/libzopfli.version
if [[ -f $prefix/lib/libzopfli.a && -f $stamp && $(<"$stamp") == "$version" ]]; then
  exit 0
fi

echo "setup: building zopfli $version for MinGW x86-64"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! apt-get source -qq --download-only "zopfli=$version" >apt.log 2>&1; then
  cat apt.log >&2
  exit 1
fi
dpkg-source -x --no-check ./zopfli_*.dsc source >/dev/null
cc=x86_64-w64-mingw32-gcc-posix
objects=()
for file in source/src/zopfli/*.c; do
  [[ $file == */zopfli_bin.c ]] && continue
  object=$(basename "${file%.c}").o
  "$cc" -O2 -c "$file" -o "$object"
  objects+=("$object")
done
mkdir -p "$prefix/lib" "$prefix/include/zopfli"
rm -f "$prefix/lib/libzopfli.a"
x86_64-w64-mingw32-ar rcs "$prefix/lib/libzopfli.a" "${objects[@]}"
cp source/src/zopfli/*.h "$prefix/include/zopfli/"
echo "$version" > "$stamp"
