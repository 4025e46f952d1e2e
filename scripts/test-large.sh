#!/bin/bash
# The large-installer test: qpack builds an installer of more than 1.2 GiB
# holding a 3 GiB file and a file of 920 MiB of random bytes, verifies it
# and extracts it, and every extracted file must equal its original byte for
# byte. The 3 GiB file is 330 MiB of random bytes and then zeros (sparse, so
# they cost no disk): installable files must add up to less than 4 GiB, so
# the installer's size must come from random bytes inside them (a payload of
# 3 GiB and 1.2 GiB is checked to be refused). Peak memory of each qpack run
# is printed. Disk use stays under 10 GB (about 6.5 GB at the peak, the
# extraction's); everything is removed at the end, also on failure.
# With a Win32 build directory the installer is made with the real stub,
# verified by the 32-bit qpack.exe under Wine, and then installed under
# Wine by the end-to-end test program (answering its questions), and the
# files it installed are compared the same way.
# Usage: scripts/test-large.sh QPACK WORKDIR [WIN32_BUILD_DIR]
set -euo pipefail

qpack=$(realpath "$1")
mkdir -p "$2"
work=$(realpath "$2")/large
win32=${3:+$(realpath "$3")}
here=$(cd "$(dirname "$0")" && pwd)
installed=${win32:+$win32/wineprefix/drive_c/Program Files/Large}
trap 'rm -rf "$work" ${installed:+"$installed"}' EXIT
rm -rf "$work"
mkdir -p "$work/pay/data"

if [ -n "$win32" ]; then
    cp "$win32/bin/qunpack.exe" "$work/stub.exe"
else
    printf 'MZ a stub standing in for the real one' >"$work/stub.exe"
fi
printf 'productname = "Large"\r\ndirectory = "Large"\r\n' >"$work/manifest.txt"
head -c $((330 * 1024 * 1024)) /dev/urandom >"$work/pay/data/zeros.bin"
truncate -s 3G "$work/pay/data/zeros.bin"
head -c $((920 * 1024 * 1024)) /dev/urandom >"$work/pay/data/random.bin"
printf 'a small file beside them\n' >"$work/pay/readme.txt"

# Runs qpack, printing its wall time and peak memory.
run() {
    local step=$1
    shift
    /usr/bin/time -f "$step: %e s, peak memory %M KiB" "$qpack" "$@"
}

# 4.2 GiB of installable files: refused before a byte is read.
mkdir -p "$work/over"
truncate -s 3G "$work/over/zeros.bin"
truncate -s 1229M "$work/over/more.bin"
if "$qpack" build -o "$work/over.exe" --stub "$work/stub.exe" --manifest "$work/manifest.txt" \
    "$work/over" 2>"$work/over.err" || ! grep -q "4 GiB or more" "$work/over.err"; then
    echo "test-large: FAILED: a payload of 4.2 GiB was not refused for its size"
    exit 1
fi
cat "$work/over.err"

run build build -o "$work/setup.exe" --stub "$work/stub.exe" --manifest "$work/manifest.txt" \
    "$work/pay"
size=$(stat -c %s "$work/setup.exe")
echo "installer: $size bytes"
if [ "$size" -le $((1229 * 1024 * 1024)) ]; then
    echo "test-large: FAILED: the installer is not over 1.2 GiB"
    exit 1
fi
run verify verify "$work/setup.exe"
run extract extract -o "$work/out" "$work/setup.exe"

# Every file of the payload equal to its copy below folder $1.
compare_with() {
    for file in data/zeros.bin data/random.bin readme.txt; do
        if ! cmp "$work/pay/$file" "$1/$file"; then
            echo "test-large: FAILED: $file differs in $1"
            exit 1
        fi
    done
}
compare_with "$work/out"
rm -rf "$work/out"

if [ -n "$win32" ]; then
    windows_path=$(printf 'Z:%s' "$work/setup.exe" | tr / '\\')
    # The 32-bit qpack.exe reads the installer through views as the stub
    # does: it cannot map 1.3 GB whole in its address space.
    start=$(date +%s)
    if ! "$here/wine-run.sh" --prefix "$win32/wineprefix" "$win32/bin/qpack.exe" verify \
        "$windows_path"; then
        echo "test-large: FAILED: qpack.exe does not verify the installer under Wine"
        exit 1
    fi
    echo "qpack.exe verify under Wine: $(($(date +%s) - start)) s"
    rm -rf "$installed"
    start=$(date +%s)
    QUNPACK_LARGE_INSTALLER=$windows_path "$here/wine-run.sh" --prefix "$win32/wineprefix" \
        "$win32/bin/e2e_tests.exe" --gtest_filter='LargeInstallE2E.*'
    echo "install under Wine: $(($(date +%s) - start)) s"
    compare_with "$installed"
fi
rm "$work/setup.exe"
echo "test-large: passed"
