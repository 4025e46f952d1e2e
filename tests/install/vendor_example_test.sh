#!/bin/bash
# qunpack installed as a vendor installs it, and the example vendor project
# (examples/vendor) built against it:
#   - cmake --install with DESTDIR puts the layout in place, and the layout
#     works after being moved elsewhere (nothing in it names a build tree);
#   - the example, cross-built with find_package(qunpack) through
#     CMAKE_PREFIX_PATH, makes an installer that qpack verify passes and
#     that installs the example program under Wine (and its generated
#     uninstaller removes it);
#   - a second build with nothing changed does not run qpack again; a
#     touched payload file, a changed source file and a touched manifest do.
#   vendor_example_test.sh SOURCE NATIVE_BUILD WIN32_BUILD WINE_RUN SCRATCH
. "$(dirname "$0")/common.sh"

echo "== cmake --install with DESTDIR, as make install does, then the prefix moved"
DESTDIR="$scratch/stage" cmake --install "$native" --prefix /opt/qunpack --strip >"$scratch/install.log"
mv "$scratch/stage/opt/qunpack" "$scratch/prefix"
prefix=$scratch/prefix
for file in bin/qpack share/qunpack/qunpack.exe share/qunpack/qunpack-uninstall.exe \
  share/man/man1/qpack.1 lib/cmake/qunpack/qunpackConfig.cmake \
  lib/cmake/qunpack/qunpackConfigVersion.cmake lib/cmake/qunpack/qunpackTargets.cmake \
  lib/cmake/qunpack/qunpackAddInstaller.cmake; do
  [ -f "$prefix/$file" ] || fail "cmake --install put no $file"
done
if grep -rlF -e "$native" -e "$win32" -e "$source" -e /opt/qunpack "$prefix"; then
  fail "installed files name a build tree or the install prefix"
fi
grep -q '^\.TH QPACK 1' "$prefix/share/man/man1/qpack.1" || fail "qpack.1 is no man page"
grep -q 'qpack build -o OUTPUT' "$prefix/share/man/man1/qpack.1" || fail "qpack.1 lacks the usage"
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$prefix/share/man/man1/qpack.1" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about qpack.1: $warnings"
fi
version=$("$prefix/bin/qpack" --version)
echo "$version"
# The programs carry the release's major and minor version.
release=$(echo "$version" | head -1 | cut -d' ' -f2)
for program in qunpack.exe qunpack-uninstall.exe; do
  echo "$version" | grep -qxF "$program ${release%.*}: $prefix/share/qunpack/$program" ||
    fail "qpack --version does not name the moved prefix's $program"
done

echo "== the example vendor project, cross-built against the moved prefix"
# A copy of the example (and the demo's art it uses), so that the test may
# change its sources.
mkdir -p "$scratch/examples"
cp -r "$source/examples/vendor" "$source/examples/demo" "$scratch/examples/"
example=$scratch/examples/vendor
build=$scratch/vendor-build
cmake -S "$example" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$example/mingw-w64-i686.cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=MinSizeRel >"$scratch/configure.log" ||
  { cat "$scratch/configure.log"; fail "the example does not configure"; }
grep -q "^qunpack_DIR:PATH=$prefix/lib/cmake/qunpack\$" "$build/CMakeCache.txt" ||
  fail "find_package(qunpack) did not take the moved prefix"

installer=$build/HelloSetup.exe
# Builds the example; says whether qpack ran (its "built" line in the log).
build_example() {
  cmake --build "$build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; fail "build failed"; }
  if grep -q "^built $installer" "$scratch/build.log"; then echo packed; else echo kept; fi
}
[ "$(build_example)" = packed ] || fail "the first build made no installer"
"$prefix/bin/qpack" verify "$installer" || fail "qpack verify refuses the example's installer"
listing=$("$prefix/bin/qpack" list "$installer")
for entry in '\hello.exe' '\docs\readme.txt' '\uninstall.exe' '\#Manifest' '\#brand.bmp'; do
  echo "$listing" | grep -qF "$entry " || fail "the installer holds no $entry: $listing"
done

before=$(stat -c %y "$installer")
[ "$(build_example)" = kept ] || fail "a build with nothing changed ran qpack again"
[ "$(stat -c %y "$installer")" = "$before" ] || fail "the installer was rewritten"

touch "$build/payload/docs/readme.txt"
[ "$(build_example)" = packed ] || fail "a touched payload file did not pack again"
printf 'Read me again.\r\n' >>"$example/files/readme.txt"
[ "$(build_example)" = packed ] || fail "a changed file of the vendor's did not reach the installer"
"$prefix/bin/qpack" extract -o "$scratch/extracted" "$installer" >/dev/null
cmp "$example/files/readme.txt" "$scratch/extracted/docs/readme.txt" ||
  fail "the installer holds an old readme"
touch "$example/manifest.txt"
[ "$(build_example)" = packed ] || fail "a touched manifest did not pack again"
[ "$(build_example)" = kept ] || fail "qpack ran again after the manifest's build"

echo "== the example's installer under Wine"
wineprefix=$win32/wineprefix
target="$wineprefix/drive_c/Program Files/Example Vendor/Hello"
rm -rf "$target"
"$wine_run" --prefix "$wineprefix" "$win32/bin/demo_driver.exe" \
  "$(windows_path "$installer")" "$(windows_path "$scratch/screen.bmp")" ||
  fail "the installer did not run to its end"
cmp "$build/payload/hello.exe" "$target/hello.exe" || fail "hello.exe is not installed as built"
cmp "$example/files/readme.txt" "$target/docs/readme.txt" || fail "readme.txt is not installed"
[ -f "$target/uninstall.exe" ] || fail "no uninstaller installed"
"$wine_run" --prefix "$wineprefix" "$win32/bin/demo_driver.exe" \
  --uninstall 'C:\Program Files\Example Vendor\Hello\uninstall.exe' ||
  fail "the uninstaller did not run to its end"
[ ! -e "$target/hello.exe" ] || fail "the uninstaller left hello.exe"
rm -rf "$wineprefix/drive_c/Program Files/Example Vendor"
rm -rf "$scratch"
echo "vendor example: passed"
