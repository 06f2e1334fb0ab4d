#!/usr/bin/env bash
# A plain tor client behind a censor (tools/testnet/censor.sh) in the
# private onion network with an obfs4 bridge:
#  1. without bridges it never bootstraps, its bootstrap phase turns to a
#     warning, and the censor counts what it sent to the authorities;
#  2. with the bridge's line (obfs4 through obfs4proxy) it bootstraps to
#     100 percent, a request through its SOCKS port reaches the service
#     behind the exits from an exit's address, and from its first packet on
#     it sent nothing to an authority, relay or anywhere but the bridge's
#     obfs4 port.
#   censored-bridge.sh WORK_DIR ECHO_PROGRAM
# ECHO_PROGRAM is tests/testnet's testnet-address-echo. As root only (a
# network namespace of its own); otherwise it is skipped (77).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
testnet="$here/../../tools/testnet/testnet.sh"
censor="$here/../../tools/testnet/censor.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ $# -eq 2 ]] || { echo "usage: censored-bridge.sh WORK_DIR ECHO_PROGRAM" >&2; exit 2; }
if [[ $EUID -ne 0 ]]; then
  echo "skipped: needs root for a network namespace"
  exit 77
fi
if [[ -z ${NIMBRA_TESTNET_DIR:-} ]]; then
  exec "$here/run-in-testnet.sh" --bridge "$1" "$0" "$@"
fi

network=$NIMBRA_TESTNET_DIR
work=$(realpath -m "$1/client")
echo_program=$2
rm -rf "$work"
mkdir -p "$work"
readonly SOCKS_PORT=9150 CONTROL_PORT=9151 SILENT_SECONDS=60 BOOTSTRAP_SECONDS=120

client_pid=''
echo_pid=''
stop_client() {
  [[ -n $client_pid ]] || return 0
  kill "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  client_pid=''
}
cleanup() {
  stop_client
  [[ -z $echo_pid ]] || kill "$echo_pid" 2>/dev/null || true
  "$censor" "$network" off 2>/dev/null || true
}
trap cleanup EXIT

# Starts tor as the censored client on the network's authorities and the
# settings given, in a data folder of its own ($work/NAME); it ends with
# this script at the latest.
start_client() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  chmod 700 "$work/$name"
  {
    cat "$network/client-settings"
    cat <<EOF
DataDirectory $work/$name
SocksPort 127.0.0.1:$SOCKS_PORT
ControlPort 127.0.0.1:$CONTROL_PORT
CookieAuthentication 1
Log notice file $work/$name/notice.log
SafeLogging 0
__OwningControllerProcess $$
EOF
    printf '%s\n' "$@"
  } >"$work/$name/torrc"
  # As the censored client: the censor drops what its sockets send.
  "$censor" "$network" exec tor --defaults-torrc /dev/null -f "$work/$name/torrc" --hush \
    >/dev/null 2>&1 &
  client_pid=$!
  client_dir="$work/$name"
}

# The client's answer to a GETINFO key (after authenticating with its
# cookie); nothing while its control port is not open.
getinfo() {
  local cookie
  cookie=$(od -An -v -t x1 "$client_dir/control_auth_cookie" 2>/dev/null | tr -d ' \n')
  [[ -n $cookie ]] || return 0
  exec 3<>"/dev/tcp/127.0.0.1/$CONTROL_PORT" 2>/dev/null || return 0
  printf 'AUTHENTICATE %s\r\nGETINFO %s\r\nQUIT\r\n' "$cookie" "$1" >&3
  timeout 10 cat <&3 | tr -d '\r' | sed -n "s|^250[-+]$1=||p" || true
  exec 3<&-
}

counter() { "$censor" "$network" counters | awk -v n="$1" '$1 == n { print $2 }'; }

exits=$(tr '\n' ' ' <"$network/exit-addresses")
obfs4proxy=$(awk '$1 == "ServerTransportPlugin" && $2 == "obfs4" { print $4 }' \
  "$network/bridge/torrc")
[[ -x $obfs4proxy ]] || fail "no obfs4proxy in the bridge's settings"
bridge_line=$("$testnet" bridge "$network")
# What obfs4proxy wrote, filled in, must be the line tor wrote itself.
[[ "Bridge $bridge_line" == "$(cat "$network/bridge/bridgelines")" ]] ||
  fail "bridge line '$bridge_line' is not tor's '$(cat "$network/bridge/bridgelines")'"
echo "bridge: $bridge_line"

echo "== without bridges, behind the censor"
# A dropped connection attempt fails when the system gives up on it, after
# two minutes with the default six SYN retries; with three (in this
# namespace only) it takes 15 s, and tor reports the failure sooner.
echo 3 >/proc/sys/net/ipv4/tcp_syn_retries
"$censor" "$network" on
start_client direct
warned='' phase=''
end=$((SECONDS + SILENT_SECONDS))
while ((SECONDS < end)); do
  kill -0 "$client_pid" 2>/dev/null || fail "the client ended; see $client_dir/notice.log"
  phase=$(getinfo status/bootstrap-phase)
  [[ $phase != *"PROGRESS=100 "* ]] || fail "bootstrapped through the censor: $phase"
  [[ $phase != WARN* ]] || warned=$phase
  sleep 2
done
echo "last phase: $phase"
[[ -n $warned ]] || fail "no warning in the bootstrap phase in $SILENT_SECONDS s (last: $phase)"
echo "warned: $warned"
stop_client
blocked_authorities=$(counter authorities)
echo "dropped: $("$censor" "$network" counters | tr '\n' ' ')"
((blocked_authorities > 0)) || fail "the censor saw nothing towards the authorities"

echo "== with the obfs4 bridge, behind the censor"
# Counting from zero before the client's first packet.
"$censor" "$network" on
start_client bridged "UseBridges 1" "ClientTransportPlugin obfs4 exec $obfs4proxy" \
  "Bridge $bridge_line"
started=$SECONDS
phase=''
while [[ $phase != *"PROGRESS=100 "* ]]; do
  kill -0 "$client_pid" 2>/dev/null || fail "the client ended; see $client_dir/notice.log"
  ((SECONDS - started < BOOTSTRAP_SECONDS)) ||
    fail "not bootstrapped through the bridge in $BOOTSTRAP_SECONDS s (last: $phase)"
  sleep 1
  phase=$(getinfo status/bootstrap-phase)
done
echo "bootstrapped in $((SECONDS - started)) s: $phase"
grep -q "new bridge descriptor 'bridge'" "$client_dir/notice.log" ||
  fail "the client did not learn the bridge's descriptor"

service=$(cat "$network/service-address")
"$echo_program" "$service" >"$work/echo-port" &
echo_pid=$!
# A loaded machine may take a while to start it.
for _ in $(seq 1200); do
  [[ -s $work/echo-port ]] && break
  kill -0 "$echo_pid" 2>/dev/null || break
  sleep 0.1
done
port=$(head -n 1 "$work/echo-port")
[[ $port =~ ^[0-9]+$ ]] || fail "the address echo did not start"
# The first stream may meet a circuit that fails on the way; tor builds
# another.
seen=''
for _ in $(seq 5); do
  seen=$(curl -s --max-time 60 --socks5 "127.0.0.1:$SOCKS_PORT" "http://$service:$port/" || true)
  [[ " $exits " != *" $seen "* ]] || break
  sleep 2
done
[[ -n $seen && " $exits " == *" $seen "* ]] || fail "the service saw '$seen', not one of the exits ($exits)"
echo "the service saw the request from exit $seen"

counts=$("$censor" "$network" counters)
echo "censor: $(tr '\n' ' ' <<<"$counts")"
for name in authorities relays bridge-orport other; do
  [[ $(awk -v n="$name" '$1 == n { print $2 }' <<<"$counts") == 0 ]] ||
    fail "the client sent packets the censor dropped ($name)"
done
(($(awk '$1 == "bridge-obfs4" { print $2 }' <<<"$counts") > 0)) ||
  fail "nothing went through the bridge's obfs4 port"
echo "PASS: blocked without bridges; through the obfs4 bridge ready and out through $seen, nothing sent past the censor"
