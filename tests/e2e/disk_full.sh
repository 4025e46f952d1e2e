#!/bin/bash
# Runs the end-to-end tests of a full disk: a small tmpfs is mounted over
# the install folder they use inside the Wine prefix, so that an install
# fills it up, and taken away again afterwards. Mounting needs root; where
# it is refused the tests are skipped (exit 77).
#   disk_full.sh WINE_RUN PREFIX BIN_DIR
set -u
run=$1
prefix=$2
bin=$3

# Wine makes the prefix on first use; the folder must exist before it.
"$run" --prefix "$prefix" "$bin/e2e_tests.exe" --gtest_filter=-* >/dev/null 2>&1
mount_point="$prefix/drive_c/Program Files/E2E Full Disk"
mkdir -p "$mount_point"
if ! mount -t tmpfs -o size=256k qunpack-full "$mount_point" 2>/dev/null; then
  echo "disk_full: cannot mount a tmpfs here (not root?): skipped"
  rmdir "$mount_point" 2>/dev/null
  exit 77
fi
trap 'umount "$mount_point"; rmdir "$mount_point"' EXIT
QUNPACK_FULL_DISK=1 "$run" --prefix "$prefix" "$bin/e2e_tests.exe" --gtest_filter='DiskFullE2E.*'
