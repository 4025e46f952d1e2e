#!/bin/bash
# Takes a picture of the progress window as the demo product's install shows
# it halfway: the Win32 tests built in BUILD_DIR show the window on the
# virtual display, save its client area from the window's own device context
# as a BMP, and ImageMagick turns that into OUTPUT_DIR/progress-window.png.
#   screenshot.sh BUILD_DIR OUTPUT_DIR
set -eu
if [ $# -ne 2 ]; then
  echo "usage: screenshot.sh BUILD_DIR OUTPUT_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath -m "$1")
out=$(realpath -m "$2")
command -v convert >/dev/null || { echo "screenshot: ImageMagick's convert is missing" >&2; exit 1; }

# Wine's drive Z: is the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$out"
rm -f "$out/progress-window.bmp" "$out/progress-window.png"
QUNPACK_SCREENSHOT=$(windows_path "$out/progress-window.bmp") \
QUNPACK_DEMO=$(windows_path "$(realpath "$here/../examples/demo")") \
  "$here/wine-run.sh" --prefix "$build/wineprefix" "$build/bin/win_tests.exe" \
  --gtest_filter='ProgressWindowTest.SavesAScreenshotWhenAsked' >"$out/screenshot.log" 2>&1 || {
  cat "$out/screenshot.log" >&2
  exit 1
}
convert "$out/progress-window.bmp" "$out/progress-window.png"
rm -f "$out/progress-window.bmp"
echo "$out/progress-window.png"
