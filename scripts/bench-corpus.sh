#!/usr/bin/env bash
# Fetches the benchmark corpus: pairs of real Windows executables and DLLs
# (32- and 64-bit, adjacent and distant versions) from npm packages that ship
# prebuilt Windows binaries per version. Files land in bench/cache/PAIR/{old,new}
# and are fetched only once. Prints one line per pair: NAME OLD NEW.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=bench/cache
mkdir -p "$cache/tarballs"

# name | package | old version | new version | file inside the package
pairs=(
  "esbuild-x64-adjacent|@esbuild/win32-x64|0.24.0|0.24.2|package/esbuild.exe"
  "esbuild-ia32-distant|@esbuild/win32-ia32|0.19.0|0.21.0|package/esbuild.exe"
  "rollup-x64-adjacent|@rollup/rollup-win32-x64-msvc|4.24.0|4.24.2|package/rollup.win32-x64-msvc.node"
  "rollup-ia32-distant|@rollup/rollup-win32-ia32-msvc|4.9.0|4.20.0|package/rollup.win32-ia32-msvc.node"
  "lightningcss-x64-adjacent|lightningcss-win32-x64-msvc|1.28.1|1.28.2|package/lightningcss.win32-x64-msvc.node"
  "libvips-x64-adjacent|@img/sharp-win32-x64|0.33.4|0.33.5|package/lib/libvips-42.dll"
)

# Extracts FILE of PACKAGE@VERSION to DEST (skipped when DEST exists).
fetch() {
  local package=$1 version=$2 file=$3 dest=$4
  [ -s "$dest" ] && return 0
  local tarball
  tarball=$(cd "$cache/tarballs" && npm pack --silent "$package@$version" 2>/dev/null | tail -n 1)
  tar -xzf "$cache/tarballs/$tarball" -O "$file" > "$dest.tmp"
  mv "$dest.tmp" "$dest"
}

for entry in "${pairs[@]}"; do
  IFS='|' read -r name package old new file <<<"$entry"
  mkdir -p "$cache/$name"
  fetch "$package" "$old" "$file" "$cache/$name/old" >&2
  fetch "$package" "$new" "$file" "$cache/$name/new" >&2
  echo "$name $cache/$name/old $cache/$name/new"
done
