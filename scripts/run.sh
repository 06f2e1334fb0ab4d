#!/usr/bin/env bash
# The main job: installs what is missing, builds both platforms and shows
# what Nimbra does so far, natively and as 32-bit Windows programs under Wine,
# entirely offline (everything talks to 127.0.0.1 or local pipes):
#   1. Nimbra starts the simulated engine from its data folder, follows its
#      bootstrap to 100 percent in the chosen language and asks for a new
#      identity; its log (debug-mode key set) shows what happened;
#   2. the companion-service stand-in queries a console host over the pipe;
#   3. ProxyRevert switches the proxy settings of a prepared user off.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-packages.sh
NIMBRA_MINGW_DEPS=$(scripts/build-mingw-deps.sh | tail -n 1)
export NIMBRA_MINGW_DEPS

cmake --preset linux >/dev/null && cmake --build --preset linux
cmake --preset windows >/dev/null && cmake --build --preset windows

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
prefix="$demo/wineprefix"
wine_run=("$root/scripts/wine-run.sh" --prefix "$prefix")
export NIMBRA_SIMENGINE_BOOTSTRAP_MS=6000

echo
echo "=== 1. Nimbra with the simulated engine, natively (Russian) ==="
(
  export XDG_DATA_HOME="$demo/native/data" XDG_CONFIG_HOME="$demo/native/config"
  export NIMBRA_REGISTRY_FILE="$demo/native/registry.reg"
  data="$XDG_DATA_HOME/Nimbra"
  mkdir -p "$data"
  cp build/linux/tools/simengine/anon.dll "$data/"
  printf '[Options]\r\nLanguageID=1049\r\n' >"$data/options.ini"
  printf '[HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Nimbra\\DebugMode]\n' >"$NIMBRA_REGISTRY_FILE"
  build/linux/src/app/Nimbra
  echo "--- engine settings file written on first start:"
  cat "$data/anon_settings"
  echo "--- log:"
  cat "$data/Nimbra.log"
)

echo
echo "=== 1. Nimbra.exe with the simulated engine, under Wine (English) ==="
"${wine_run[@]}" reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
data="$prefix/drive_c/users/Public/Documents/Nimbra"
mkdir -p "$data"
cp build/windows/tools/simengine/anon.dll "$data/"
"${wine_run[@]}" build/windows/src/app/Nimbra.exe
echo "--- log:"
cat "$data/Nimbra.exe.log"

echo
echo "=== 2. Companion service and pipe client, natively and under Wine ==="
bash tools/pipeservice/demo.sh build/linux/tools
bash tools/pipeservice/demo.sh build/windows/tools --wine "$prefix"

echo
echo "=== 3. ProxyRevert.exe under Wine on a prepared user ==="
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
"${wine_run[@]}" reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
"${wine_run[@]}" reg add "$settings" /v ProxyServer /d "http=10.0.0.1:3128;https=10.0.0.1:3129" /f >/dev/null
appdata="$prefix/drive_c/users/root/AppData/Roaming"
mkdir -p "$appdata/Opera/Opera/profile" "$appdata/Mozilla/Firefox/Profiles/demo.default"
printf '[Proxy]\r\nUse HTTP=1\r\nHTTP server=10.0.0.1:3128\r\n' >"$appdata/Opera/Opera/profile/opera6.ini"
printf 'user_pref("browser.startup.page", 3);\r\nuser_pref("network.proxy.type", 1);\r\nuser_pref("network.proxy.http", "10.0.0.1");\r\nuser_pref("network.proxy.http_port", 3128);\r\n' \
  >"$appdata/Mozilla/Firefox/Profiles/demo.default/prefs.js"
"${wine_run[@]}" build/windows/src/restore/ProxyRevert.exe && echo "ProxyRevert exit code: 0"
echo "--- system proxy:"
"${wine_run[@]}" reg query "$settings" /v ProxyEnable | tr -d '\r' | grep ProxyEnable
"${wine_run[@]}" reg query "$settings" /v ProxyServer | tr -d '\r' | grep ProxyServer
echo "--- opera6.ini:"
tr -d '\r' <"$appdata/Opera/Opera/profile/opera6.ini"
echo "--- prefs.js:"
tr -d '\r' <"$appdata/Mozilla/Firefox/Profiles/demo.default/prefs.js"

WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
