#!/usr/bin/env bash
# Exits 0 when this machine can run 32-bit x86 programs (and so Wine can run
# the 32-bit Windows programs), 1 when the kernel refuses them: some hosts
# switch IA-32 emulation off, and then every i386 program fails with "Exec
# format error". Prints why on standard error.
loader=/lib/ld-linux.so.2
if [[ ! -e $loader ]]; then
  echo "no 32-bit loader ($loader): the i386 packages are not installed" >&2
  exit 1
fi
if ! out=$("$loader" --version 2>&1); then
  echo "32-bit programs cannot run here: ${out##*: }" >&2
  exit 1
fi
exit 0
