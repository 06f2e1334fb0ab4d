#!/usr/bin/env bash
# What the Windows installer carries, unpacked without Wine (7-Zip reads
# NSIS installers): the real engine as anon.dll, obfs4proxy.exe beside
# Nimbra.exe as the dependencies built it (the engine starts it from its own
# folder for obfs4 bridges), and the transport's licences.
#   installer-contents.sh SETUP_EXE ENGINE_DLL OBFS4PROXY_EXE WORK_DIR
set -euo pipefail
setup=$1 engine=$2 obfs4proxy=$3 work=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v 7zz >/dev/null || fail "7zz is missing (Debian package 7zip)"

rm -rf "$work"
mkdir -p "$work"
7zz x -y -o"$work/unpacked" "$setup" >"$work/7zz.txt" || { cat "$work/7zz.txt" >&2; fail "7zz could not unpack $setup"; }
root="$work/unpacked"
cmp "$engine" "$root/anon.dll" || fail "anon.dll is not the real engine library"
cmp "$obfs4proxy" "$root/obfs4proxy.exe" || fail "obfs4proxy.exe is not the one the dependencies built"
licenses="$(dirname "$obfs4proxy")/../share/licenses/obfs4proxy"
cmp "$licenses/LICENSE" "$root/Licenses/obfs4proxy/LICENSE.txt" || fail "obfs4proxy's licence is not the one the dependencies built"
for file in LICENSE-GPL3.txt LICENSE-libraries.txt; do
  cmp "$licenses/$file" "$root/Licenses/obfs4proxy/$file" || fail "$file is not the one the dependencies built"
done
grep -q 'GNU GENERAL PUBLIC LICENSE' "$root/Licenses/obfs4proxy/LICENSE-GPL3.txt" ||
  fail "LICENSE-GPL3.txt is not the GPL"
# Beside Nimbra.exe, not in a folder of its own.
[[ -f $root/Nimbra.exe ]] || fail "no Nimbra.exe beside obfs4proxy.exe"
echo "PASS: anon.dll and obfs4proxy.exe beside Nimbra.exe, the transport's licences in Licenses\\obfs4proxy"
