#!/usr/bin/env bash
# Nimbra.exe, NimbraService.exe and the real engine library under Wine in
# the private onion network (run by tests/testnet/run-in-testnet.sh, which
# gives the network in NIMBRA_TESTNET_DIR and a network namespace of its
# own), on a user whose own proxy is a corporate one:
#  - the service points the system's proxy at its endpoint once Nimbra is
#    ready, and Nimbra's address lookup (which follows the system's proxy)
#    goes through the endpoint and the engine: the window shows the address
#    of one of the network's exits, as an address endpoint on the network's
#    service address saw it, never the machine's own;
#  - one request through the endpoint is seen by that server from an exit;
#  - a new identity (the automatic switch, every minute here) makes the
#    window look the address up again;
#  - Nimbra's normal end puts the user's own proxy back exactly.
# With --show it says what happens as the main job's show (and does not stop
# at the first missing step); the test asserts each step.
#   anonymous-wine.sh [--show] WINE_RUN PREFIX PROGRAM_DIR SERVICE_EXE TOOLS_DIR WORK_DIR
set -euo pipefail
show=0
[[ ${1:-} == --show ]] && { show=1; shift; }
wine_run=$1 prefix=$2 program=$3 service=$4 tools=$5 work=$6
source "$(dirname "$0")/nimbra-wine-lib.sh"
network=${NIMBRA_TESTNET_DIR:?run by tests/testnet/run-in-testnet.sh}
say() { echo "$*"; }

rm -rf "$work"
mkdir -p "$work"
# With --show on the user's own display; else on one of its own.
own_display=0
if ((!show)) || [[ -z ${DISPLAY:-} ]]; then
  nimbra_own_display "$work" || fail "no virtual display"
  own_display=1
fi

run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
proxy_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
run reg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
run reg add "$proxy_key" /v ProxyServer /d 'corp-proxy.example:8080' /f >/dev/null
run reg add "$proxy_key" /v ProxyOverride /d '<local>' /f >/dev/null
proxy_settings() { run reg query "$proxy_key" | tr -d '\r' | grep -E '^ +(Proxy|AutoConfig)' || true; }
proxy_settings >"$work/proxy-before.txt"

data="$prefix/drive_c/users/Public/Documents/Nimbra"
windows_data='C:\users\Public\Documents\Nimbra\'
rm -rf "$data"
mkdir -p "$data"
nimbra_testnet_settings "$network" "$windows_data" "$data/anon_settings" ||
  fail "no settings for the private network"
cp "$tools/torengine/anon.dll" "$data/"
# A new identity every minute, so the test sees one.
printf '[Options]\r\nSwitchPeriod=1\r\n' >"$data/options.ini"

# The address endpoint on the network's service address, which only the
# exits reach: it answers each caller with the caller's own address.
service_address=$(cat "$network/service-address")
python3 - "$service_address" "$work/echo-port" >"$work/echo.txt" 2>&1 <<'EOF' &
import socket, sys
server = socket.socket()
server.bind((sys.argv[1], 0))
server.listen(16)
with open(sys.argv[2], "w") as out:
    out.write("%d\n" % server.getsockname()[1])
while True:
    peer, (address, _) = server.accept()
    peer.settimeout(30)
    request = b""
    try:
        while b"\r\n\r\n" not in request and len(request) < 65536:
            chunk = peer.recv(4096)
            if not chunk:
                break
            request += chunk
        body = (address + "\r\n").encode()
        peer.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % len(body) + body)
        print("request from", address, request.split(b"\r\n")[0].decode("latin-1"), flush=True)
    except OSError as error:
        print("request from", address, "failed:", error, flush=True)
    peer.close()
EOF
pids+=($!)
for _ in $(seq 300); do [[ -s $work/echo-port ]] && break; sleep 0.1; done
echo_port=$(head -n 1 "$work/echo-port" 2>/dev/null || true)
[[ $echo_port =~ ^[0-9]+$ ]] || fail "the address endpoint did not start: $(cat "$work/echo.txt")"
export NIMBRA_IP_LOOKUP_URL="http://$service_address:$echo_port/scripts/whatismyip.php"
# Asked a little after Ready: the service points the system at the endpoint
# within a second of it.
export NIMBRA_IP_LOOKUP_DELAY_MS=4000
exits=$(tr '\n' ' ' <"$network/exit-addresses")
say "network: exits $exits; address endpoint on $service_address:$echo_port"

"$wine_run" --prefix "$prefix" "$service" >"$work/service.txt" 2>&1 &
pids+=($!)
nimbra_wait_for "$data/NimbraService.exe.log" 'Listening on the pipe' 60 ||
  fail "the service did not start: $(cat "$work/service.txt")"
say "NimbraService.exe listens on Nimbra's pipe"

"$wine_run" --prefix "$prefix" "$program/Nimbra.exe" >"$work/nimbra.txt" 2>&1 &
nimbra=$!
pids+=($nimbra)
log="$data/Nimbra.exe.log"
is_exit() { [[ " $exits " == *" $1 "* ]]; }
seen=0 shown=''
for _ in $(seq 1200); do
  kill -0 "$nimbra" 2>/dev/null || fail "Nimbra.exe has ended: $(cat "$work/nimbra.txt")"
  mapfile -t labels < <(nimbra_label "$log" all | sed '/^$/d')
  for ((i = seen; i < ${#labels[@]}; i++)); do say "    window shows: ${labels[i]}"; done
  seen=${#labels[@]}
  shown=$(nimbra_label "$log")
  [[ $shown =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] && break
  sleep 0.5
done
grep -q "Every browser points at the endpoint" "$data/NimbraService.exe.log" || fail "the service did not activate"
is_exit "$shown" || fail "the window shows '$shown', not an exit's address ($exits)"
say "the window shows $shown: an exit's address, as the server saw Nimbra's lookup"
tr -d '\r' <"$work/proxy-before.txt" >"$work/before.txt"
say "system proxy while anonymous: $(proxy_settings | grep ProxyServer | sed 's/ \+/ /g')"

# One request through the endpoint, as a browser pointed at it makes.
saw=$(curl -sS --max-time 60 -x "http://127.0.0.1:35489" "http://$service_address:$echo_port/" | tr -d '\r')
is_exit "$saw" || fail "through the endpoint the server saw '$saw', not an exit"
say "one request through the endpoint 127.0.0.1:35489: the server saw $saw"

# The automatic switch: Auto on (its button), and within a minute and a bit
# a new identity and a new lookup.
window=''
for _ in $(seq 100); do window=$(nimbra_main_window) && break; sleep 0.2; done
[[ -n $window ]] || fail "no main window"
eval "$(xdo getwindowgeometry --shell "$window")"
# Auto is on when its lamp (the button's top right) is green.
auto_on() {
  import -window root "$work/auto.png" 2>/dev/null || return 1
  local rgb
  rgb=$(convert "$work/auto.png" -crop "1x1+$((X + 247))+$((Y + 120))" +repage -depth 8 txt:- |
    tail -n 1 | sed -E 's/.*\(([0-9.]+),([0-9.]+),([0-9.]+).*/\1 \2 \3/' | tr -d '%')
  read -r -a rgb <<<"$rgb"
  ((${rgb[1]%.*} > 120 && ${rgb[1]%.*} > ${rgb[0]%.*} + 60))
}
for _ in 1 2 3; do
  xdo mousemove $((X + 220)) $((Y + 125))
  sleep 0.3
  xdo mousemove $((X + 224)) $((Y + 127))
  sleep 0.3
  xdo mousedown 1
  sleep 0.2
  xdo mouseup 1
  sleep 0.5
  xdo mousemove $((X + 20)) $((Y + 300))
  sleep 1
  auto_on && break
done
auto_on || fail "Auto did not go on"
say "Auto on: a new identity every minute"
lookups=$(grep -c 'request from' "$work/echo.txt" || true)
for _ in $(seq 200); do
  (($(grep -c 'request from' "$work/echo.txt" || true) > lookups)) && break
  sleep 0.5
done
(($(grep -c 'request from' "$work/echo.txt" || true) > lookups)) ||
  fail "no new lookup after a new identity"
for _ in $(seq 60); do
  refreshed=$(nimbra_label "$log")
  is_exit "$refreshed" && break
  sleep 0.5
done
is_exit "$refreshed" || fail "after a new identity the window shows '$refreshed'"
say "after a new identity the window looked the address up again: $refreshed"

if ((own_display)); then
  shot="$work/nimbra-screen.png"
  xdo mousemove 1200 780
  sleep 1
  import -window root "$shot" 2>/dev/null && say "screenshot: $shot"
fi

# Nimbra's normal end: the service switches back.
nimbra_exit_from_tray "$nimbra" || fail "Nimbra.exe did not end from the tray"
for _ in $(seq 100); do
  proxy_settings >"$work/proxy-after.txt"
  cmp -s "$work/proxy-before.txt" "$work/proxy-after.txt" && break
  sleep 0.2
done
if ! cmp -s "$work/proxy-before.txt" "$work/proxy-after.txt"; then
  diff "$work/proxy-before.txt" "$work/proxy-after.txt" >&2 || true
  fail "the user's own proxy did not come back exactly"
fi
say "Nimbra ended normally: the user's own proxy is back exactly:"
sed 's/^ */    /' "$work/proxy-after.txt"
[[ ! -e "$data/ProxyJournal.dat" ]] || fail "the journal is left behind"
run "$service" --stop >/dev/null 2>&1 || true
say "PASS: the browsers went through the engine and the user's settings came back"
