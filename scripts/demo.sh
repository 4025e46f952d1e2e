#!/bin/bash
# The demo: builds the example product's installer with qpack, signs it,
# runs the signed installer under Wine on a virtual display with its
# confirmation answered, and shows what it installed; then runs the
# uninstaller qpack generated for it and shows what is left.
#   demo.sh NATIVE_BUILD WIN32_BUILD OUTPUT_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
native=$(realpath -m "$1")
win32=$(realpath -m "$2")
out=$(realpath -m "$3")
demo=$(realpath "$here/../examples/demo")
prefix=$out/wineprefix
installer=$out/QuorvaneSetup.exe
unsigned=$out/QuorvaneSetup-unsigned.exe

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$out"
# The stub is in front of every installer's package: its size is watched.
echo "== stub: $win32/bin/qunpack.exe, $(stat -c %s "$win32/bin/qunpack.exe") bytes (budget 32768)"
"$native/bin/qpack" build -o "$unsigned" --stub "$win32/bin/qunpack.exe" \
  --manifest "$demo/manifest.txt" --brand "$demo/brand.bmp" --centre "$demo/installingtext.bmp" \
  --icon "$demo/quorvane.ico" --version-info "CompanyName=Quorvane Demo Vendor" \
  --version-info FileVersion=1.0.0 --version-info ProductVersion=1.0 \
  --version-info "LegalCopyright=Copyright 2026 Quorvane Demo Vendor" \
  --uninstall-key Quorvane "$demo/payload"
echo "== its icon and version information, as wrestool (an independent reader) lists them"
wrestool -l "$unsigned" | sed 's/^/  /'
# Signing is the last step. A vendor signs with a code-signing certificate;
# the demo makes a throwaway self-signed one, which osslsigncode trusts only
# when told to (-CAfile), as Windows would not trust it at all.
echo "== signing it with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Quorvane Demo Vendor" \
  -keyout "$out/demo-key.pem" -out "$out/demo-cert.pem" 2>/dev/null
rm -f "$installer"
osslsigncode sign -certs "$out/demo-cert.pem" -key "$out/demo-key.pem" -n Quorvane \
  -in "$unsigned" -out "$installer" >/dev/null
echo "osslsigncode verify: $(osslsigncode verify -CAfile "$out/demo-cert.pem" -in "$installer" |
  tail -1)"
"$native/bin/qpack" verify "$installer"
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

echo "== a file of the user's in the product's folder, then the generated uninstaller"
echo "my own notes" >"$target/my-notes.txt"
"$here/wine-run.sh" --prefix "$prefix" "$win32/bin/demo_driver.exe" \
  --uninstall 'C:\Program Files\Quorvane\uninstall.exe'
# The uninstaller's own file goes at the next restart; wineboot -r is
# Wine's restart.
"$here/wine-run.sh" --prefix "$prefix" wineboot -r >/dev/null 2>&1 || true
echo "== left below C:\\Program Files after the uninstall and a restart"
left=$(cd "$prefix/drive_c/Program Files" && find Quorvane -printf '%p\n' 2>/dev/null | sort)
echo "${left:-nothing: the Quorvane folder is gone}"
echo "== shortcuts and uninstall entry after the uninstall"
"$here/wine-run.sh" --prefix "$prefix" "$win32/bin/demo_driver.exe" --system Quorvane
