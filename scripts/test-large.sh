#!/bin/bash
# The large-installer test: qpack builds an installer of more than 1.2 GiB
# holding a 3 GiB file of zeros (sparse, so it costs no disk) and a 1.2 GiB
# file of random bytes, verifies it and extracts it, and every extracted
# file must equal its original byte for byte. Peak memory of each qpack run
# is printed. Disk use stays under 10 GB (about 6.5 GB at the peak, the
# extraction's); everything is removed at the end, also on failure.
# Usage: scripts/test-large.sh QPACK WORKDIR
set -euo pipefail

qpack=$(realpath "$1")
mkdir -p "$2"
work=$(realpath "$2")/large
trap 'rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work/pay/data"

printf 'MZ a stub standing in for the real one' >"$work/stub.exe"
printf 'productname = "Large"\r\ndirectory = "Large"\r\n' >"$work/manifest.txt"
truncate -s 3G "$work/pay/data/zeros.bin"
head -c $((1229 * 1024 * 1024)) /dev/urandom >"$work/pay/data/random.bin"
printf 'a small file beside them\n' >"$work/pay/readme.txt"

# Runs qpack, printing its wall time and peak memory.
run() {
    local step=$1
    shift
    /usr/bin/time -f "$step: %e s, peak memory %M KiB" "$qpack" "$@"
}

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
for file in data/zeros.bin data/random.bin readme.txt; do
    if ! cmp "$work/pay/$file" "$work/out/$file"; then
        echo "test-large: FAILED: $file differs"
        exit 1
    fi
done
echo "test-large: passed"
