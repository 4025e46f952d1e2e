#!/bin/bash
# qpack with many small files: build, verify, list and extract times for
# installers of COUNTS files of 1 KiB (distinct bytes, 1,000 a folder),
# ROUNDS rounds each, medians reported side by side with their growth from
# the first count to each next (linear growth: the ratio of the counts).
# Usage: scripts/bench-many-files.sh QPACK WORKDIR [ROUNDS] [COUNTS...]
set -euo pipefail

qpack=$(realpath "$1")
work=$2
rounds=${3:-3}
shift 3 || shift $#
counts=("$@")
[ $# -eq 0 ] && counts=(10000 100000)

mkdir -p "$work"
work=$(realpath "$work")
printf 'MZ a stub standing in for the real one' >"$work/stub.exe"
printf 'productname = "Many"\r\ndirectory = "Many"\r\n' >"$work/manifest.txt"

# Files of 1 KiB, each different, 1,000 a folder.
make_payload() {
    python3 - "$1" "$2" <<'EOF'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(count)
for i in range(count):
    folder = os.path.join(root, "d%03d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(folder, exist_ok=True)
    line = ("file %d " % i).encode()
    body = bytes(random.choice(b"abcdefgh ") for _ in range(1024 - len(line)))
    with open(os.path.join(folder, "f%05d.txt" % i), "wb") as f:
        f.write(line + body)
EOF
}

seconds() { date +%s.%N; }

# The median of the numbers on stdin.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs the command, quiet, and prints its wall time in seconds.
timed() {
    local start end
    start=$(seconds)
    "$@" >/dev/null
    end=$(seconds)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

declare -A result
echo "load before: $(cat /proc/loadavg)"
for count in "${counts[@]}"; do
    dir="$work/n$count"
    if [ ! -d "$dir/pay" ]; then
        make_payload "$dir/pay" "$count"
    fi
    for step in build verify list extract; do : >"$dir/$step.times"; done
    for ((r = 0; r < rounds; r++)); do
        rm -rf "$dir/out" "$dir/setup.exe"
        timed "$qpack" build -o "$dir/setup.exe" --stub "$work/stub.exe" \
            --manifest "$work/manifest.txt" "$dir/pay" >>"$dir/build.times"
        timed "$qpack" verify "$dir/setup.exe" >>"$dir/verify.times"
        timed "$qpack" list "$dir/setup.exe" >>"$dir/list.times"
        timed "$qpack" extract -o "$dir/out" "$dir/setup.exe" >>"$dir/extract.times"
    done
    for step in build verify list extract; do
        result[$count.$step]=$(median <"$dir/$step.times")
    done
    rm -rf "$dir/out"
done
echo "load after: $(cat /proc/loadavg)"

first=${counts[0]}
printf '%-8s' files
for step in build verify list extract; do printf ' %12s' "$step s"; done
printf '\n'
for count in "${counts[@]}"; do
    printf '%-8s' "$count"
    for step in build verify list extract; do printf ' %12.3f' "${result[$count.$step]}"; done
    printf '\n'
done
for count in "${counts[@]:1}"; do
    printf '%-8s' "x$((count / first))"
    for step in build verify list extract; do
        printf ' %11.2fx' "$(awk -v a="${result[$count.$step]}" -v b="${result[$first.$step]}" 'BEGIN { print a / b }')"
    done
    printf '   (growth from %s files; linear: %sx)\n' "$first" "$((count / first))"
done
