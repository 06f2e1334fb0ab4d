#!/usr/bin/env bash
# NimbraService as a real process, natively or under Wine (--wine), on a
# user of its own (registry, opera6.ini files, prefs.js files) whose own
# proxy is a corporate one:
#  - killed hard (kill -9; under Wine taskkill /F, which is TerminateProcess)
#    before, during and after its activation, a new start puts every setting
#    back byte for byte from the journal, and removes it;
#  - a second start is refused, as is a start while another program owns
#    the pipe's name; --stop ends a running service after it switched back;
#  - asked to end by the system (SIGTERM; under Wine the session's end) it
#    switches back first; ProxyRevert restores a journal a kill left;
#  - a start while another program holds the endpoint's port is refused;
#  - natively: the real Nimbra, headless on the simulated engine, says
#    "ready", the service points the system proxy at its endpoint on
#    127.0.0.1:35489, and Nimbra's address lookup goes through it and the
#    engine's SOCKS port; Nimbra's normal end switches everything back.
# It needs root: it runs in a network namespace of its own (the endpoint's
# port, the pipes' names natively, Wine's server), and is skipped without.
#   service-e2e.sh SERVICE PEER PROXYREVERT TOOLS_DIR WORK_DIR
#                  [--wine WINE_RUN PREFIX] [--nimbra NIMBRA SIMENGINE]
set -euo pipefail
if [[ $EUID -eq 0 && -z ${NIMBRA_SERVICE_E2E_NAMESPACE:-} ]]; then
  # Pipes (natively), the endpoint's port and Wine's server stay private.
  exec unshare -n env NIMBRA_SERVICE_E2E_NAMESPACE=1 bash "$0" "$@"
fi
if [[ -z ${NIMBRA_SERVICE_E2E_NAMESPACE:-} ]]; then
  # The service's endpoint takes port 35489: never the machine's own.
  echo "skipped: needs root for a network namespace of its own"
  exit 77
fi
ip link set lo up
service=$1 peer=$2 proxyrevert=$3 tools=$4 work=$5
shift 5
wine=0 nimbra='' simengine=''
while (($#)); do
  case $1 in
    --wine) wine=1 wine_run=$2 prefix=$3; shift 3 ;;
    --nimbra) nimbra=$2 simengine=$3; shift 3 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  if ((wine)); then WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; fi
}
trap cleanup EXIT

proxy_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
if ((wine)); then
  run() { "$wine_run" --prefix "$prefix" "$@"; }
  win() { echo "Z:${1//\//\\}"; }
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
  run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
  appdata=$(ls -d "$prefix"/drive_c/users/*/AppData/Roaming | grep -v '/Public/' | head -n 1)
  opera_root="$appdata" firefox_root="$appdata/Mozilla/Firefox/Profiles"
  data="$prefix/drive_c/users/Public/Documents/Nimbra"
  log="$data/NimbraService.exe.log"
  pipe='\\.\PIPE\Nimbra {B9FD8848-334C-40C4-AD68-6AD3B034828B}'
  export NIMBRA_ERROR_BOX_FILE="$(win "$work/errorbox.txt")"
else
  run() { "$@"; }
  win() { echo "$1"; }
  export HOME="$work/home" XDG_DATA_HOME="$work/data" NIMBRA_REGISTRY_FILE="$work/registry.reg"
  export NIMBRA_NAMED_OBJECTS="$work/named" NIMBRA_ERROR_BOX_FILE="$work/errorbox.txt"
  unset XDG_CONFIG_HOME
  mkdir -p "$NIMBRA_NAMED_OBJECTS"
  opera_root="$HOME/.config" firefox_root="$HOME/.mozilla/firefox"
  data="$XDG_DATA_HOME/Nimbra"
  log="$data/nimbra-service.log"
  # The namespace's own: abstract socket names do not leave it.
  pipe='\\.\PIPE\Nimbra {B9FD8848-334C-40C4-AD68-6AD3B034828B}'
fi
if ((wine)); then spawn=("$wine_run" --prefix "$prefix") exe=.exe; else spawn=() exe=''; fi
journal="$data/ProxyJournal.dat"
opera1="$opera_root/Opera/Opera/profile/opera6.ini"
opera2="$opera_root/Opera/Other/opera6.ini"
prefs1="$firefox_root/abcd.default/prefs.js"
prefs2="$firefox_root/efgh.work/prefs.js"
files=("$opera1" "$opera2" "$prefs1" "$prefs2")

# The user's own settings, in forms that only an exact journal gets back:
# ProxyEnable missing, CR LF and LF files, no line end at the end, a BOM,
# proxy lines in the middle and twice.
prepare() {
  mkdir -p "$(dirname "$opera1")" "$(dirname "$opera2")" "$(dirname "$prefs1")" "$(dirname "$prefs2")"
  if ((wine)); then
    run reg delete "$proxy_key" /v ProxyEnable /f >/dev/null 2>&1 || true
    run reg add "$proxy_key" /v ProxyServer /d 'corp-proxy.example:8080' /f >/dev/null
    run reg add "$proxy_key" /v ProxyOverride /d '<local>' /f >/dev/null
  else
    printf '; registry stand-in\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Nimbra\\DebugMode]\n\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\n"ProxyServer"="corp-proxy.example:8080"\n"ProxyOverride"="<local>"\n' >"$NIMBRA_REGISTRY_FILE"
  fi
  printf 'Opera Preferences version 2.0\r\n\r\n[Proxy]\r\nUse HTTP=1\r\nHTTP server=corp-proxy.example:8080\r\n\r\n[User Prefs]\r\nLanguage=en' >"$opera1"
  printf '[User Prefs]\nLanguage=de\n' >"$opera2"
  printf 'user_pref("a", 1);\nuser_pref("network.proxy.type", 1);\nuser_pref("network.proxy.http", "corp-proxy.example");\nuser_pref("network.proxy.http_port", 8080);\nuser_pref("network.proxy.http", "corp2");\nuser_pref("z", 2);' >"$prefs1"
  printf '\xEF\xBB\xBFuser_pref("network.proxy.socks", "10.0.0.3");\r\nuser_pref("network.proxy.socks_port", 1080);\r\n' >"$prefs2"
}
# The Internet Settings key as it stands (natively the stand-in's section of
# it, byte for byte).
registry() {
  if ((wine)); then
    run reg query "$proxy_key" | tr -d '\r'
  else
    sed -n '/^\[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\]$/,/^$/p' \
      "$NIMBRA_REGISTRY_FILE" | sed '/^$/d'
  fi
}
# Everything that must come back, as text to compare.
snapshot() {
  registry
  local file
  for file in "${files[@]}"; do
    echo "== $file"
    od -c "$file"
  done
}
points_at_endpoint() { registry | grep -q '127\.0\.0\.1:35489'; }

mark=0
log_mark() { mark=$(stat -c %s "$log" 2>/dev/null || echo 0); }
# Waits until the log, since the mark, holds TEXT (an extended regular
# expression).
wait_log() {  # TEXT [SECONDS]
  local _
  for _ in $(seq $((${2:-60} * 10))); do
    tail -c +$((mark + 1)) "$log" 2>/dev/null | grep -Eq "$1" && return 0
    sleep 0.1
  done
  echo "--- log since the mark:" >&2
  tail -c +$((mark + 1)) "$log" >&2 2>/dev/null || true
  fail "gave up waiting for '$1' in the log"
}

svc=''
winpid=''
start_service() {
  log_mark
  # Started directly, not through a function: $! is the program itself.
  if ((wine)); then
    "$wine_run" --prefix "$prefix" "$service" >>"$work/service.out" 2>&1 &
  else
    "$service" >>"$work/service.out" 2>&1 &
  fi
  svc=$!
  pids+=($svc)
  wait_log 'StatusServer: Listening on the pipe'
  winpid=$(tail -c +$((mark + 1)) "$log" | tr -d '\r' | sed -n 's/.*Started as process \([0-9]*\).*/\1/p' | tail -n 1)
}
# The hard end: nothing of the service runs another instruction.
kill_service() {
  if ((wine)); then
    run taskkill /F /PID "$winpid" >/dev/null 2>&1 || fail "taskkill /F $winpid failed"
  else
    kill -9 "$svc"
  fi
  wait "$svc" 2>/dev/null || true
}
stop_service() {
  local rc=0
  run "$service" --stop >"$work/stop.out" 2>&1 || rc=$?
  ((rc == 0)) || fail "--stop ended with $rc: $(cat "$work/stop.out")"
  grep -q 'switched back and ended' "$work/stop.out" || fail "--stop: $(cat "$work/stop.out")"
  rc=0
  wait "$svc" || rc=$?
  ((rc == 0)) || fail "the service ended with $rc"
}

peer_n=0
peer_pid=''
peer_commands=''
start_peer() {
  peer_n=$((peer_n + 1))
  peer_commands="$work/peer$peer_n.commands"
  : >"$peer_commands"
  local args=("$pipe" "$(win "$peer_commands")" "$(win "$work/peer$peer_n.report")")
  if ((wine)); then
    "$wine_run" --prefix "$prefix" "$peer" "${args[@]}" >"$work/peer$peer_n.out" 2>&1 &
  else
    "$peer" "${args[@]}" >"$work/peer$peer_n.out" 2>&1 &
  fi
  peer_pid=$!
  pids+=($peer_pid)
}
say() { echo "$1" >>"$peer_commands"; }
end_peer() { kill -9 "$peer_pid" 2>/dev/null || true; wait "$peer_pid" 2>/dev/null || true; }

echo "== killed before, during and after the activation: the next start puts everything back"
for point in before during after; do
  prepare
  snapshot >"$work/own.txt"
  NIMBRA_SERVICE_STEP_PAUSE_MS=1500 start_service
  start_peer
  say ready
  case $point in
    before) wait_log 'Pause before activation' ;;
    # The system proxy and Opera are changed, Firefox is next.
    during) wait_log 'Pause before .*prefs\.js' ;;
    after) wait_log 'Every browser points at the endpoint' ;;
  esac
  kill_service
  end_peer
  [[ -f "$journal" ]] || fail "$point: no journal after the kill"
  case $point in
    before) cmp -s <(snapshot) "$work/own.txt" || fail "before: something changed before the journal's first step" ;;
    during)
      points_at_endpoint || fail "during: the system proxy is not changed yet"
      grep -q corp-proxy "$prefs1" || fail "during: prefs.js is already changed"
      ;;
    after) grep -q 35489 "$prefs2" || fail "after: not activated" ;;
  esac
  start_service
  wait_log 'Every setting the journal named is back'
  diff <(snapshot) "$work/own.txt" >"$work/diff.txt" || { cat "$work/diff.txt" >&2; fail "$point: not every setting is back"; }
  [[ ! -f "$journal" ]] || fail "$point: the journal is left"
  stop_service
  echo "$point: every setting back byte for byte"
done

echo "== a second start, and a start while another program owns the pipe"
prepare
start_service
rc=0
run "$service" >>"$work/second.out" 2>&1 || rc=$?
((rc == 3)) || fail "a second start ended with $rc"
grep -q 'NimbraService is already running' "$work/errorbox.txt" || fail "no message: $(cat "$work/errorbox.txt" 2>/dev/null)"
stop_service
rm -f "$work/errorbox.txt"
squat_args=(--pipe "$pipe" --event "Global\\squat $$" --wait 60000)
if ((wine)); then
  "$wine_run" --prefix "$prefix" "$tools/pipeservice/pipeservice.exe" "${squat_args[@]}" >"$work/squatter.out" 2>&1 &
else
  "$tools/pipeservice/pipeservice" "${squat_args[@]}" >"$work/squatter.out" 2>&1 &
fi
squatter=$!
pids+=($squatter)
for _ in $(seq 100); do grep -q 'created' "$work/squatter.out" 2>/dev/null && break; sleep 0.1; done
rc=0
run "$service" >>"$work/squatted.out" 2>&1 || rc=$?
((rc == 4)) || fail "a start beside a squatter ended with $rc"
grep -q 'Another program owns the pipe' "$work/errorbox.txt" || fail "no message: $(cat "$work/errorbox.txt" 2>/dev/null)"
kill -9 "$squatter" 2>/dev/null || true
wait "$squatter" 2>/dev/null || true
cmp -s <(snapshot) "$work/own.txt" || fail "a refused start changed something"
echo "refused twice with a message"

echo "== asked to end by the system while activated: everything back first"
start_service
start_peer
say ready
wait_log 'Every browser points at the endpoint'
log_mark
if ((wine)); then
  # As at logoff: WM_QUERYENDSESSION and WM_ENDSESSION to every window.
  run wineboot --end-session >/dev/null 2>&1 || true
else
  kill -TERM "$svc"
fi
wait_log 'Asked to end'
rc=0
wait "$svc" || rc=$?
((rc == 0)) || fail "the service ended with $rc"
end_peer
diff <(snapshot) "$work/own.txt" >"$work/diff.txt" || { cat "$work/diff.txt" >&2; fail "not every setting is back"; }
[[ ! -f "$journal" ]] || fail "the journal is left"
echo "switched back before it ended"

echo "== ProxyRevert puts back what a killed service left"
start_service
start_peer
say ready
wait_log 'Every browser points at the endpoint'
kill_service
end_peer
rc=0
run "$proxyrevert" || rc=$?
((rc == 0)) || fail "ProxyRevert ended with $rc: $(cat "$work/errorbox.txt" 2>/dev/null)"
diff <(snapshot) "$work/own.txt" >"$work/diff.txt" || { cat "$work/diff.txt" >&2; fail "not every setting is back"; }
[[ ! -f "$journal" ]] || fail "the journal is left"
rc=0
run "$service" --stop >"$work/stop.out" 2>&1 || rc=$?
((rc == 0)) && grep -q 'no service is running' "$work/stop.out" || fail "--stop without a service: $rc $(cat "$work/stop.out")"
echo "ProxyRevert restored the user's own settings"

echo "== the endpoint's port taken by another program: no start, nothing pointed there"
"${spawn[@]}" "$tools/ipecho/ipecho$exe" --port 35489 --count 1 >"$work/port-squatter.txt" 2>&1 &
port_squatter=$!
pids+=($port_squatter)
for _ in $(seq 100); do grep -q 'listening' "$work/port-squatter.txt" 2>/dev/null && break; sleep 0.1; done
rm -f "$work/errorbox.txt"
rc=0
run "$service" >>"$work/port-squatted.out" 2>&1 || rc=$?
((rc == 5)) || fail "a start beside a port squatter ended with $rc"
grep -q 'The HTTP endpoint cannot start' "$work/errorbox.txt" || fail "no message: $(cat "$work/errorbox.txt" 2>/dev/null)"
kill -9 "$port_squatter" 2>/dev/null || true
wait "$port_squatter" 2>/dev/null || true
cmp -s <(snapshot) "$work/own.txt" || fail "a refused start changed something"
echo "refused with a message"

if [[ -n $nimbra ]] && ((!wine)); then
  echo "== Nimbra's address lookup through the endpoint once activated"
  prepare
  snapshot >"$work/own.txt"
  mkdir -p "$data"
  cp "$simengine" "$data/anon.dll"
  rm -f "$data/anon_settings"
  "$tools/ipecho/ipecho" --answer 198.51.100.7 --count 20 >"$work/ipecho.txt" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q 'listening' "$work/ipecho.txt" 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/ipecho.txt")
  start_service
  # The engine (simulated: its SOCKS port serves 127.0.0.1 only) carries
  # what the endpoint forwards.
  NIMBRA_SIMENGINE_BOOTSTRAP_MS=1000 NIMBRA_IP_LOOKUP_URL="http://127.0.0.1:$port/scripts/whatismyip.php" \
    NIMBRA_IP_LOOKUP_DELAY_MS=4000 "$nimbra" >"$work/nimbra.txt" 2>&1 &
  nimbra_pid=$!
  pids+=($nimbra_pid)
  wait_log 'Every browser points at the endpoint' 90
  wait_log 'Endpoint: ready'
  for _ in $(seq 600); do grep -q '198\.51\.100\.7' "$work/nimbra.txt" && break; sleep 0.1; done
  grep -q '198\.51\.100\.7' "$work/nimbra.txt" || fail "Nimbra does not show the address: $(tail -n 20 "$work/nimbra.txt")"
  grep -q 'GET /scripts/whatismyip.php HTTP/1.1' "$work/ipecho.txt" || fail "ipecho: $(cat "$work/ipecho.txt")"
  # Nimbra ends normally: the service switches back.
  log_mark
  kill -INT "$nimbra_pid"
  rc=0
  wait "$nimbra_pid" || rc=$?
  ((rc == 0)) || fail "Nimbra ended with $rc"
  wait_log 'Every browser.s own proxy settings are back'
  diff <(snapshot) "$work/own.txt" >"$work/diff.txt" || { cat "$work/diff.txt" >&2; fail "not every setting is back"; }
  stop_service
  # The one lookup was the endpoint's one connection.
  grep -Eq 'Endpoint: Stopped after [1-9][0-9]* browser connections' "$log" ||
    fail "the lookup did not go through the endpoint: $(grep 'Endpoint:' "$log" | tail -n 3)"
  echo "the lookup went through the endpoint; Nimbra's normal end switched back"
fi
echo "PASS"
