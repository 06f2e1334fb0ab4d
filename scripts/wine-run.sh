#!/usr/bin/env bash
# Runs a Windows program under Wine in the given prefix (made on first use):
# 32-bit programs in a 64-bit prefix, so WOW64 behaves as on real Windows;
# 64-bit programs (the windows64 build) with Wine's 64-bit loader.
#   wine-run.sh --prefix DIR program.exe [args...]
# The loader follows the program's PE header. For Wine's own programs (reg,
# winepath, cmd...) it follows NIMBRA_WINE_ARCH (i686 or x86_64, set by the
# windows64 test preset); without it, 32-bit where this machine runs 32-bit
# code, else 64-bit.
set -euo pipefail
if [[ "${1:-}" == "--prefix" ]]; then
  export WINEPREFIX="$2"
  shift 2
fi
: "${WINEPREFIX:?wine-run.sh needs --prefix or WINEPREFIX}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

readonly wine64=/usr/lib/wine/wine64

# i686 or x86_64 from the machine field of a PE file's header; nothing for
# anything else.
pe_arch() {
  [[ -f $1 ]] || return 0
  local offset machine
  offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [[ -n $offset ]] || return 0
  [[ "$(od -An -c -j "$offset" -N 4 "$1" 2>/dev/null | tr -d ' ')" == 'PE\0\0' ]] || return 0
  machine=$(od -An -t x2 -j $((offset + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ')
  case $machine in
    014c) echo i686 ;;
    8664) echo x86_64 ;;
  esac
}

arch=$(pe_arch "${1:-}")
if [[ -z $arch ]]; then
  arch=${NIMBRA_WINE_ARCH:-}
  if [[ -z $arch ]]; then
    if "$(dirname "${BASH_SOURCE[0]}")/can-run-32bit.sh" 2>/dev/null; then arch=i686; else arch=x86_64; fi
  fi
fi
case $arch in
  # Debian's wrapper: the 32-bit loader, which starts 64-bit programs too.
  i686) loader=wine ;;
  x86_64) loader=$wine64 ;;
  *) echo "wine-run.sh: unknown NIMBRA_WINE_ARCH '$arch' (i686 or x86_64)" >&2; exit 2 ;;
esac

if [[ ! -f "$WINEPREFIX/.nimbra-ready" ]]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Tests run in parallel: one of them makes the prefix, the others wait.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [[ ! -f "$WINEPREFIX/.nimbra-ready" ]]; then
    # The 64-bit loader alone says it cannot set up the 32-bit half
    # (syswow64) where no 32-bit code runs; the 64-bit half works.
    "$loader" wineboot -i >/dev/null 2>&1 || true
    # A crashing test program must end, not wait in a debugger.
    "$loader" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1 || true
    "$loader" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.nimbra-ready"
  fi
  flock -u 9
fi
exec "$loader" "$@"
