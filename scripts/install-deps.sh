#!/bin/bash
# Installs what the build and the tests need on a Debian machine, as root.
# Quiet and quick when everything is there already.
set -eu

packages=(cmake make g++ zlib1g-dev googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386 wine64 xvfb
  libdeflate-dev clang libclang-rt-14-dev x11-apps imagemagick zip unzip dpkg-dev
  osslsigncode openssl icoutils pev time python3)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

updated=
apt_update() {
  [ -n "$updated" ] && return 0
  apt-get update -qq
  updated=1
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    "${missing[@]}" >/tmp/qunpack-apt.log 2>&1 || { tail -20 /tmp/qunpack-apt.log; exit 1; }
fi

here=$(dirname "$0")
if ! "$here/i386-binfmt.sh" --check; then
  # The kernel cannot run 32-bit programs: emulate them. Wine needs qemu 8
  # or later (earlier user-mode qemu ignores MAP_FIXED_NOREPLACE and Wine
  # cannot place its shared user data), which bookworm has in backports.
  if ! dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null | grep -q '^1:1[0-9]\|^1:[89]'; then
    . /etc/os-release
    if [ "${VERSION_CODENAME:-}" = bookworm ] && ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d; then
      cat > /etc/apt/sources.list.d/qunpack-backports.sources <<SRC
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
      updated=
    fi
    apt_update
    release=()
    [ "${VERSION_CODENAME:-}" = bookworm ] && release=(-t bookworm-backports)
    echo "install-deps: installing qemu-user-static (32-bit programs do not run natively here)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${release[@]}" qemu-user-static \
      >/tmp/qunpack-apt.log 2>&1 || { tail -20 /tmp/qunpack-apt.log; exit 1; }
  fi
  "$here/i386-binfmt.sh"
fi

# Debian's own source of a package, fetched once into build/FOLDER, from the
# suite the system's packages come from (a deb-src entry for it is added
# when apt knows no source): the stub's inflate is built from zlib's (inflate
# only, for size), and qpack.exe's compressor from libdeflate's, so that it
# gives the same bytes as the native qpack with libdeflate-dev.
fetch_debian_source() {
  local package=$1 folder=$here/../build/$2 marker=$3
  ls "$folder"/$package-*/$marker >/dev/null 2>&1 && return 0
  if ! apt-cache showsrc "$package" >/dev/null 2>&1; then
    . /etc/os-release
    cat > /etc/apt/sources.list.d/qunpack-sources.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${VERSION_CODENAME:?install-deps: no Debian codename in /etc/os-release}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    updated=
    apt_update
  fi
  echo "install-deps: fetching Debian's $package source into build/$2"
  mkdir -p "$folder"
  (cd "$folder" && apt-get source -qq "$package" >/tmp/qunpack-apt.log 2>&1) ||
    { tail -20 /tmp/qunpack-apt.log; exit 1; }
}
fetch_debian_source zlib zlib inflate.c
fetch_debian_source libdeflate libdeflate lib/deflate_compress.c
