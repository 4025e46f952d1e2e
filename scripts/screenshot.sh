#!/bin/bash
# Takes a picture of the progress window as the demo product's install shows
# it halfway: the Win32 tests built in BUILD_DIR show the window on the
# virtual display, save its client area from the window's own device context
# as a BMP, and ImageMagick turns that into OUTPUT_DIR/progress-window.png.
# With a DPI other than 96 the display has that DPI for the picture (Wine's
# LogPixels in the prefix, set back to 96 afterwards) and the file is
# progress-window-DPI.png.
#   screenshot.sh BUILD_DIR OUTPUT_DIR [DPI]
set -eu
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: screenshot.sh BUILD_DIR OUTPUT_DIR [DPI]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath -m "$1")
out=$(realpath -m "$2")
dpi=${3:-96}
case "$dpi" in
  ''|*[!0-9]*) echo "screenshot: DPI must be a number" >&2; exit 2 ;;
esac
name=progress-window
[ "$dpi" = 96 ] || name=progress-window-$dpi
command -v convert >/dev/null || { echo "screenshot: ImageMagick's convert is missing" >&2; exit 1; }

# Wine's drive Z: is the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

set_dpi() {
  "$here/wine-run.sh" --prefix "$build/wineprefix" reg add 'HKCU\Control Panel\Desktop' \
    /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
if [ "$dpi" != 96 ]; then
  trap 'set_dpi 96' EXIT
  set_dpi "$dpi"
fi

mkdir -p "$out"
rm -f "$out/$name.bmp" "$out/$name.png"
QUNPACK_SCREENSHOT=$(windows_path "$out/$name.bmp") \
QUNPACK_DEMO=$(windows_path "$(realpath "$here/../examples/demo")") \
  "$here/wine-run.sh" --prefix "$build/wineprefix" "$build/bin/win_tests.exe" \
  --gtest_filter='ProgressWindowTest.SavesAScreenshotWhenAsked' >"$out/screenshot.log" 2>&1 || {
  cat "$out/screenshot.log" >&2
  exit 1
}
convert "$out/$name.bmp" "$out/$name.png"
rm -f "$out/$name.bmp"
echo "$out/$name.png"
