#!/bin/bash
# Installs what the build and the tests need on a Debian machine, as root.
# Quiet and quick when everything is there already.
#
# A mirror may be caught mid-sync, and apt then fails in ways that are not
# ours to mend. So:
# - `apt-get update` that cannot fetch every index is a warning: the script
#   goes on with the indexes it has;
# - a passing failure (a time-out, a size or hash mismatch) is tried again,
#   QUNPACK_APT_TRIES times in all, QUNPACK_APT_PAUSE seconds apart;
# - an install that apt cannot solve ("held broken packages": with one
#   suite's index missing, the amd64 and i386 halves of a multi-arch library
#   come from different suites) is tried again with the target release set
#   to the system's own suite, where both halves have the same version;
# - what still cannot be installed ends the script, naming the packages and
#   showing the last lines apt printed.
# QUNPACK_APT_ETC, QUNPACK_OS_RELEASE, QUNPACK_SOURCE_ROOT and
# QUNPACK_I386_BINFMT point the script elsewhere for its test.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
apt_etc=${QUNPACK_APT_ETC:-/etc/apt}
os_release=${QUNPACK_OS_RELEASE:-/etc/os-release}
source_root=${QUNPACK_SOURCE_ROOT:-$here/../build}
i386_binfmt=${QUNPACK_I386_BINFMT:-$here/i386-binfmt.sh}
tries=${QUNPACK_APT_TRIES:-3}
pause=${QUNPACK_APT_PAUSE:-10}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive

packages=(cmake make g++ zlib1g-dev googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386 wine64 xvfb
  libdeflate-dev clang libclang-rt-14-dev x11-apps imagemagick zip unzip dpkg-dev
  osslsigncode openssl icoutils pev time python3)

system_codename() { (. "$os_release" && echo "${VERSION_CODENAME:-}"); }

passing_failure() {
  grep -Eqi 'unexpected size|hash sum mismatch|mirror sync|timed? ?out|temporary failure|could not connect|connection (failed|refused|reset)|unable to connect|undetermined error|[^0-9](500|502|503|504) ' "$log"
}

unsolvable() {
  grep -Eqi 'held broken packages|unable to correct problems|unmet dependencies' "$log"
}

apt_lines() { grep -E '^(E|W|Err):' "$log" | tail -n "$1" | sed 's/^/  /'; }

# apt_tried ARGS...: `apt-get -y -qq ARGS` in the current folder, output in
# $log, tried again after a passing failure.
apt_tried() {
  local try
  for try in $(seq "$tries"); do
    apt-get -y -qq "$@" >"$log" 2>&1 && return 0
    passing_failure && [ "$try" -lt "$tries" ] || return 1
    echo "install-deps: apt-get $1 failed for a passing reason (try $try of $tries); again in ${pause}s"
    apt_lines 2
    sleep "$pause"
  done
  return 1
}

updated=
apt_update() {
  [ -n "$updated" ] && return 0
  updated=1
  apt_tried update && return 0
  echo "install-deps: warning: apt-get update could not fetch every index; going on with the ones it has:"
  apt_lines 4
}

# install_or_exit [-t RELEASE] PACKAGE...
install_or_exit() {
  local codename
  apt_tried install "$@" && return 0
  codename=$(system_codename)
  if unsolvable && [ "$1" != -t ] && [ -n "$codename" ]; then
    echo "install-deps: apt cannot match the packages' versions across the suites (an index missing or mid-sync?); installing from $codename alone"
    apt_tried install -t "$codename" "$@" && return 0
  fi
  local absent
  absent=$(grep -Eo "Unable to locate package [^ ]+|Package '[^']+' has no installation candidate" "$log" |
    sed -E "s/Unable to locate package //; s/Package '([^']+)'.*/\\1/" | sort -u | tr '\n' ' ' || true)
  [ "$1" = -t ] && shift 2
  echo "install-deps: cannot install: ${absent:-$*}" >&2
  [ -n "$absent" ] && echo "install-deps: no suite apt knows has: $absent" >&2
  echo "install-deps: apt-get said:" >&2
  tail -n 12 "$log" | sed 's/^/  /' >&2
  exit 1
}

add_sources_entry() {
  local name=$1 type=$2 suite=$3
  mkdir -p "$apt_etc/sources.list.d"
  cat >"$apt_etc/sources.list.d/$name.sources" <<SRC
Types: $type
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  updated=
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update
  install_or_exit "${missing[@]}"
fi

if ! "$i386_binfmt" --check; then
  # The kernel cannot run 32-bit programs: emulate them. Wine needs qemu 8
  # or later (earlier user-mode qemu ignores MAP_FIXED_NOREPLACE and Wine
  # cannot place its shared user data), which bookworm has in backports.
  if ! dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null | grep -q '^1:1[0-9]\|^1:[89]'; then
    codename=$(system_codename)
    if [ "$codename" = bookworm ] &&
      ! grep -rqs bookworm-backports "$apt_etc/sources.list" "$apt_etc/sources.list.d"; then
      add_sources_entry qunpack-backports deb bookworm-backports
    fi
    apt_update
    release=()
    [ "$codename" = bookworm ] && release=(-t bookworm-backports)
    echo "install-deps: installing qemu-user-static (32-bit programs do not run natively here)"
    install_or_exit "${release[@]}" qemu-user-static
  fi
  "$i386_binfmt"
fi

# Debian's own source of a package, fetched once into build/FOLDER, from the
# suite the system's packages come from (a deb-src entry for it is added
# when apt knows no source): the stub's inflate is built from zlib's (inflate
# only, for size), and qpack.exe's compressor from libdeflate's, so that it
# gives the same bytes as the native qpack with libdeflate-dev.
fetch_debian_source() {
  local package=$1 folder=$source_root/$2 marker=$3 codename
  ls "$folder"/$package-*/$marker >/dev/null 2>&1 && return 0
  if ! apt-cache showsrc "$package" >/dev/null 2>&1; then
    codename=$(system_codename)
    [ -n "$codename" ] || { echo "install-deps: no Debian codename in $os_release" >&2; exit 1; }
    add_sources_entry qunpack-sources deb-src "$codename"
    apt_update
  fi
  echo "install-deps: fetching Debian's $package source into build/$2"
  mkdir -p "$folder"
  (cd "$folder" && apt_tried source "$package") || {
    echo "install-deps: cannot fetch the source of $package; apt-get said:" >&2
    tail -n 12 "$log" | sed 's/^/  /' >&2
    exit 1
  }
}
fetch_debian_source zlib zlib inflate.c
fetch_debian_source libdeflate libdeflate lib/deflate_compress.c
