#!/bin/bash
# The Debian package and the Windows zip, made as `make deb` and
# `make dist-windows` make them, inspected without installing anything into
# the system: the package's files, its declared dependencies, and qpack
# from each (the .deb unpacked with dpkg -x, the zip under Wine) building an
# installer with the programs it came with, no --stub given.
#   packages_test.sh SOURCE NATIVE_BUILD WIN32_BUILD WINE_RUN SCRATCH
. "$(dirname "$0")/common.sh"
mkdir -p "$scratch/work/payload"
printf 'productname = "Packaged"\r\ndirectory = "Packaged"\r\nuninstaller = "uninstall.exe"\r\n' \
  >"$scratch/work/manifest.txt"
echo "a file" >"$scratch/work/payload/a.txt"

echo "== the Debian package"
cpack --config "$native/CPackConfig.cmake" -G DEB -B "$scratch/dist" >"$scratch/cpack.log" ||
  { cat "$scratch/cpack.log"; fail "cpack DEB failed"; }
release=$("$native/bin/qpack" --version | head -1 | cut -d' ' -f2)
deb=$scratch/dist/qunpack_${release}_amd64.deb
[ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$scratch/dist")"
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in ./usr/bin/qpack ./usr/share/qunpack/qunpack.exe ./usr/share/qunpack/qunpack-uninstall.exe \
  ./usr/share/man/man1/qpack.1 ./usr/lib/cmake/qunpack/qunpackConfig.cmake \
  ./usr/lib/cmake/qunpack/qunpackTargets.cmake; do
  echo "$contents" | grep -qxF "$file" || fail "the package lacks $file"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# qpack links libdeflate and the runtimes as shared libraries; zlib is
# linked into it (the build's static zlib), so the package needs none.
for library in libdeflate0 libc6 libstdc++6; do
  echo "$depends" | tr ',' '\n' | awk '{print $1}' | grep -qxF "$library" ||
    fail "the package does not depend on $library"
done
dpkg-deb -x "$deb" "$scratch/root"
(cd "$scratch/work" && "$scratch/root/usr/bin/qpack" build -o setup.exe --manifest manifest.txt \
  payload) >"$scratch/build.out" || fail "the packaged qpack does not build"
grep -qxF "stub: $scratch/root/usr/share/qunpack/qunpack.exe (installed with qpack)" \
  "$scratch/build.out" || fail "the packaged qpack took another stub: $(cat "$scratch/build.out")"
"$scratch/root/usr/bin/qpack" verify "$scratch/work/setup.exe" >/dev/null ||
  fail "the packaged qpack's installer does not verify"
"$scratch/root/usr/bin/qpack" list "$scratch/work/setup.exe" | grep -q ' uninstaller$' ||
  fail "no uninstaller generated from the packaged uninstaller stub"

echo "== the Windows zip"
cpack --config "$win32/CPackConfig.cmake" -G ZIP -B "$scratch/dist" >"$scratch/cpack.log" ||
  { cat "$scratch/cpack.log"; fail "cpack ZIP failed"; }
zip=$scratch/dist/qunpack-${release}-win32.zip
[ -f "$zip" ] || fail "no $(basename "$zip"): $(ls "$scratch/dist")"
mkdir -p "$scratch/unzipped" && (cd "$scratch/unzipped" && cmake -E tar xf "$zip")
folder=$scratch/unzipped/qunpack-${release}-win32
for file in qpack.exe qunpack.exe qunpack-uninstall.exe README.md; do
  [ -f "$folder/$file" ] || fail "the zip lacks $file"
done
cmp "$folder/qunpack.exe" "$win32/bin/qunpack.exe" || fail "the zip's stub is not the built one"
(cd "$scratch/work" && "$wine_run" --prefix "$win32/wineprefix" "$folder/qpack.exe" build \
  -o setup-windows.exe --manifest manifest.txt payload) >"$scratch/build.out" ||
  fail "qpack.exe from the zip does not build"
tr -d '\r' <"$scratch/build.out" | grep -qxF "stub: $(windows_path "$folder/qunpack.exe") (installed with qpack)" ||
  fail "qpack.exe took another stub: $(cat "$scratch/build.out")"
cmp "$scratch/work/setup.exe" "$scratch/work/setup-windows.exe" ||
  fail "qpack.exe from the zip and the packaged qpack build different installers"
rm -rf "$scratch"
echo "packages: passed"
