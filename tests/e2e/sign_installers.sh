#!/bin/bash
# Makes the signed installers that the end-to-end tests install: qpack (the
# Win32 build, under Wine) packs a small payload behind the real stub, and
# osslsigncode signs the result with a throwaway certificate, once
# (signed.exe) and twice with a nested signature (nested.exe). Both must
# pass `osslsigncode verify` before any test runs them. The installers carry
# the demo's icon and version information: branding comes before signing.
# A generated uninstaller, taken from an installer that names one, is signed
# too (signed-uninstall.exe), for the tests that add a package to it.
#   sign_installers.sh WINE_RUN PREFIX BIN_DIR OUT_DIR
set -eu
run=$1
prefix=$2
bin=$3
out=$4

icon=$(cd "$(dirname "$0")/../../examples/demo" && pwd)/quorvane.ico

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

rm -rf "$out"
mkdir -p "$out/payload/bin"
printf 'Signed installers install like any other.\r\n' >"$out/payload/readme.txt"
# Incompressible and the same every run.
openssl enc -aes-128-ctr -K 00 -iv 00 -nosalt -in /dev/zero 2>/dev/null |
  head -c 150000 >"$out/payload/bin/tool.dat"
printf 'productname = "Signed Product"\r\ndirectory = "E2E Signed"\r\n' >"$out/manifest.txt"

"$run" --prefix "$prefix" "$bin/qpack.exe" build -o "$(windows_path "$out/unsigned.exe")" \
  --stub "$(windows_path "$bin/qunpack.exe")" --manifest "$(windows_path "$out/manifest.txt")" \
  --icon "$(windows_path "$icon")" --version-info "CompanyName=Signed Vendor" \
  --version-info FileVersion=4.3.2.1 "$(windows_path "$out/payload")"

# An installer with a generated uninstaller, which extract writes out.
printf 'productname = "Signed Removal"\r\ndirectory = "E2E Signed Removal"\r\nuninstaller = "uninstall.exe"\r\n' \
  >"$out/manifest-uninstall.txt"
"$run" --prefix "$prefix" "$bin/qpack.exe" build -o "$(windows_path "$out/with-uninstaller.exe")" \
  --stub "$(windows_path "$bin/qunpack.exe")" \
  --manifest "$(windows_path "$out/manifest-uninstall.txt")" "$(windows_path "$out/payload")"
"$run" --prefix "$prefix" "$bin/qpack.exe" extract -o "$(windows_path "$out/removal")" \
  "$(windows_path "$out/with-uninstaller.exe")"

openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=Signed Product Test Vendor" \
  -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
sign() {
  osslsigncode sign -certs "$out/cert.pem" -key "$out/key.pem" -n "Signed Product" "$@" >/dev/null
}
sign -in "$out/unsigned.exe" -out "$out/signed.exe"
sign -nest -h sha512 -in "$out/signed.exe" -out "$out/nested.exe"
sign -in "$out/removal/uninstall.exe" -out "$out/signed-uninstall.exe"
for installer in signed nested signed-uninstall; do
  osslsigncode verify -CAfile "$out/cert.pem" -in "$out/$installer.exe" | tail -1 |
    grep -qx Succeeded || { echo "osslsigncode verify fails $installer.exe" >&2; exit 1; }
done
echo "signed installers in $out"
