#!/bin/bash
# Runs the progress window's DPI tests of win_tests.exe with the display at
# 144 and 192 DPI (Wine's LogPixels in the prefix), then sets 96 again.
#   run_at_dpi.sh WINE_RUN PREFIX WIN_TESTS
set -u
wine_run=$1
prefix=$2
tests=$3
set_dpi() {
  "$wine_run" --prefix "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels \
    /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
trap 'set_dpi 96' EXIT
status=0
for dpi in 144 192; do
  echo "== LogPixels $dpi"
  set_dpi "$dpi" || { echo "cannot set LogPixels to $dpi" >&2; exit 1; }
  "$wine_run" --prefix "$prefix" "$tests" \
    --gtest_filter='ProgressWindowTest.DrawsForTheDisplaysDpi:ProgressWindowTest.ADpiChange*' ||
    status=1
done
exit $status
