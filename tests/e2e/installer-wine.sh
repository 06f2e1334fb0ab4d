#!/usr/bin/env bash
# The installer end to end in a fresh Wine prefix on a virtual display of its
# own, inside a private onion network (as root; run-in-testnet.sh gives it
# the network and a network namespace of its own), for a user whose own
# proxy is a corporate one (the system's, Opera's, Firefox's) from before:
#  - a silent install puts every file in place, the label font in the Fonts
#    folder and the registry, the Start-menu shortcuts and the uninstall entry
#    with the version; NimbraService with its Run value and the Boost licence,
#    and the service runs when setup has finished; a first install asks for
#    the tutorial (FirstRun=1 in options.ini), an upgrade over it leaves the
#    user's options.ini as it was and runs the new service;
#  - the installed Nimbra.exe, with engine settings written first beside the
#    installed engine library that name only the network's authorities,
#    bootstraps the real engine to 100 percent: the installed service hears
#    "ready" and points every browser at its HTTP endpoint, and the window
#    shows the address, looked up through that endpoint and the engine at a
#    local server the network's exits reach; its lamp is green. Not root,
#    there is no network: the settings say "DisableNetwork 1" and the engine
#    only answers on its control port;
#  - with Nimbra still running (and, as root, the browsers pointed at the
#    endpoint), a silent uninstall ends Nimbra and the service, which puts
#    the user's own proxies back byte for byte; a Firefox profile left
#    pointing at the endpoint is switched off, and every file, shortcut,
#    both Run values and the uninstall entry go; the data folder stays.
#   installer-wine.sh WINE_RUN PREFIX SETUP_EXE PROGRAM_DIR PROXYREVERT_EXE ENGINE_DLL WORK_DIR TOOLS_DIR SERVICE_EXE
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [[ -z "${NIMBRA_TESTNET_DIR:-}" && $EUID -eq 0 ]]; then
  # The prefix's server must start inside the namespace: Wine makes the
  # sockets there.
  exec "$here/../testnet/run-in-testnet.sh" --wineprefix "$2" "$7.testnet" "$0" "$@"
fi
source "$here/nimbra-wine-lib.sh"
wine_run=$1 prefix=$2 setup=$3 program=$4 proxyrevert=$5 engine=$6 work=$7 tools=$8 service=$9
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$wine_run" --prefix "$prefix" "$@"; }
query() { run reg query "$@" 2>/dev/null | tr -d '\r' || true; }
# Wine's reg prints its "not found" on standard output: the exit code says.
exists() { run reg query "$@" >/dev/null 2>&1; }
[[ -f "$setup" ]] || fail "no $setup: build the installer target"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
rm -rf "$work" "$prefix"
mkdir -p "$work"
# A display of its own: the tray, the lamp's colour in a screenshot and the
# window lookups must not meet other tests' windows.
nimbra_own_display "$work"

# The first call makes the prefix; logging on.
run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
drive=$prefix/drive_c
installed="$drive/Program Files (x86)/Nimbra"  # a 32-bit program on 64-bit Windows
windows_installed='C:\Program Files (x86)\Nimbra'
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Nimbra"
data="$drive/users/Public/Documents/Nimbra"
fonts_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Nimbra'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
proxy_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
service_log="$data/NimbraService.exe.log"

# The user's own proxies, from before Nimbra: they must survive it whole.
appdata=$(ls -d "$drive"/users/*/AppData/Roaming | grep -v '/Public/' | head -n 1)
opera_ini="$appdata/Opera/Opera/profile/opera6.ini"
prefs="$appdata/Mozilla/Firefox/Profiles/abcd.default/prefs.js"
left_prefs="$appdata/Mozilla/Firefox/Profiles/left.default/prefs.js"
mkdir -p "$(dirname "$opera_ini")" "$(dirname "$prefs")" "$(dirname "$left_prefs")"
run reg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
run reg add "$proxy_key" /v ProxyServer /t REG_SZ /d 'corp-proxy.example:8080' /f >/dev/null
printf '[Proxy]\r\nUse HTTP=1\r\nHTTP server=corp-proxy.example:8080\r\n\r\n[User Prefs]\r\nLanguage=en\r\n' >"$opera_ini"
printf 'user_pref("browser.startup.page", 3);\nuser_pref("network.proxy.type", 1);\nuser_pref("network.proxy.http", "corp-proxy.example");\nuser_pref("network.proxy.http_port", 8080);\n' >"$prefs"
own_proxy() {
  query "$proxy_key" | grep -E '^ +Proxy(Enable|Server) '
  od -c "$opera_ini"
  od -c "$prefs"
}
own_proxy >"$work/own-proxy.txt"

# Waits until the service's log holds TEXT (an extended regular expression).
service_log_has() {  # TEXT [SECONDS]
  local _
  for _ in $(seq $((${2:-60} * 10))); do
    tr -d '\r' <"$service_log" 2>/dev/null | grep -Eq "$1" && return 0
    sleep 0.1
  done
  return 1
}
# A second start finds the running service on its control pipe and ends
# with 3.
service_runs() {
  local rc=0
  NIMBRA_ERROR_BOX_FILE="Z:$work/probe.txt" run "$windows_installed\\NimbraService.exe" || rc=$?
  ((rc == 3))
}

echo "== silent install"
run "$setup" /S || fail "setup ended with $?"
cmp "$proxyrevert" "$installed/ProxyRevert.exe" || fail "ProxyRevert.exe not installed as built"
cmp "$service" "$installed/NimbraService.exe" || fail "NimbraService.exe not installed as built"
grep -q 'Boost Software License - Version 1.0' "$installed/Licenses/Boost/LICENSE_1_0.txt" ||
  fail "no Boost licence beside the service"
for file in Nimbra.exe LCDN-LICENSE.txt Help/Help.chm; do
  cmp "$program/$file" "$installed/$file" || fail "$file not installed as built"
done
cmp "$engine" "$installed/anon.dll" || fail "anon.dll is not the real engine library"
languages=("$program"/*.lng)
pictures=("$program"/res/*.jpg)
[[ -f "${languages[0]}" && -f "${pictures[0]}" ]] || fail "no language files or pictures in $program"
for file in "${languages[@]}" "${pictures[@]}"; do
  relative=${file#"$program"/}
  cmp "$file" "$installed/$relative" || fail "$relative not installed as built"
done
[[ -f "$installed/Uninstall.exe" ]] || fail "no uninstaller"
cmp "$program/LCDN.TTF" "$drive/windows/Fonts/LCDN.TTF" || fail "the font is not in the Fonts folder"
grep -Eq '^ +LcdD \(TrueType\) +REG_SZ +LCDN\.TTF$' <<<"$(query "$fonts_key" /v 'LcdD (TrueType)')" ||
  fail "the font is not registered: $(query "$fonts_key")"
for link in Nimbra ProxyRevert 'Nimbra Help' 'Uninstall Nimbra'; do
  [[ -f "$menu/$link.lnk" ]] || fail "no Start-menu shortcut $link"
done
entry=$(query "$uninstall_key" /reg:32)
grep -Eq '^ +DisplayVersion +REG_SZ +1\.4$' <<<"$entry" || fail "uninstall entry: $entry"
grep -Eq '^ +UninstallString +REG_SZ +"C:\\Program Files \(x86\)\\Nimbra\\Uninstall\.exe"$' <<<"$entry" ||
  fail "uninstall entry: $entry"
grep -Eq '^ +NimbraService +REG_SZ +"C:\\Program Files \(x86\)\\Nimbra\\NimbraService\.exe"$' <<<"$(query "$run_key" /v NimbraService)" ||
  fail "no Run value for the service: $(query "$run_key")"
service_log_has 'StatusServer: Listening on the pipe' || fail "the service did not start: $(cat "$service_log" 2>/dev/null)"
service_runs || fail "the service does not run"
[[ "$(tr -d '\r' <"$data/options.ini")" == $'[Options]\nFirstRun=1' ]] ||
  fail "a first install asks for the tutorial: $(cat -A "$data/options.ini" 2>/dev/null)"

echo "== an upgrade over it"
# The user's options by now, without FirstRun: they stay as they are.
printf '[Options]\r\nSwitchPeriod=30\r\n' >"$data/options.ini"
cp "$data/options.ini" "$work/options.before"
before_upgrade=$(stat -c %s "$service_log")
run "$setup" /S || fail "the upgrade ended with $?"
cmp "$data/options.ini" "$work/options.before" || fail "the upgrade changed options.ini: $(cat -A "$data/options.ini")"
tail -c +$((before_upgrade + 1)) "$service_log" | tr -d '\r' | grep -q 'asks the service to end' ||
  fail "the upgrade did not stop the service"
tail -c +$((before_upgrade + 1)) "$service_log" | tr -d '\r' | grep -q 'NimbraService: Ended' ||
  fail "the old service did not end"
# The new one logs its start after the old one's end.
for _ in $(seq 300); do
  tail -c +$((before_upgrade + 1)) "$service_log" | grep -q 'StatusServer: Listening on the pipe' && break
  sleep 0.1
done
tail -c +$((before_upgrade + 1)) "$service_log" | grep -q 'StatusServer: Listening on the pipe' ||
  fail "the upgraded service did not start"
service_runs || fail "the service does not run after the upgrade"
cmp "$service" "$installed/NimbraService.exe" || fail "NimbraService.exe not installed as built"

echo "== the installed Nimbra.exe"
# The engine's settings lie beside the library, and the host leaves existing
# ones as they are: these keep the real engine inside the private network
# or, without one, off the network.
mkdir -p "$data"
if [[ -n "${NIMBRA_TESTNET_DIR:-}" ]]; then
  nimbra_testnet_settings "$NIMBRA_TESTNET_DIR" "$windows_installed\\" "$installed/anon_settings" ||
    fail "no settings for the private network"
else
  echo "(not root: no private network; the engine stays off the network and is not ready)"
  {
    printf 'SocksListenAddress 127.0.0.1\r\nSocksPort 35491\r\nControlPort 35490\r\n'
    printf 'DataDirectory %s\\cache\r\nLog notice file %s\\anon.dll.log\r\n' "$windows_installed" "$windows_installed"
    printf 'DisableNetwork 1\r\n'
  } >"$installed/anon_settings"
  grep -q '^DisableNetwork 1' "$installed/anon_settings" || fail "the settings would let the engine out"
fi
cp "$installed/anon_settings" "$work/anon_settings"
address=192.0.2.77
# Once the browsers point at the endpoint, the lookup goes through it and
# the engine: to the private network's service address, which its exits
# reach (they never reach loopback).
lookup_host=127.0.0.1
[[ -n "${NIMBRA_TESTNET_DIR:-}" ]] && lookup_host=198.18.0.1
run "$tools/ipecho/ipecho.exe" --bind "$lookup_host" --answer "$address" --count 20 >"$work/ipecho.txt" 2>&1 &
ipecho=$!
pids+=($ipecho)
nimbra_wait_for "$work/ipecho.txt" "listening on" || fail "no address endpoint: $(cat "$work/ipecho.txt")"
port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/ipecho.txt" | tr -d '\r')
export NIMBRA_IP_LOOKUP_URL="http://$lookup_host:$port/scripts/whatismyip.php"
# After the service has pointed the system proxy at the endpoint.
export NIMBRA_IP_LOOKUP_DELAY_MS=6000
run "$windows_installed\\Nimbra.exe" >"$work/nimbra.txt" 2>&1 &
nimbra=$!
pids+=($nimbra)
answer=""
for _ in $(seq 120); do
  kill -0 "$nimbra" 2>/dev/null || fail "Nimbra.exe has ended: $(cat "$work/nimbra.txt")"
  if answer=$(timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/35490 &&
      printf "AUTHENTICATE\r\nGETINFO status/bootstrap-phase\r\nQUIT\r\n" >&3 && cat <&3' 2>/dev/null) &&
    grep -q 'bootstrap-phase=' <<<"$answer"; then
    break
  fi
  sleep 1
done
tr -d '\r' <<<"$answer"
grep -q '^250 OK' <<<"$answer" || fail "the engine did not answer on the control port"
grep -q 'BOOTSTRAP PROGRESS=' <<<"$answer" || fail "no bootstrap phase from the engine"
for _ in $(seq 100); do
  nimbra_main_window >/dev/null && break
  sleep 0.2
done
nimbra_main_window >/dev/null || fail "no Nimbra window"

log="$data/Nimbra.exe.log"
if [[ -n "${NIMBRA_TESTNET_DIR:-}" ]]; then
  echo "== ready in the private network"
  service_log_has 'ActivationPolicy: Ready: pointing the browsers at the endpoint' 300 || {
    tail -n 20 "$service_log" >&2 || true
    tail -n 20 "$installed/anon.dll.log" >&2 || true
    fail "the service saw no ready"
  }
  service_log_has 'ProxySwitch: Every browser points at the endpoint' || fail "not activated"
  grep -Eq '^ +ProxyServer +REG_SZ +127\.0\.0\.1:35489$' <<<"$(query "$proxy_key")" ||
    fail "the system proxy does not point at the endpoint: $(query "$proxy_key")"
  grep -q '35489' "$prefs" || fail "Firefox does not point at the endpoint"
  [[ -f "$data/ProxyJournal.dat" ]] || fail "no journal while activated"
  for _ in $(seq 300); do
    [[ "$(nimbra_label "$log")" == "$address" ]] && break
    sleep 0.2
  done
  nimbra_label "$log" all
  [[ "$(nimbra_label "$log")" == "$address" ]] || fail "the window does not show the address"
  # Not piped into grep -q: it stops reading at the match, and under
  # pipefail the writer's broken pipe would fail the check.
  grep -qx 'Retrieving IP address' <<<"$(nimbra_label "$log" all)" || fail "the label never said it looked"
  xdo mousemove 0 700
  sleep 1
  import -window root "$work/ready.png"
  nimbra_lamp_green "$work/ready.png" || fail "the lamp is not green: $work/ready.png"
  [[ -f "$installed/cache/cached-microdesc-consensus" ]] || fail "the engine kept no consensus"
  [[ -f "$installed/anon.dll.log" ]] || fail "no warnings log where the settings say"
fi
cmp "$installed/anon_settings" "$work/anon_settings" || fail "the engine settings were rewritten"
grep -Eiq 'Nimbra +REG_SZ +C:\\Program Files \(x86\)\\Nimbra\\Nimbra\.exe' <<<"$(query "$run_key" /v Nimbra)" ||
  fail "Nimbra wrote no Run value: $(query "$run_key")"

echo "== a silent uninstall while Nimbra runs"
# A profile left pointing at the endpoint by an earlier run that kept no
# journal: the uninstall switches it off.
printf 'user_pref("a", 1);\r\nuser_pref("network.proxy.type", 1);\r\nuser_pref("network.proxy.http", "127.0.0.1");\r\nuser_pref("network.proxy.http_port", 35489);\r\n' >"$left_prefs"
export NIMBRA_ERROR_BOX_FILE="Z:$work/errorbox.txt"

# The endpoint goes first: the wait for the uninstall below waits for every
# program in the prefix.
kill "$ipecho" 2>/dev/null || true
wait "$ipecho" 2>/dev/null || true
run "$windows_installed\\Uninstall.exe" /S || fail "the uninstaller ended with $?"
# The uninstaller goes on from a copy of itself in the temporary folder.
timeout 180 env WINEPREFIX="$prefix" wineserver -w || fail "the uninstall did not finish"
! kill -0 "$nimbra" 2>/dev/null || fail "Nimbra.exe still runs"
[[ ! -e "$work/errorbox.txt" ]] || fail "ProxyRevert showed: $(cat "$work/errorbox.txt")"

tr -d '\r' <"$service_log" | tail -n 5 | grep -q 'NimbraService: Ended' || fail "the service did not end"
own_proxy >"$work/after-proxy.txt"
diff "$work/own-proxy.txt" "$work/after-proxy.txt" >&2 || fail "the user's own proxy did not survive the uninstall"
[[ "$(tr -d '\r' <"$left_prefs")" == 'user_pref("a", 1);' ]] || fail "the endpoint's prefs.js: $(cat -A "$left_prefs")"
[[ ! -e "$data/ProxyJournal.dat" ]] || fail "the journal is left"
if [[ -n "${NIMBRA_TESTNET_DIR:-}" ]]; then
  # The lookup was the endpoint's work.
  grep -Eq 'Endpoint: Stopped after [1-9][0-9]* browser connections' "$service_log" ||
    fail "the lookup did not go through the endpoint: $(grep 'Endpoint' "$service_log" | tail -n 3)"
fi

[[ ! -e "$installed" ]] || fail "left in the program folder: $(find "$installed")"
[[ ! -e "$menu" ]] || fail "left in the Start menu: $(find "$menu")"
[[ ! -e "$drive/windows/Fonts/LCDN.TTF" ]] || fail "the font file is left"
! exists "$fonts_key" /v 'LcdD (TrueType)' || fail "the font is still registered"
! exists "$run_key" /v Nimbra || fail "the Run value is left"
! exists "$run_key" /v NimbraService || fail "the service's Run value is left"
! exists "$uninstall_key" /reg:32 || fail "the uninstall entry is left"
[[ -f "$data/options.ini" && -f "$data/Nimbra.exe.log" ]] || fail "the data folder was not kept"
if [[ -n "${NIMBRA_TESTNET_DIR:-}" ]]; then
  echo "PASS: installed with its service, upgraded, ready in the private network showing $address through the endpoint, uninstalled with the user's own proxies back and the data folder kept"
else
  echo "PASS: installed with its service, upgraded, ran, uninstalled with the user's own proxies kept and the data folder kept"
fi
