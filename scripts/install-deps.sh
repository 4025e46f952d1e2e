#!/bin/bash
# Installs what the build and the tests need on a Debian machine, as root.
# Quiet and quick when everything is there already.
set -eu

packages=(cmake make g++ zlib1g-dev googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386 wine64 xvfb
  libdeflate-dev clang libclang-rt-14-dev x11-apps imagemagick zip unzip
  osslsigncode openssl icoutils pev)

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
