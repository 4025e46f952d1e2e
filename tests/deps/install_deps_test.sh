#!/bin/bash
# Runs scripts/install-deps.sh against stand-ins for apt-get, apt-cache, dpkg
# and dpkg-query that play a mirror caught mid-sync, a flaky network and a
# package no suite has. Nothing of the real system is read or written: what
# the script would put under /etc/apt goes to a scratch folder.
#   install_deps_test.sh SCRIPT
set -u
script=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0 passed=0

mkdir -p "$scratch/bin"
cat >"$scratch/bin/apt-get" <<'STANDIN'
#!/bin/bash
echo "apt-get $*" >>"$FAKE/calls"
release= cmd= pkgs=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) release=$2; shift 2 ;;
    -*) shift ;;
    *) if [ -z "$cmd" ]; then cmd=$1; else pkgs+=("$1"); fi; shift ;;
  esac
done
n=$(($(cat "$FAKE/count.$cmd" 2>/dev/null || echo 0) + 1))
echo "$n" >"$FAKE/count.$cmd"
has() { case " $MODES " in *" $1 "*) return 0 ;; esac; return 1; }
timeout() {
  echo "Err:1 http://deb.debian.org/debian bookworm/main $1"
  echo "  Connection timed out [IP: 203.0.113.80 80]"
  echo "E: Failed to fetch http://deb.debian.org/debian/pool/main/$1  Connection timed out [IP: 203.0.113.80 80]"
  exit 100
}
case $cmd in
  update)
    if has update-mirror; then
      echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    if has update-flaky && [ "$n" = 1 ]; then
      echo "E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/binary-amd64/Packages.xz  Hash Sum mismatch"
      exit 100
    fi ;;
  install)
    for p in "${pkgs[@]}"; do
      case " $UNAVAILABLE " in *" $p "*) echo "E: Unable to locate package $p"; exit 100 ;; esac
    done
    has install-flaky && [ "$n" = 1 ] && timeout wine_8.0.deb
    has install-down && timeout wine_8.0.deb
    if has multiarch-skew && [ "$release" != bookworm ]; then
      echo "The following packages have unmet dependencies:"
      echo " libssl3:i386 : Breaks: libssl3 (!= 3.0.20-1~deb12u1) but 3.0.22-1~deb12u1 is to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
    for p in "${pkgs[@]}"; do sed -i "/^$p\$/d" "$FAKE/missing"; done ;;
  source)
    has source-flaky && [ "$n" = 1 ] && timeout "${pkgs[0]}.dsc"
    case ${pkgs[0]} in
      zlib) mkdir -p zlib-1.2.13 && touch zlib-1.2.13/inflate.c ;;
      libdeflate) mkdir -p libdeflate-1.14/lib && touch libdeflate-1.14/lib/deflate_compress.c ;;
    esac ;;
esac
exit 0
STANDIN
cat >"$scratch/bin/apt-cache" <<'STANDIN'
#!/bin/bash
# Knows sources once the script has written its deb-src entry.
[ "$1" = showsrc ] && [ -f "$QUNPACK_APT_ETC/sources.list.d/qunpack-sources.sources" ]
STANDIN
cat >"$scratch/bin/dpkg" <<'STANDIN'
#!/bin/bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE/arches" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE/arches" ;;
esac
STANDIN
cat >"$scratch/bin/dpkg-query" <<'STANDIN'
#!/bin/bash
p=${*: -1}
grep -qx "$p" "$FAKE/missing" || echo "install ok installed"
STANDIN
chmod +x "$scratch/bin"/*
printf 'ID=debian\nVERSION_CODENAME=bookworm\n' >"$scratch/os-release"

# run_case NAME MISSING MODES UNAVAILABLE EXIT: runs the script on a fresh
# state; its output and the stand-ins' calls are left in $out and $calls.
run_case() {
  name=$1
  FAKE=$scratch/$name
  mkdir -p "$FAKE/etc" "$FAKE/build"
  tr ' ' '\n' <<<"$2" | sed '/^$/d' >"$FAKE/missing"
  : >"$FAKE/calls"
  out=$(cd "$FAKE" && PATH="$scratch/bin:$PATH" FAKE=$FAKE MODES=$3 UNAVAILABLE=$4 \
    QUNPACK_APT_ETC=$FAKE/etc QUNPACK_OS_RELEASE=$scratch/os-release \
    QUNPACK_SOURCE_ROOT=$FAKE/build QUNPACK_I386_BINFMT=true QUNPACK_APT_PAUSE=0 \
    bash "$script" 2>&1)
  status=$?
  calls=$(cat "$FAKE/calls")
  if [ "$5" = nonzero ]; then
    expect "exit status $status" "$([ "$status" != 0 ] && echo ok)"
  else
    expect "exit status $status" "$([ "$status" = "$5" ] && echo ok)"
  fi
}

expect() {
  if [ "$2" = ok ]; then return; fi
  echo "FAILED: $name: $1"
  echo "$out" | sed 's/^/    /'
  failures=$((failures + 1))
}
has_line() { grep -qF -- "$2" <<<"$1" && echo ok; }
count() { grep -cF -- "$2" <<<"$1"; }
check_done() { # everything installed and both sources fetched
  expect "packages left missing: $(cat "$FAKE/missing")" "$([ ! -s "$FAKE/missing" ] && echo ok)"
  expect "sources not fetched" "$(ls "$FAKE"/build/zlib/zlib-*/inflate.c "$FAKE"/build/libdeflate/libdeflate-*/lib/deflate_compress.c >/dev/null 2>&1 && echo ok)"
  expect "no deb-src entry in the scratch folder" "$(has_line "$(cat "$FAKE/etc/sources.list.d/qunpack-sources.sources" 2>/dev/null)" "Types: deb-src")"
}
finish() { [ "$failures" = "$1" ] && passed=$((passed + 1)); }

# The security suite's i386 index mid-sync: update fails, the install is
# unsolvable until the target release is the system's own suite.
run_case mirror "wine wine32:i386 xvfb" "update-mirror multiarch-skew" "" 0
expect "no warning about the index" "$(has_line "$out" "warning: apt-get update could not fetch every index")"
expect "the failed index not named" "$(has_line "$out" "binary-i386/Packages.xz")"
expect "no install from the system's suite" "$(has_line "$calls" "install -t bookworm wine wine32:i386 xvfb")"
# Three tries for the first update and three for the one after the deb-src
# entry is added.
expect "update not tried 3 + 3 times" "$([ "$(count "$calls" "apt-get -y -qq update")" = 6 ] && echo ok)"
check_done
finish 0

# The first call of each command fails for a passing reason: each is tried
# again (update once more for the deb-src entry).
f=$failures
run_case flaky "wine pev" "update-flaky install-flaky source-flaky" "" 0
for step_calls in "update 3" "install 2" "source zlib 2" "source libdeflate 1"; do
  step=${step_calls% *}
  expect "$step not called ${step_calls##* } times" \
    "$([ "$(count "$calls" "apt-get -y -qq $step")" = "${step_calls##* }" ] && echo ok)"
done
expect "no word of the retry" "$(has_line "$out" "failed for a passing reason")"
expect "the release changed for a time-out" "$([ "$(count "$calls" " -t ")" = 0 ] && echo ok)"
check_done
finish "$f"

# A package that no suite has ends the script, named, with apt's words.
f=$failures
run_case absent "wine pev" "" "pev" nonzero
expect "the package not named" "$(has_line "$out" "no suite apt knows has: pev")"
expect "apt's words not shown" "$(has_line "$out" "E: Unable to locate package pev")"
finish "$f"

# The network stays down: the install gives up after its tries, and says so.
f=$failures
run_case down "wine" "install-down" "" nonzero
expect "install not tried 3 times" "$([ "$(count "$calls" "apt-get -y -qq install")" = 3 ] && echo ok)"
expect "the package not named" "$(has_line "$out" "cannot install: wine")"
expect "apt's words not shown" "$(has_line "$out" "Connection timed out")"
finish "$f"

# Everything there: no apt call at all.
f=$failures
mkdir -p "$scratch/quiet/build/zlib/zlib-1/" "$scratch/quiet/build/libdeflate/libdeflate-1/lib"
touch "$scratch/quiet/build/zlib/zlib-1/inflate.c" "$scratch/quiet/build/libdeflate/libdeflate-1/lib/deflate_compress.c"
run_case quiet "" "" "" 0
expect "apt called: $calls" "$([ -z "$calls" ] && echo ok)"
finish "$f"

echo "install_deps: $passed passed, $failures failed"
[ "$failures" = 0 ]
