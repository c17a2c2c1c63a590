#!/usr/bin/env bash
# Installs every Debian package that the build and the tests need, then prepares
# the private Wine prefix. Idempotent: quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake make g++ clang libclang-rt-14-dev lld ccache
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 qemu-user-static
  libz-mingw-w64-dev zlib1g-dev
  googletest libgtest-dev libbenchmark-dev
  libtomlplusplus-dev libcli11-dev libzopfli-dev
  wine wine64 wine32:i386 xvfb xauth x11-utils imagemagick fonts-ipafont-gothic locales
  python3-pytest python3-pefile nlohmann-json3-dev
  osslsigncode openssl bsdiff xdelta3 zstd xz-utils dpkg-dev
)

# Debian's source packages: the Windows tool's deflate encoder is built from one.
sources_list=/etc/apt/sources.list.d/selfpatch-sources.sources
if [[ ! -f $sources_list ]]; then
  printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm' \
    'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$sources_list"
  needs_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})) || [[ -n ${needs_update:-} ]]; then
  ((${#missing[@]})) && echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  if ((${#missing[@]})); then
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

bash scripts/mingw-zopfli.sh

# Japanese locale, so tests can run programs with the ANSI code page 932.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
echo "setup: packages ready"
