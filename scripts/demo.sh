#!/bin/bash
# The demo: builds the example product's installer with qpack, runs it under
# Wine on a virtual display with its confirmation answered, and shows what
# it installed.   demo.sh NATIVE_BUILD WIN32_BUILD OUTPUT_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
native=$(realpath -m "$1")
win32=$(realpath -m "$2")
out=$(realpath -m "$3")
demo=$(realpath "$here/../examples/demo")
prefix=$out/wineprefix
installer=$out/QuorvaneSetup.exe

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$out"
# The stub is in front of every installer's package: its size is watched.
echo "== stub: $win32/bin/qunpack.exe, $(stat -c %s "$win32/bin/qunpack.exe") bytes (limit 33792, goal 32768)"
"$native/bin/qpack" build -o "$installer" --stub "$win32/bin/qunpack.exe" \
  --manifest "$demo/manifest.txt" --brand "$demo/brand.bmp" --centre "$demo/installingtext.bmp" \
  "$demo/payload"
echo "== installer: $installer"
"$native/bin/qpack" list "$installer"

# A fresh prefix each time, so that the listing shows what this run installed.
rm -rf "$prefix" "$prefix.lock"
rm -f "$out/screenshot.bmp" "$out/screenshot.png"
echo "== running it under Wine (a new prefix takes about a minute)"
"$here/wine-run.sh" --prefix "$prefix" "$win32/bin/demo_driver.exe" \
  "$(windows_path "$installer")" "$(windows_path "$out/screenshot.bmp")"

target="$prefix/drive_c/Program Files/Quorvane"
echo "== installed below C:\\Program Files\\Quorvane"
(cd "$target" && find . -type f -printf '%10s  %P\n' | sort -k2)
echo "== shortcuts and uninstall entry"
"$here/wine-run.sh" --prefix "$prefix" "$win32/bin/demo_driver.exe" --system Quorvane
if [ -f "$out/screenshot.bmp" ] && command -v convert >/dev/null; then
  convert "$out/screenshot.bmp" "$out/screenshot.png" && rm -f "$out/screenshot.bmp"
  echo "== screenshot taken during the install: $out/screenshot.png"
fi
