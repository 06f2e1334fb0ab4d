#!/usr/bin/env bash
# The main job: installs what is missing, builds both platforms and runs
# Nimbra natively and as a 32-bit Windows program under Wine, with the
# debug-mode key set so that the log shows what happened.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
NIMBRA_MINGW_DEPS=$(scripts/build-mingw-deps.sh | tail -n 1)
export NIMBRA_MINGW_DEPS

cmake --preset linux >/dev/null && cmake --build --preset linux
cmake --preset windows >/dev/null && cmake --build --preset windows

demo="$PWD/build/demo"
mkdir -p "$demo"

echo "== native =="
export XDG_DATA_HOME="$demo/native-data" XDG_CONFIG_HOME="$demo/native-config"
export NIMBRA_REGISTRY_FILE="$demo/native-registry.reg"
mkdir -p "$XDG_DATA_HOME"
build/linux/src/app/Nimbra
printf '[HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Nimbra\\DebugMode]\n' >"$NIMBRA_REGISTRY_FILE"
build/linux/src/app/Nimbra
echo "-- log:"; cat "$XDG_DATA_HOME/Nimbra/Nimbra.log"

echo "== Windows (Wine) =="
wine_run=(scripts/wine-run.sh --prefix "$demo/wineprefix")
"${wine_run[@]}" reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
"${wine_run[@]}" build/windows/src/app/Nimbra.exe
echo "-- log:"; cat "$demo/wineprefix/drive_c/users/Public/Documents/Nimbra/Nimbra.exe.log"
WINEPREFIX="$demo/wineprefix" wineserver -k 2>/dev/null || true
