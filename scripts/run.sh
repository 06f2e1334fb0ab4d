#!/usr/bin/env bash
# The main job: installs what is missing, builds both platforms (the
# Windows dependencies and the installer too) and shows Nimbra at work,
# entirely offline (everything talks to 127.0.0.0/8 or local pipes):
#   1. the installer puts Nimbra into a Wine prefix of the demo's own
#      (build/demo/wineprefix), silently; the installed Nimbra.exe starts
#      (under a virtual display when there is none) with the companion-service
#      stand-in and a local address endpoint: as root, with the installed
#      real engine in a private onion network on loopback inside a network
#      namespace; otherwise with the simulated engine. It follows the
#      bootstrap to 100 percent and shows the address; a screenshot of the
#      screen is saved in build/demo/nimbra-screen.png and Nimbra is ended
#      from its tray menu (on your own display you end it there). Where no
#      32-bit code runs, the 64-bit build stands in: Nimbra.exe with
#      NimbraService.exe and the real engine in the private network, the
#      window showing an exit's address, one request through the service's
#      endpoint with the address the server saw, and the user's own proxy
#      back after Nimbra's end (tests/e2e/anonymous-wine.sh);
#   2. natively the same program runs headless and says what its window
#      would show, in the sample language;
#   3. the companion-service stand-in queries a console host over the pipe;
#   4. the installed ProxyRevert switches the proxy settings of a prepared
#      user off.
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

wine_ok=1
if ! scripts/can-run-32bit.sh; then
  wine_ok=0
  echo "NOTE: this machine's kernel runs no 32-bit code, so Wine cannot start the 32-bit"
  echo "Windows programs: the parts under Wine (1, the second half of 3, and 4) are left out."
fi

echo
echo "=== 1. The installed Nimbra.exe under Wine ==="
if ((!wine_ok)); then
  echo "(no 32-bit code on this machine: the same programs built for 64-bit Windows instead)"
  NIMBRA_MINGW64_DEPS=$(scripts/build-mingw-deps.sh --arch x86_64 | tail -n 1)
  export NIMBRA_MINGW64_DEPS
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64 --target Nimbra NimbraService ProxyRevert torengine ipecho
  if [[ $EUID -eq 0 && -f build/windows64/tools/torengine/anon.dll ]]; then
    echo "--- Nimbra.exe, NimbraService.exe and the real engine in a private onion network"
    tests/testnet/run-in-testnet.sh --wineprefix "$demo/wineprefix64" "$demo/testnet" \
      tests/e2e/anonymous-wine.sh --show scripts/wine-run.sh "$demo/wineprefix64" \
      build/windows64/src/app build/windows64/src/service/NimbraService.exe \
      build/windows64/tools "$demo/anonymous"
  else
    echo "NOTE: the private onion network needs root and the real engine library."
  fi
elif [[ -f build/windows/tools/torengine/anon.dll ]]; then
  cmake --build --preset windows --target installer
else
  echo "NOTE: the real engine library is not built (see scripts/build-mingw-deps.sh): no installer."
fi
if ((!wine_ok)); then
  :
elif [[ $EUID -eq 0 && -f build/windows/tools/torengine/anon.dll ]]; then
  # The private onion network, and Nimbra's prefix, in a network namespace
  # whose only interface is loopback.
  tests/testnet/run-in-testnet.sh --wineprefix "$prefix" "$demo/testnet" \
    scripts/demo-installed.sh testnet build/windows "$demo"
else
  [[ $EUID -eq 0 ]] || echo "NOTE: not root: no network namespace, so no private onion network."
  scripts/demo-installed.sh simulated build/windows "$demo"
fi
installed="$prefix/drive_c/Program Files (x86)/Nimbra"

echo
echo "=== 2. Nimbra natively, headless, in the sample language (Russian) ==="
(
  export XDG_DATA_HOME="$demo/native/data" XDG_CONFIG_HOME="$demo/native/config"
  export NIMBRA_REGISTRY_FILE="$demo/native/registry.reg" NIMBRA_NAMED_OBJECTS="$demo/native"
  ndata="$XDG_DATA_HOME/Nimbra"
  mkdir -p "$ndata"
  cp build/linux/tools/simengine/anon.dll "$ndata/"
  printf '[Options]\r\nLanguageID=1049\r\n' >"$ndata/options.ini"
  build/linux/tools/ipecho/ipecho --answer 198.51.100.42 --count 5 >"$demo/native-ipecho.txt" 2>&1 &
  echo_pid=$!
  for _ in $(seq 100); do grep -q "listening on" "$demo/native-ipecho.txt" 2>/dev/null && break; sleep 0.1; done
  nport=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$demo/native-ipecho.txt")
  NIMBRA_IP_LOOKUP_URL="http://127.0.0.1:$nport/scripts/whatismyip.php" NIMBRA_IP_LOOKUP_DELAY_MS=2000 \
    timeout -s INT 20 build/linux/src/app/Nimbra | grep -E 'text "|window TNimbraMainForm|tray' || true
  kill "$echo_pid" 2>/dev/null || true
)

echo
echo "=== 3. Companion service and pipe client, natively and under Wine ==="
bash tools/pipeservice/demo.sh build/linux/tools
if ((!wine_ok)); then
  echo "(the Wine half left out: no 32-bit code on this machine)"
  echo
  echo "Done (without the parts under Wine)."
  exit 0
fi
bash tools/pipeservice/demo.sh build/windows/tools --wine "$prefix"

echo
echo "=== 4. ProxyRevert.exe (as installed) under Wine on a prepared user ==="
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
"${wine_run[@]}" reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
"${wine_run[@]}" reg add "$settings" /v ProxyServer /d "http=10.0.0.1:3128;https=10.0.0.1:3129" /f >/dev/null
appdata="$prefix/drive_c/users/root/AppData/Roaming"
mkdir -p "$appdata/Opera/Opera/profile" "$appdata/Mozilla/Firefox/Profiles/demo.default"
printf '[Proxy]\r\nUse HTTP=1\r\nHTTP server=10.0.0.1:3128\r\n' >"$appdata/Opera/Opera/profile/opera6.ini"
printf 'user_pref("browser.startup.page", 3);\r\nuser_pref("network.proxy.type", 1);\r\nuser_pref("network.proxy.http", "10.0.0.1");\r\nuser_pref("network.proxy.http_port", 3128);\r\n' \
  >"$appdata/Mozilla/Firefox/Profiles/demo.default/prefs.js"
restore=build/windows/src/restore/ProxyRevert.exe
[[ -f "$installed/ProxyRevert.exe" ]] && restore=$installed/ProxyRevert.exe
"${wine_run[@]}" "$restore" && echo "ProxyRevert exit code: 0"
echo "--- system proxy:"
"${wine_run[@]}" reg query "$settings" /v ProxyEnable | tr -d '\r' | grep ProxyEnable
"${wine_run[@]}" reg query "$settings" /v ProxyServer | tr -d '\r' | grep ProxyServer
echo "--- opera6.ini:"
tr -d '\r' <"$appdata/Opera/Opera/profile/opera6.ini"
echo "--- prefs.js:"
tr -d '\r' <"$appdata/Mozilla/Firefox/Profiles/demo.default/prefs.js"

WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
echo
echo "Done. The screenshot of the installed Nimbra: $demo/nimbra-screen.png"
