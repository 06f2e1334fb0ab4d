#!/usr/bin/env bash
# Nimbra's engine (the real engine library in CensoredEngineTest) behind the
# censor of tools/testnet/censor.sh in the private onion network with an
# obfs4 bridge:
#  1. without bridges: never ready, the problem reported, and the censor
#     counted what the engine sent towards the authorities;
#  2. with the bridge's line stored through Nimbra's settings: ready, a
#     request out through an exit, and from the first packet on nothing
#     sent to an authority, a relay or anywhere but the bridge's obfs4 port.
#   censored-engine.sh WORK_DIR TEST_PROGRAM ECHO_PROGRAM
# ECHO_PROGRAM is tests/testnet's testnet-address-echo, the service behind
# the exits; it runs outside the censor.
# As root only (a network namespace of its own); otherwise skipped (77).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
testnet="$here/../../tools/testnet/testnet.sh"
censor="$here/../../tools/testnet/censor.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ $# -eq 3 ]] || {
  echo "usage: censored-engine.sh WORK_DIR TEST_PROGRAM ECHO_PROGRAM" >&2
  exit 2
}
if [[ $EUID -ne 0 ]]; then
  echo "skipped: needs root for a network namespace"
  exit 77
fi
if [[ -z ${NIMBRA_TESTNET_DIR:-} ]]; then
  exec "$here/run-in-testnet.sh" --bridge "$1" "$0" "$@"
fi
network=$NIMBRA_TESTNET_DIR
work=$(realpath -m "$1")
program=$2
echo_program=$3
echo_pid=''
cleanup() {
  [[ -z $echo_pid ]] || kill "$echo_pid" 2>/dev/null || true
  "$censor" "$network" off 2>/dev/null || true
}
trap cleanup EXIT

obfs4proxy=$(awk '$1 == "ServerTransportPlugin" && $2 == "obfs4" { print $4 }' \
  "$network/bridge/torrc")
[[ -x $obfs4proxy ]] || fail "no obfs4proxy in the bridge's settings"
bridge_line=$("$testnet" bridge "$network")
echo "bridge: $bridge_line"
counters() { "$censor" "$network" counters | tr '\n' ' '; }
count() { "$censor" "$network" counters | awk -v n="$1" '$1 == n { print $2 }'; }

# A dropped connection attempt is given up after 15 s with three SYN
# retries (this namespace only) instead of two minutes.
echo 3 >/proc/sys/net/ipv4/tcp_syn_retries

echo "== without bridges, behind the censor"
"$censor" "$network" on
"$censor" "$network" exec "$program" --gtest_filter='*WithoutBridges*' ||
  fail "the engine without bridges (see above)"
echo "censor: $(counters)"
(($(count authorities) > 0)) || fail "the censor saw nothing towards the authorities"

echo "== with the bridge stored in Nimbra's settings, behind the censor"
"$echo_program" "$(cat "$network/service-address")" >"$work/echo-port" &
echo_pid=$!
# A loaded machine may take a while to start it.
for _ in $(seq 1200); do
  [[ -s $work/echo-port ]] && break
  kill -0 "$echo_pid" 2>/dev/null || break
  sleep 0.1
done
service_port=$(head -n 1 "$work/echo-port")
[[ $service_port =~ ^[0-9]+$ ]] || fail "the address echo did not start"
"$censor" "$network" on  # counters from zero before the engine's first packet
NIMBRA_BRIDGE_LINE=$bridge_line NIMBRA_OBFS4PROXY=$obfs4proxy NIMBRA_SERVICE_PORT=$service_port \
  "$censor" "$network" exec "$program" --gtest_filter='*ThroughTheBridge*' ||
  fail "the engine through the bridge (see above)"
echo "censor: $(counters)"
for name in authorities relays bridge-orport other; do
  [[ $(count "$name") == 0 ]] || fail "the engine sent packets the censor dropped ($name)"
done
(($(count bridge-obfs4) > 0)) || fail "nothing went through the bridge's obfs4 port"
echo "PASS: stuck and said why without bridges; through the bridge ready, nothing past the censor"
