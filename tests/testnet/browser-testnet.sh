#!/usr/bin/env bash
# A real browser through NimbraService and the real engine in the private
# onion network (run-in-testnet.sh gives it the network and a network
# namespace of its own):
#  - Nimbra, headless with the real engine library on settings that name
#    the network's authorities, gets ready; the service then points the
#    user's Firefox profiles at its endpoint;
#  - Firefox (headless, started after that, on one of those profiles) loads
#    a page of www.alpha.test that embeds img.alpha.test and www.beta.test
#    (names the engine maps to the network's service address): the service
#    sees every request from an exit, never from this machine's own address;
#  - the engine's stream events show each site's streams under its
#    registrable domain as the SOCKS user, the two sites on circuits of
#    their own, and no stream to anything else (Firefox's background
#    connections are off, and nothing else may go out through the endpoint);
#  - Nimbra's normal end switches the service back: the profile Firefox did
#    not run on is byte for byte as before; the one it ran on (Firefox
#    rewrites its prefs.js at every start and end) keeps every line Firefox
#    wrote last, with the user's own proxy lines in place of the endpoint's.
#   browser-testnet.sh WORK_DIR SERVICE NIMBRA ENGINE_LIBRARY ECHO_PROGRAM
# As root only (a network namespace of its own); otherwise skipped (77).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ $# -eq 5 ]] || {
  echo "usage: browser-testnet.sh WORK_DIR SERVICE NIMBRA ENGINE_LIBRARY ECHO_PROGRAM" >&2
  exit 2
}
if [[ $EUID -ne 0 ]]; then
  echo "skipped: needs root for a network namespace"
  exit 77
fi
firefox=$(command -v firefox-esr || command -v firefox || true)
[[ -n $firefox ]] || fail "no firefox-esr (scripts/install-packages.sh installs it)"
if [[ -z ${NIMBRA_TESTNET_DIR:-} ]]; then
  exec "$here/run-in-testnet.sh" "$1" "$0" "$@"
fi
network=$NIMBRA_TESTNET_DIR
work=$(realpath -m "$1/run")
service=$2 nimbra=$3 engine=$4 echo_program=$5
started=$SECONDS
rm -rf "$work"
mkdir -p "$work"

pids=()
events_pid=''
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
step() { echo "== [$((SECONDS - started)) s] $*"; }

# The service's user: the registry stand-in, the named objects and
# Nimbra's data in the work folder, Firefox's profiles in its home.
export HOME="$work/home" XDG_DATA_HOME="$work/data" NIMBRA_REGISTRY_FILE="$work/registry.reg"
export NIMBRA_NAMED_OBJECTS="$work/named" NIMBRA_ERROR_BOX_FILE="$work/errorbox.txt"
unset XDG_CONFIG_HOME
mkdir -p "$NIMBRA_NAMED_OBJECTS" "$HOME"
data="$XDG_DATA_HOME/Nimbra"
log="$data/nimbra-service.log"
profiles="$HOME/.mozilla/firefox"
used="$profiles/nimbra.default" idle="$profiles/other.work"
mkdir -p "$data" "$used" "$idle"
printf '; registry stand-in\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Nimbra\\DebugMode]\n' \
  >"$NIMBRA_REGISTRY_FILE"

wait_for() {  # FILE TEXT (extended regular expression) SECONDS
  local _
  for _ in $(seq $(($3 * 10))); do
    grep -Eq "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

step "the site: an address echo on the service address, and its page"
service_address=$(cat "$network/service-address")
"$echo_program" "$service_address" "$work/page.html" >"$work/echo.txt" &
pids+=("$!")
wait_for "$work/echo.txt" '^[0-9]+$' 120 || fail "the address echo did not start"
port=$(head -n 1 "$work/echo.txt")
cat >"$work/page.html" <<EOF
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>alpha</title></head><body>
<p>www.alpha.test, seen from:</p>
<iframe src="http://img.alpha.test:$port/same-site"></iframe>
<iframe src="http://www.beta.test:$port/other-site"></iframe>
</body></html>
EOF
sites=(www.alpha.test img.alpha.test www.beta.test)

step "Nimbra's engine settings: the network's authorities, the sites' names"
# As the host writes them (it leaves an existing file as it is), then the
# network's lines and the names, which the engine maps itself: nothing here
# resolves names.
{
  printf 'SocksListenAddress 127.0.0.1\r\nSocksPort 35491\r\nControlPort 35490\r\n'
  printf 'CookieAuthentication 1\r\nDataDirectory %s/cache\r\nLog warn file %s/anon.dll.log\r\n' \
    "$data" "$data"
  tr -d '\r' <"$network/client-settings" | sed 's/$/\r/'
  for site in "${sites[@]}"; do printf 'MapAddress %s %s\r\n' "$site" "$service_address"; done
} >"$data/anon_settings"
authorities=$(grep -c '^DirAuthority ' "$data/anon_settings" || true)
local_authorities=$(grep -cE '^DirAuthority .* 127\.[0-9]+\.[0-9]+\.[0-9]+:[0-9]+ ' \
  "$data/anon_settings" || true)
((authorities > 0 && authorities == local_authorities)) &&
  ! grep -qiE '^(FallbackDir|Bridge|UseBridges|%include)' "$data/anon_settings" ||
  fail "the engine settings would leave the private network"
cp "$engine" "$data/anon.dll"
printf '[Options]\r\nRunMinim=1\r\nSwitchPeriod=30\r\n' >"$data/options.ini"

step "the user's Firefox profiles"
# Firefox's own connections (updates, telemetry, lists, captive portal and
# connectivity checks, predictions) are off: every stream of the engine
# must be one of the sites.
quiet_prefs() {
  local pref
  for pref in \
    'app.normandy.enabled", false' 'app.shield.optoutstudies.enabled", false' \
    'app.update.auto", false' 'app.update.enabled", false' \
    'browser.aboutHomeSnippets.updateUrl", ""' 'browser.discovery.enabled", false' \
    'browser.newtabpage.enabled", false' 'browser.ping-centre.telemetry", false' \
    'browser.region.network.url", ""' 'browser.region.update.enabled", false' \
    'browser.safebrowsing.blockedURIs.enabled", false' \
    'browser.safebrowsing.downloads.enabled", false' \
    'browser.safebrowsing.downloads.remote.enabled", false' \
    'browser.safebrowsing.malware.enabled", false' 'browser.safebrowsing.phishing.enabled", false' \
    'browser.safebrowsing.provider.google4.updateURL", ""' \
    'browser.safebrowsing.provider.mozilla.updateURL", ""' \
    'browser.search.geoip.url", ""' 'browser.search.update", false' \
    'browser.shell.checkDefaultBrowser", false' 'browser.startup.homepage", "about:blank"' \
    'browser.startup.page", 0' 'browser.urlbar.speculativeConnect.enabled", false' \
    'captivedetect.canonicalURL", ""' 'datareporting.healthreport.uploadEnabled", false' \
    'datareporting.policy.dataSubmissionEnabled", false' 'extensions.blocklist.enabled", false' \
    'extensions.getAddons.cache.enabled", false' 'extensions.systemAddon.update.enabled", false' \
    'extensions.update.enabled", false' 'geo.provider.network.url", ""' \
    'identity.fxaccounts.enabled", false' 'media.gmp-gmpopenh264.enabled", false' \
    'media.gmp-manager.updateEnabled", false' 'messaging-system.rsexperimentloader.enabled", false' \
    'network.captive-portal-service.enabled", false' 'network.connectivity-service.enabled", false' \
    'network.dns.disablePrefetch", true' 'network.http.speculative-parallel-limit", 0' \
    'network.predictor.enabled", false' 'network.prefetch-next", false' 'network.trr.mode", 5' \
    'services.settings.server", "http://127.0.0.1:9/v1"' 'toolkit.telemetry.enabled", false' \
    'toolkit.telemetry.server", ""'; do
    printf 'user_pref("%s);\n' "$pref"
  done
}
# The profile Firefox runs on: the user's own proxy (a corporate one on an
# address nothing here reaches) among the rest.
{
  quiet_prefs
  printf 'user_pref("network.proxy.http", "192.0.2.10");\nuser_pref("network.proxy.http_port", 3128);\n'
  printf 'user_pref("network.proxy.type", 1);\n'
} >"$used/prefs.js"
# The profile left alone: CR LF, no line end at the end.
printf 'user_pref("a", 1);\r\nuser_pref("network.proxy.socks", "10.0.0.3");\r\nuser_pref("network.proxy.socks_port", 1080);' \
  >"$idle/prefs.js"
cp "$used/prefs.js" "$work/used-own.js"
cp "$idle/prefs.js" "$work/idle-own.js"

step "the service, then Nimbra with the real engine"
"$service" >"$work/service.out" 2>&1 &
service_pid=$!
pids+=("$service_pid")
wait_for "$log" 'StatusServer: Listening on the pipe' 60 || fail "the service did not start: $(cat "$work/service.out")"
# Nimbra's own address lookup asks the site too (through the endpoint once
# activated): its stream is the only other one allowed.
NIMBRA_IP_LOOKUP_URL="http://$service_address:$port/scripts/whatismyip.php" \
  NIMBRA_IP_LOOKUP_DELAY_MS=2000 "$nimbra" >"$work/nimbra.txt" 2>&1 &
nimbra_pid=$!
pids+=("$nimbra_pid")
wait_for "$log" 'Every browser points at the endpoint' 240 || {
  tail -n 20 "$log" "$data/anon.dll.log" >&2 || true
  fail "the service never activated (Nimbra not ready?)"
}
wait_for "$log" 'Endpoint: ready' 30 || fail "the endpoint is not ready: $(tail -n 5 "$log")"
grep -q 'user_pref("network.proxy.http_port", 35489);' "$used/prefs.js" ||
  fail "the profile does not point at the endpoint: $(cat "$used/prefs.js")"
step "activated"

# The engine's stream events, from before the browser's first request.
cookie=$(od -An -v -t x1 "$data/cache/control_auth_cookie" | tr -d ' \n')
[[ ${#cookie} -eq 64 ]] || fail "no control cookie in $data/cache"
exec 7<>/dev/tcp/127.0.0.1/35490
printf 'AUTHENTICATE %s\r\nSETEVENTS STREAM\r\n' "$cookie" >&7
cat <&7 >"$work/stream-events.txt" &
events_pid=$!
pids+=("$events_pid")
for _ in $(seq 100); do
  (($(grep -c '^250 OK' "$work/stream-events.txt") >= 2)) && break
  sleep 0.1
done
(($(grep -c '^250 OK' "$work/stream-events.txt") >= 2)) ||
  fail "the control port refused the events: $(cat "$work/stream-events.txt")"

step "Firefox loads the page"
# Its settings server is the pref's (a closed port here, reached directly)
# only with this set.
MOZ_REMOTE_SETTINGS_DEVTOOLS=1 "$firefox" --headless --no-remote --profile "$used" --window-size 800,600 \
  --screenshot "$work/page.png" "http://www.alpha.test:$port/" >"$work/firefox.txt" 2>&1 &
firefox_pid=$!
pids+=("$firefox_pid")
for _ in $(seq 1500); do kill -0 "$firefox_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$firefox_pid" 2>/dev/null; then
  fail "Firefox did not finish the page in 150 s: $(tail -n 5 "$work/firefox.txt")"
fi
rc=0
wait "$firefox_pid" || rc=$?
((rc == 0)) || fail "Firefox ended with $rc: $(tail -n 5 "$work/firefox.txt")"
[[ -s $work/page.png ]] || fail "Firefox took no screenshot"
step "Firefox ended"

# What the site saw: every site's request, from an exit.
for site in "${sites[@]}"; do
  wait_for "$work/echo.txt" "^[^ ]+ $site:$port " 10 || fail "$site was never asked: $(cat "$work/echo.txt")"
done
while read -r peer host target; do
  [[ " ${sites[*]} " == *" ${host%:*} "* ]] || continue  # Nimbra's own lookup
  grep -qxF "$peer" "$network/exit-addresses" ||
    fail "the site saw $host$target from $peer, not from an exit"
  echo "site: $host$target from exit $peer"
done < <(tail -n +2 "$work/echo.txt")

# Every stream the engine was asked for: the target as asked ("NEW"), the
# SOCKS user, and the circuit it succeeded on ("-" when it did not).
streams() {
  tr -d '\r' <"$work/stream-events.txt" | awk '
    $1 == "650" && $2 == "STREAM" {
      if ($4 == "NEW") {
        order[++n] = $3
        target[$3] = $6
        sub(/:[0-9]+$/, "", target[$3])
        user[$3] = "-"
        circuit[$3] = "-"
        for (i = 7; i <= NF; i++) {
          if ($i ~ /^SOCKS_USERNAME=/) { user[$3] = substr($i, 16); gsub(/"/, "", user[$3]) }
        }
      }
      if ($4 == "SUCCEEDED") circuit[$3] = $5
    }
    END { for (i = 1; i <= n; i++) print target[order[i]], user[order[i]], circuit[order[i]] }'
}
for _ in $(seq 50); do  # the last events may still be on their way
  streams >"$work/streams.txt"
  (($(grep -c '\.test [^ ]* [0-9]' "$work/streams.txt") >= ${#sites[@]})) && break
  sleep 0.1
done
cat "$work/streams.txt"
circuits_of() { awk -v h="$1" '$1 == h && $3 != "-" { print $3 }' "$work/streams.txt" | sort -u; }
for site in "${sites[@]}"; do
  [[ -n $(circuits_of "$site") ]] || fail "no stream to $site succeeded"
done
while read -r host user _; do
  case $host in
    *.alpha.test) expected=alpha.test ;;
    www.beta.test) expected=beta.test ;;
    "$service_address") expected=$service_address ;;  # Nimbra's own lookup
    *) fail "a stream to $host (user $user) went out: nothing but the sites may" ;;
  esac
  [[ $user == "$expected" ]] || fail "the stream to $host was isolated as '$user', not '$expected'"
done <"$work/streams.txt"
shared=$(comm -12 <({ circuits_of www.alpha.test; circuits_of img.alpha.test; } | sort -u) \
  <(circuits_of www.beta.test))
[[ -z $shared ]] || fail "alpha.test and beta.test shared circuit(s) $shared"
echo "alpha.test on circuit(s) $(circuits_of www.alpha.test | tr '\n' ' ')," \
  "beta.test on $(circuits_of www.beta.test | tr '\n' ' ')"

step "Nimbra ends: the service switches back"
# Firefox wrote its prefs.js as it ended, the endpoint's lines in it.
cp "$used/prefs.js" "$work/used-firefox.js"
grep -q 'user_pref("network.proxy.http", "127.0.0.1");' "$work/used-firefox.js" ||
  fail "Firefox did not keep the endpoint's settings: $(grep network.proxy "$work/used-firefox.js")"
kill -INT "$nimbra_pid"
for _ in $(seq 600); do kill -0 "$nimbra_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$nimbra_pid" 2>/dev/null && fail "Nimbra did not end within 60 s of SIGINT"
rc=0
wait "$nimbra_pid" || rc=$?
((rc == 0)) || fail "Nimbra ended with $rc: $(tail -n 20 "$work/nimbra.txt")"
wait_for "$log" "Every browser.s own proxy settings are back" 60 ||
  fail "the service did not switch back: $(tail -n 10 "$log")"
cmp "$idle/prefs.js" "$work/idle-own.js" || fail "the profile Firefox did not run on is not as before"
proxy_lines='^user_pref\("network\.proxy\.(type|http|http_port|ssl|ssl_port|socks|socks_port|socks_remote_dns)",'
diff <(grep -Ev "$proxy_lines" "$work/used-firefox.js") <(grep -Ev "$proxy_lines" "$used/prefs.js") ||
  fail "the switch back lost or changed lines Firefox wrote"
diff <(grep -E "$proxy_lines" "$work/used-own.js" | sort) <(grep -E "$proxy_lines" "$used/prefs.js" | sort) ||
  fail "the user's own proxy lines are not back"
echo "prefs.js back: the idle profile byte for byte, the used one with the user's own proxy"

"$service" --stop >"$work/stop.out" 2>&1 || fail "--stop: $(cat "$work/stop.out")"
rc=0
wait "$service_pid" || rc=$?
((rc == 0)) || fail "the service ended with $rc"
grep -Eq 'Endpoint: Stopped after [1-9][0-9]* browser connections' "$log" ||
  fail "the endpoint carried nothing: $(grep 'Endpoint:' "$log" | tail -n 3)"
echo "PASS in $((SECONDS - started)) s: Firefox through the endpoint, one circuit per site, switched back"
