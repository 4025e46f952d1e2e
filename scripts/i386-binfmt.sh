#!/bin/bash
# Makes 32-bit x86 Linux programs (32-bit Wine's loader) runnable on this
# machine. Where the kernel runs them natively nothing is done; on virtual
# machines whose kernel cannot run 32-bit code at all, qemu's user-mode
# emulator is registered for them through binfmt_misc.
# Usage: i386-binfmt.sh [--check]   (--check: exit 0 if i386 programs run)
set -u
probe=/usr/lib/wine/wine

runs_i386() { "$probe" --version >/dev/null 2>&1; }

if runs_i386; then
  exit 0
fi
[ "${1:-}" = "--check" ] && exit 1

qemu=$(command -v qemu-i386 || command -v qemu-i386-static || true)
if [ -z "$qemu" ]; then
  echo "i386-binfmt: qemu-i386 is not installed" >&2
  exit 1
fi
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" || exit 1
fi
[ -e "$binfmt/qemu-i386" ] && echo -1 > "$binfmt/qemu-i386"
# ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
echo ":qemu-i386:M::${magic}:${mask}:${qemu}:OCF" > "$binfmt/register" || exit 1
runs_i386
