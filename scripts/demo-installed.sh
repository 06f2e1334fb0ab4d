#!/usr/bin/env bash
# The main job's show: Nimbra installed silently by its installer into a
# Wine prefix of the demo's own (DEMO_DIR/wineprefix) and started from the
# install folder, with the companion-service stand-in and a local address
# endpoint. Nothing leaves the machine.
#   demo-installed.sh testnet|simulated BUILD_DIR DEMO_DIR
# testnet: the installed real engine library in the private onion network;
#   run by tests/testnet/run-in-testnet.sh, which gives the network
#   (NIMBRA_TESTNET_DIR) and a network namespace of its own.
# simulated: the simulated engine, copied in as anon.dll in the data folder
#   (Nimbra prefers it to the one beside the program). Without an installer
#   (no real engine built) the build's own Nimbra.exe runs instead.
# Without a DISPLAY it runs on a virtual one, waits until the window shows
# the address, saves a screenshot of the screen (DEMO_DIR/nimbra-screen.png)
# and ends Nimbra from its tray menu; with one, the user ends it there.
set -euo pipefail
mode=$1 build=$(realpath "$2") demo=$(realpath -m "$3")
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/tests/e2e/nimbra-wine-lib.sh"
prefix="$demo/wineprefix"
work="$demo/run"
run() { "$root/scripts/wine-run.sh" --prefix "$prefix" "$@"; }
fail() { echo "demo: $*" >&2; exit 1; }
case $mode in
  testnet) [[ -n "${NIMBRA_TESTNET_DIR:-}" ]] || fail "testnet mode runs inside run-in-testnet.sh" ;;
  simulated) ;;
  *) fail "usage: demo-installed.sh testnet|simulated BUILD_DIR DEMO_DIR" ;;
esac

pids=()
cleanup() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
rm -rf "$prefix" "$work"
mkdir -p "$work"

own_display=0
if [[ -z "${DISPLAY:-}" ]]; then
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
  [[ -s "$work/display" ]] || fail "no virtual display"
  export DISPLAY=":$(tr -d '\n' <"$work/display")"
  own_display=1
fi

# Logging on: the log says what the window's label shows.
run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
drive="$prefix/drive_c"
data="$drive/users/Public/Documents/Nimbra"
mkdir -p "$data"
setup="$build/Nimbra-1.4-setup.exe"
if [[ -f "$setup" ]]; then
  echo "--- silent install: $(basename "$setup") /S"
  run "$setup" /S || fail "setup ended with $?"
  program="$drive/Program Files (x86)/Nimbra"
  program_windows='C:\Program Files (x86)\Nimbra'
  echo "installed in $program_windows: $(cd "$program" && ls | tr '\n' ' ')"
else
  [[ $mode == simulated ]] || fail "no installer at $setup"
  echo "NOTE: no installer (it needs the real engine library): the build's own Nimbra.exe runs."
  program="$build/src/app"
  program_windows=$program
  cp "$program/LCDN.TTF" "$drive/windows/Fonts/"
fi

if [[ $mode == testnet ]]; then
  engine="the real engine library, in the private onion network on loopback"
  nimbra_testnet_settings "$NIMBRA_TESTNET_DIR" "$program_windows\\" "$program/anon_settings" ||
    fail "no settings for the private network"
  echo "--- engine settings beside the installed anon.dll:"
  tr -d '\r' <"$program/anon_settings" | sed 's/^/    /'
else
  engine="the SIMULATED engine (no onion routing)"
  cp "$build/tools/simengine/anon.dll" "$data/anon.dll"
  echo "NOTE: the simulated engine is copied in as anon.dll (data folder);" \
    "the real one runs only as root with the real engine built."
  export NIMBRA_SIMENGINE_BOOTSTRAP_MS=8000
fi

address=203.0.113.42
run "$build/tools/ipecho/ipecho.exe" --answer "$address" --count 50 >"$work/ipecho.txt" 2>&1 &
pids+=($!)
port=$(nimbra_endpoint_port "$work/ipecho.txt") || fail "no address endpoint"
export NIMBRA_IP_LOOKUP_URL="http://127.0.0.1:$port/scripts/whatismyip.php"
export NIMBRA_IP_LOOKUP_DELAY_MS=2000

echo "--- starting the installed $program_windows\\Nimbra.exe with $engine"
run "$program_windows\\Nimbra.exe" >"$work/nimbra.txt" 2>&1 &
nimbra=$!
pids+=($nimbra)
# The service asks once the window is there, as a service started later does.
for _ in $(seq 300); do
  nimbra_main_window >/dev/null && break
  kill -0 "$nimbra" 2>/dev/null || break
  sleep 0.2
done
run "$build/tools/pipeservice/pipeservice.exe" --until-ready --blocks 1 --interval 1000 \
  --wait 420000 >"$work/service.txt" 2>&1 &
pids+=($!)

# What the label shows, as it changes, until the address.
log="$data/Nimbra.exe.log"
seen=0
for _ in $(seq 900); do
  kill -0 "$nimbra" 2>/dev/null || fail "Nimbra.exe has ended: $(cat "$work/nimbra.txt")"
  mapfile -t shown < <(nimbra_label "$log" all | sed '/^$/d')
  for ((i = seen; i < ${#shown[@]}; i++)); do echo "    window shows: ${shown[i]}"; done
  seen=${#shown[@]}
  [[ "$(nimbra_label "$log")" == "$address" ]] && break
  sleep 0.5
done
[[ "$(nimbra_label "$log")" == "$address" ]] || fail "the window never showed the address"
service=$(tr -d '\r' <"$work/service.txt" | grep -o 'StatusReady' | head -n 1 || true)

shot="$demo/nimbra-screen.png"
xdotool mousemove 1200 780  # no tooltip in the picture
sleep 1.5
if ((own_display)); then
  import -window root "$shot"
else
  import -window "$(nimbra_main_window)" "$shot"
fi
lamp=dark
nimbra_lamp_green "$shot" 2>/dev/null && lamp=green
((own_display)) || lamp="(window shot)"
echo
echo "screenshot: $shot"
echo "the window shows: $(nimbra_label "$log")"
echo "state: $([[ -n $service ]] && echo "Ready, 100 percent (the companion service heard StatusReady)" ||
  echo "not ready")"
echo "lamp: $lamp; engine: $engine"

if ((own_display)); then
  echo "--- ending Nimbra from its tray menu (Exit, then Yes)"
  nimbra_exit_from_tray "$nimbra" || fail "Nimbra.exe did not end from the tray"
else
  echo "Nimbra.exe runs on your display; end it from its tray menu (Exit) to go on."
  wait "$nimbra" || true
fi
echo "Nimbra.exe has ended."
[[ $mode != testnet || -f "$program/cache/cached-microdesc-consensus" ]] ||
  fail "the engine kept no consensus"
