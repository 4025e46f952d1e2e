#!/bin/bash
# Runs one Win32 program under Wine and passes its exit code through.
#   wine-run.sh --prefix DIR [--keep-server] [--host] PROGRAM [ARGS...]
# - DIR is a private 32-bit Wine prefix, made on first use and reused;
# - without DISPLAY an Xvfb display is started for the run and stopped after;
# - the Wine server is started once for the run and waited for at the end,
#   so no Wine or X process outlives the program;
# - with --host, PROGRAM is a Linux program that starts Win32 programs
#   itself with `wine` (a test driver): it runs in the same prepared prefix
#   and server, so that each of its Wine processes starts quickly.
# The program's output is captured in files and printed afterwards: Wine's
# own service processes inherit the output of whoever starts them, and a
# pipe held open by them would keep a caller waiting for ever.
set -u

prefix=
keep_server=
host=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --keep-server) keep_server=1; shift ;;
    --host) host=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
if [ -z "$prefix" ] || [ $# -lt 1 ]; then
  echo "usage: wine-run.sh --prefix DIR [--keep-server] [--host] PROGRAM [ARGS...]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

"$here/i386-binfmt.sh" || { echo "wine-run: 32-bit programs cannot run here" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [ -z "$keep_server" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb() {
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
      if [ -e "/tmp/.X11-unix/X$n" ]; then
        export DISPLAY=":$n"
        return 0
      fi
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=
  done
  echo "wine-run: cannot start Xvfb" >&2
  return 1
}
[ -n "${DISPLAY:-}" ] || start_xvfb || exit 1

# Settings every test run relies on:
# - without a window manager Wine waits ~2 s whenever a window is hidden or
#   destroyed, unless its windows are unmanaged;
# - a crashing program must exit with its exception code, not wait on a
#   crash dialog.
make_prefix() {
  wineboot -i >/dev/null 2>&1 </dev/null
  cat > "$work/settings.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  wine regedit /S "$work/settings.reg" >/dev/null 2>&1 </dev/null
  wineserver -w
  touch "$prefix/.qunpack-ready"
}

(
  flock 9
  if [ ! -e "$prefix/.qunpack-ready" ]; then
    rm -rf "$prefix"
    make_prefix
  fi
) 9>"$prefix.lock"

# One server for the whole run keeps Wine's services alive between the
# program's own child processes instead of restarting them each time.
wineserver -p60 >/dev/null 2>&1 </dev/null
wine wineboot >/dev/null 2>&1 </dev/null

if [ -n "$host" ]; then
  "$@" >"$work/out" 2>"$work/err" </dev/null
else
  wine "$@" >"$work/out" 2>"$work/err" </dev/null
fi
status=$?
cat "$work/out"
cat "$work/err" >&2
exit $status
