#!/usr/bin/env bash
# Runs a Windows program under Wine in the given prefix (made on first use):
# 32-bit programs in a 64-bit prefix, so WOW64 behaves as on real Windows.
#   wine-run.sh --prefix DIR program.exe [args...]
set -euo pipefail
if [[ "${1:-}" == "--prefix" ]]; then
  export WINEPREFIX="$2"
  shift 2
fi
: "${WINEPREFIX:?wine-run.sh needs --prefix or WINEPREFIX}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [[ ! -f "$WINEPREFIX/.nimbra-ready" ]]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Tests run in parallel: one of them makes the prefix, the others wait.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [[ ! -f "$WINEPREFIX/.nimbra-ready" ]]; then
    wineboot -i >/dev/null 2>&1 || true
    # A crashing test program must end, not wait in a debugger.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1 || true
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.nimbra-ready"
  fi
  flock -u 9
fi
exec wine "$@"
