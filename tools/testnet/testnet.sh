#!/usr/bin/env bash
# A private onion network on loopback for the engine tests and the demo:
# three directory authorities, two relays and three exits, each on an
# address of its own in 127.0.0.0/8, run by the system's tor with
# "TestingTorNetwork 1" so that a consensus is voted within a minute.
#
#   testnet.sh start DIR [PID] [--bridge]
#                             make the keys (first use) and start every
#                             node; with PID, the nodes end when it does;
#                             with --bridge also an obfs4 bridge (below)
#   testnet.sh wait DIR [S]   wait up to S seconds (180) until the consensus
#                             lists every node running and the exits as
#                             fast, stable exits at the bandwidth the
#                             authorities measure for all alike, and until
#                             the bridge, if started, serves clients
#   testnet.sh client DIR     print the settings lines an engine needs to use
#                             the network (kept in DIR/client-settings; the
#                             exits' addresses are in DIR/exit-addresses)
#   testnet.sh bridge DIR     print the bridge's line for a client's "Bridge"
#                             setting, "obfs4 ADDRESS:PORT FINGERPRINT cert=...
#                             iat-mode=0" (after wait; kept in DIR/bridge-line)
#   testnet.sh stop DIR       stop the nodes this folder's start began
#
# The bridge is a relay that is in no consensus: clients reach it only
# through the obfs4 transport (obfs4proxy, found as NIMBRA_TESTNET_OBFS4PROXY,
# in the native prefix of scripts/build-mingw-deps.sh or on PATH) and learn
# its descriptor from the bridge itself. For firewall rules, DIR holds one
# "ADDRESS PORT" a line of the authorities' ports (authority-endpoints), the
# relays' and exits' (relay-endpoints), the bridge's obfs4 port
# (bridge-obfs4-endpoint) and its own ORPort (bridge-orport-endpoint), and
# the nodes' addresses, the bridge's too (node-addresses).
#
# The nodes know no address outside 127.0.0.0/8 and the script runs only
# where nothing else can be reached: in a network namespace whose one
# interface is the loopback one (unshare -n; "ip link set lo up" first).
# The exits bind their outgoing connections to their own address, so a
# server behind them sees which exit a request came through; as Tor never
# binds a connection to a loopback destination, such a server listens on
# the namespace's service address (DIR/service-address, 198.18.0.1 of the
# benchmarking range), which start adds to the loopback interface.
set -euo pipefail

readonly TOR="${NIMBRA_TESTNET_TOR:-/usr/bin/tor}"
readonly SERVICE_ADDRESS=198.18.0.1
readonly GENCERT="${NIMBRA_TESTNET_GENCERT:-$(dirname "$TOR")/tor-gencert}"
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly SCRIPT_DIR

# name role address orport dirport (authorities serve directories)
readonly NODES=(
  "auth1 authority 127.0.0.11 5011 7011"
  "auth2 authority 127.0.0.12 5012 7012"
  "auth3 authority 127.0.0.13 5013 7013"
  "relay1 relay 127.0.0.14 5014 0"
  "relay2 relay 127.0.0.15 5015 0"
  "exit1 exit 127.0.0.16 5016 0"
  "exit2 exit 127.0.0.17 5017 0"
  "exit3 exit 127.0.0.18 5018 0"
)
# The bridge: name address orport obfs4port controlport. The control port
# tells wait when the bridge serves its descriptor.
readonly BRIDGE="bridge 127.0.0.19 5019 6019 8019"

log() { printf '[testnet] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

usage() { sed -n '2,40s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2; }

# shellcheck source=tools/testnet/private-network.sh
source "$SCRIPT_DIR/private-network.sh"

# The address a server for the network's clients listens on, on loopback.
add_service_address() {
  ip -o addr show dev lo | grep -qF " $SERVICE_ADDRESS/" ||
    ip addr add "$SERVICE_ADDRESS/32" dev lo || die "cannot add $SERVICE_ADDRESS to lo"
  echo "$SERVICE_ADDRESS" >"$1/service-address"
}

is_loopback() { [[ $1 =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; }

node_field() { # node_field "<node line>" INDEX
  local -a f
  read -r -a f <<<"$1"
  printf '%s' "${f[$2]}"
}

# One DirAuthority line per authority, from the keys made for it.
authority_lines() {
  local dir=$1 node name address orport dirport v3 rsa
  for node in "${NODES[@]}"; do
    [[ $(node_field "$node" 1) == authority ]] || continue
    name=$(node_field "$node" 0)
    address=$(node_field "$node" 2)
    orport=$(node_field "$node" 3)
    dirport=$(node_field "$node" 4)
    v3=$(awk '$1 == "fingerprint" { print $2 }' "$dir/$name/keys/authority_certificate")
    rsa=$(awk '{ print $2 }' "$dir/$name/fingerprint")
    [[ -n $v3 && -n $rsa ]] || die "$name: keys are missing"
    printf 'DirAuthority %s orport=%s no-v2 v3ident=%s %s:%s %s\n' \
      "$name" "$orport" "$v3" "$address" "$dirport" "$rsa"
  done
}

make_keys() {
  local dir=$1 node name role address dirport
  for node in "${NODES[@]}" "$(bridge_as_node)"; do
    name=$(node_field "$node" 0)
    role=$(node_field "$node" 1)
    address=$(node_field "$node" 2)
    dirport=$(node_field "$node" 4)
    is_loopback "$address" || die "$name: $address is not a loopback address"
    [[ -f $dir/$name/fingerprint ]] && continue
    mkdir -p "$dir/$name/keys"
    chmod 700 "$dir/$name"
    if [[ $role == authority ]]; then
      "$GENCERT" --create-identity-key -m 12 -a "$address:$dirport" \
        -i "$dir/$name/keys/authority_identity_key" \
        -s "$dir/$name/keys/authority_signing_key" \
        -c "$dir/$name/keys/authority_certificate" \
        --passphrase-fd 0 </dev/null >/dev/null 2>&1 || die "$name: tor-gencert failed"
    fi
    # Makes the relay's identity keys and writes its fingerprint; nothing is
    # dialled, as the network stays off.
    : >"$dir/empty-settings"
    "$TOR" --list-fingerprint --defaults-torrc /dev/null -f "$dir/empty-settings" \
      --DataDirectory "$dir/$name" --Nickname "$name" --ORPort "$address:1" \
      --DisableNetwork 1 --Log "err stderr" >/dev/null || die "$name: no fingerprint"
  done
}

# What the authorities vote as every node's measured bandwidth: the same for
# all. Left to what the relays report of themselves, the first exit to finish
# its bandwidth self-test outweighs the others for minutes, and the circuits
# a client builds meanwhile all leave through it.
write_bandwidths() {
  local dir=$1 node fingerprint
  {
    date +%s
    for node in "${NODES[@]}"; do
      fingerprint=$(awk '{ print $2 }' "$dir/$(node_field "$node" 0)/fingerprint")
      [[ -n $fingerprint ]] || die "$(node_field "$node" 0): no fingerprint"
      printf 'node_id=$%s bw=100\n' "$fingerprint"
    done
  } >"$dir/bandwidths"
}

# What every node's settings begin with. Usage: node_settings DIR OWNER
# AUTHORITY_LINES NAME ADDRESS ORPORT
node_settings() {
  local dir=$1 owner=$2 authorities=$3 name=$4 address=$5 orport=$6
  cat <<EOF
TestingTorNetwork 1
$authorities
Nickname $name
DataDirectory $dir/$name
PidFile $dir/$name/pid
Log notice file $dir/$name/notice.log
RunAsDaemon 1
SafeLogging 0
ContactInfo testnet-$name@localhost
Address $address
ORPort $address:$orport
OutboundBindAddress $address
SocksPort 0
AssumeReachable 1
ShutdownWaitLength 0
${owner:+__OwningControllerProcess $owner}
# A vote every 20 seconds, so a network is up within a minute.
TestingV3AuthInitialVotingInterval 20
TestingV3AuthInitialVoteDelay 4
TestingV3AuthInitialDistDelay 4
V3AuthVotingInterval 20
V3AuthVoteDelay 4
V3AuthDistDelay 4
EOF
}

# Where the nodes listen, and their addresses, for firewall rules.
write_endpoints() {
  local dir=$1 node role address orport dirport name
  : >"$dir/authority-endpoints.new"
  : >"$dir/relay-endpoints.new"
  : >"$dir/node-addresses.new"
  for node in "${NODES[@]}"; do
    role=$(node_field "$node" 1)
    address=$(node_field "$node" 2)
    orport=$(node_field "$node" 3)
    dirport=$(node_field "$node" 4)
    echo "$address" >>"$dir/node-addresses.new"
    if [[ $role == authority ]]; then
      printf '%s %s\n%s %s\n' "$address" "$orport" "$address" "$dirport" \
        >>"$dir/authority-endpoints.new"
    else
      printf '%s %s\n' "$address" "$orport" >>"$dir/relay-endpoints.new"
    fi
  done
  printf '%s\n' "$(bridge_field 1)" >>"$dir/node-addresses.new"
  for name in authority-endpoints relay-endpoints node-addresses; do
    mv -f "$dir/$name.new" "$dir/$name"
  done
}

write_configs() {
  local dir=$1 owner=$2 authorities node name role address orport dirport
  authorities="$(authority_lines "$dir")"
  write_bandwidths "$dir"
  write_endpoints "$dir"
  : >"$dir/exit-addresses"
  for node in "${NODES[@]}"; do
    name=$(node_field "$node" 0)
    role=$(node_field "$node" 1)
    address=$(node_field "$node" 2)
    orport=$(node_field "$node" 3)
    dirport=$(node_field "$node" 4)
    {
      node_settings "$dir" "$owner" "$authorities" "$name" "$address" "$orport"
      echo "ControlPort 0"
      case $role in
        authority)
          cat <<EOF
DirPort $address:$dirport
AuthoritativeDirectory 1
V3AuthoritativeDirectory 1
# Exits are not guards: bandwidth weights that favour Guard+Exit nodes for
# the middle would leave new circuits on the one exit without the flag.
TestingDirAuthVoteGuard auth1,auth2,auth3,relay1,relay2
TestingDirAuthVoteGuardIsStrict 1
TestingDirAuthVoteHSDir *
TestingDirAuthVoteExit exit1,exit2,exit3
TestingMinExitFlagThreshold 0
TestingMinFastFlagThreshold 0
# Clients build exit circuits only through Fast relays, and the slowest
# eighth of a network this small goes without the flag: cap the threshold
# so that every exit is one a new identity may pick.
AuthDirFastGuarantee 1 KBytes
V3BandwidthsFile $dir/bandwidths
# Every node Stable: the circuits a client builds ahead need it, and in a
# network minutes old only the nodes up longest would get it, leaving those
# circuits one exit.
AuthDirVoteStableGuaranteeMinUptime 0
AuthDirVoteStableGuaranteeMTBF 0
ExitPolicy reject *:*
EOF
          ;;
        relay) echo "ExitPolicy reject *:*" ;;
        # A client picks exits by their policies' summaries, which leave out
        # what is accepted for loopback alone: the exits accept everything,
        # and the namespace leaves them nothing but loopback to reach.
        exit)
          echo "$address" >>"$dir/exit-addresses"
          cat <<EOF
ExitRelay 1
ExitPolicy accept *:*
EOF
          ;;
      esac
    } >"$dir/$name/torrc"
  done
  { echo "TestingTorNetwork 1"; printf '%s\n' "$authorities"; } >"$dir/client-settings"
}

bridge_field() { node_field "$BRIDGE" "$1"; }
# The bridge as a NODES line, for what it shares with the other nodes.
bridge_as_node() {
  printf '%s bridge %s %s 0' "$(bridge_field 0)" "$(bridge_field 1)" "$(bridge_field 2)"
}

find_obfs4proxy() {
  local candidate
  for candidate in "${NIMBRA_TESTNET_OBFS4PROXY:-}" \
      "${NIMBRA_NATIVE_DEPS:+$NIMBRA_NATIVE_DEPS/bin/obfs4proxy}" \
      "$("$SCRIPT_DIR/../../scripts/build-mingw-deps.sh" --print-native-prefix 2>/dev/null)/bin/obfs4proxy" \
      "$(command -v obfs4proxy || true)"; do
    [[ -n $candidate && -x $candidate ]] && { realpath "$candidate"; return 0; }
  done
  die "no obfs4proxy: run scripts/build-mingw-deps.sh or set NIMBRA_TESTNET_OBFS4PROXY"
}

# A relay outside the consensus that takes clients on its obfs4 port and
# gives them its descriptor itself.
write_bridge_config() {
  local dir=$1 owner=$2 obfs4proxy=$3 name address
  name=$(bridge_field 0)
  address=$(bridge_field 1)
  {
    node_settings "$dir" "$owner" "$(authority_lines "$dir")" "$name" "$address" \
      "$(bridge_field 2)"
    cat <<EOF
BridgeRelay 1
# No bridge authority here to publish to: clients ask the bridge itself.
PublishServerDescriptor 0
BridgeRecordUsageByCountry 0
ExitPolicy reject *:*
ServerTransportPlugin obfs4 exec $obfs4proxy
ServerTransportListenAddr obfs4 $address:$(bridge_field 3)
ExtORPort auto
ControlPort $address:$(bridge_field 4)
CookieAuthentication 1
EOF
  } >"$dir/$name/torrc"
  printf '%s %s\n' "$address" "$(bridge_field 3)" >"$dir/bridge-obfs4-endpoint"
  printf '%s %s\n' "$address" "$(bridge_field 2)" >"$dir/bridge-orport-endpoint"
}

# Replies of the bridge's control port to the given commands (after
# authenticating with its cookie), or nothing.
bridge_control() {
  local dir=$1 cookie
  shift
  cookie=$(od -An -v -t x1 "$dir/$(bridge_field 0)/control_auth_cookie" 2>/dev/null | tr -d ' \n') ||
    return 1
  [[ -n $cookie ]] || return 1
  exec 4<>"/dev/tcp/$(bridge_field 1)/$(bridge_field 4)" || return 1
  { printf 'AUTHENTICATE %s\r\n' "$cookie"; printf '%s\r\n' "$@" QUIT; } >&4
  timeout 10 cat <&4 || true
  exec 4<&-
}

# The client's bridge line from what obfs4proxy wrote into the bridge's
# state: its cert, with the address, port and fingerprint filled in.
bridge_line() {
  local dir=$1 name fingerprint cert
  name=$(bridge_field 0)
  fingerprint=$(awk '{ print $2 }' "$dir/$name/fingerprint" 2>/dev/null) || return 1
  # The line there reads "Bridge obfs4 <IP ADDRESS>:<PORT> <FINGERPRINT>
  # cert=... iat-mode=...": only its arguments are taken.
  cert=$(awk '$1 == "Bridge" && $2 == "obfs4" {
      for (i = 3; i <= NF; i++) if ($i ~ /^(cert|iat-mode)=/) printf " %s", $i
    }' "$dir/$name/pt_state/obfs4_bridgeline.txt" 2>/dev/null) || return 1
  [[ -n $fingerprint && $cert == " cert="*" iat-mode="* ]] || return 1
  printf 'obfs4 %s:%s %s%s\n' "$(bridge_field 1)" "$(bridge_field 3)" "$fingerprint" "$cert"
}

# A client can use the bridge once its obfs4 port takes connections and the
# bridge has what the client asks it for: its own descriptor and enough
# directory information (a consensus and the relays' descriptors), and it
# has built circuits into the network.
bridge_ready() {
  local dir=$1 replies line
  line=$(bridge_line "$dir") || return 1
  (exec 5<>"/dev/tcp/$(bridge_field 1)/$(bridge_field 3)") 2>/dev/null || return 1
  replies=$(bridge_control "$dir" 'GETINFO status/bootstrap-phase status/enough-dir-info' \
    'GETINFO status/circuit-established' 'GETINFO dir/server/authority' 2>/dev/null) || return 1
  [[ $replies == *"PROGRESS=100 "* && $replies == *"status/enough-dir-info=1"* &&
     $replies == *"status/circuit-established=1"* && $replies == *$'\nrouter '"$(bridge_field 0) "* ]] ||
    return 1
  printf '%s\n' "$line" >"$dir/bridge-line"
}

node_pid() { # the pid of a running node of this folder, or nothing
  local pid
  pid=$(cat "$1/$2/pid" 2>/dev/null) || return 1
  [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null && printf '%s' "$pid"
}

start() {
  local dir=$1 owner=${2:-} with_bridge=${3:-} node name
  require_private_network
  [[ -z $owner || $owner =~ ^[0-9]+$ ]] || die "not a process id: $owner"
  local obfs4proxy=''
  [[ -z $with_bridge ]] || obfs4proxy=$(find_obfs4proxy)
  mkdir -p "$dir"
  add_service_address "$dir"
  make_keys "$dir"
  write_configs "$dir" "$owner"
  local -a nodes=("${NODES[@]}")
  rm -f "$dir/bridge-obfs4-endpoint" "$dir/bridge-orport-endpoint" "$dir/bridge-line"
  if [[ -n $with_bridge ]]; then
    write_bridge_config "$dir" "$owner" "$obfs4proxy"
    nodes+=("$(bridge_as_node)")
  fi
  for node in "${nodes[@]}"; do
    name=$(node_field "$node" 0)
    node_pid "$dir" "$name" >/dev/null && continue
    rm -f "$dir/$name/pid"
    "$TOR" --defaults-torrc /dev/null -f "$dir/$name/torrc" --hush >/dev/null ||
      die "$name did not start; see $dir/$name/notice.log"
  done
  # A daemon writes its pid file after its starter has returned.
  local end=$((SECONDS + 30))
  for node in "${nodes[@]}"; do
    name=$(node_field "$node" 0)
    until node_pid "$dir" "$name" >/dev/null; do
      ((SECONDS < end)) || die "$name did not write its pid file"
      sleep 0.2
    done
  done
  log "started ${#nodes[@]} nodes in $dir${with_bridge:+, one of them the bridge}"
}

# The nodes of the folder's last start: the bridge's endpoint file says
# whether it was one of them.
started_nodes() {
  printf '%s\n' "${NODES[@]}"
  [[ ! -f $1/bridge-obfs4-endpoint ]] || bridge_as_node
}

# The microdescriptor consensus (what clients fetch) of the first authority.
consensus() {
  local address dirport
  address=$(node_field "${NODES[0]}" 2)
  dirport=$(node_field "${NODES[0]}" 4)
  exec 3<>"/dev/tcp/$address/$dirport" || return 1
  printf 'GET /tor/status-vote/current/consensus-microdesc HTTP/1.0\r\n\r\n' >&3
  timeout 10 cat <&3 || true
  exec 3<&-
}

network_ready() {
  local text node name role flags
  text=$(consensus 2>/dev/null) || return 1
  for node in "${NODES[@]}"; do
    name=$(node_field "$node" 0)
    role=$(node_field "$node" 1)
    flags=$(awk -v n="$name" '$1 == "r" { on = ($2 == n) } on && $1 == "s" { print; exit }' \
      <<<"$text")
    [[ $flags == *" Running"* ]] || return 1
    [[ $role != exit || ($flags == *" Exit"* && $flags == *" Fast"* && $flags == *" Stable"*) ]] ||
      return 1
    # Exits weighted by the votes' measurements, not by what they reported.
    # (An authority has no measurement of itself, so theirs stay unmeasured.)
    [[ $role != exit ]] ||
      ! awk -v n="$name" '$1 == "r" { on = ($2 == n) } on && $1 == "w" { print; exit }' \
        <<<"$text" | grep -q "Unmeasured" || return 1
  done
}

wait_ready() {
  local dir=$1 seconds=${2:-180} end node with_bridge=''
  end=$((SECONDS + seconds))
  [[ ! -f $dir/bridge-obfs4-endpoint ]] || with_bridge=1
  until network_ready && { [[ -z $with_bridge ]] || bridge_ready "$dir"; }; do
    while read -r node; do
      node_pid "$dir" "$(node_field "$node" 0)" >/dev/null ||
        die "$(node_field "$node" 0) has stopped; see $dir/$(node_field "$node" 0)/notice.log"
    done < <(started_nodes "$dir")
    ((SECONDS < end)) || die "no consensus with every node${with_bridge:+ and a usable bridge} after $seconds s"
    sleep 2
  done
  log "consensus lists every node${with_bridge:+; the bridge serves clients}"
}

stop() {
  local dir=$1 node name pid pids=()
  # The bridge too, whichever start began it.
  for node in "${NODES[@]}" "$(bridge_as_node)"; do
    name=$(node_field "$node" 0)
    pid=$(node_pid "$dir" "$name") || continue
    kill "$pid" 2>/dev/null || true
    pids+=("$pid")
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  log "stopped ${#pids[@]} nodes"
}

[[ $# -ge 2 ]] || usage
command=$1
dir=$(realpath -m "$2")
shift 2
case $command in
  start)
    owner='' with_bridge=''
    for argument in "$@"; do
      case $argument in
        --bridge) with_bridge=1 ;;
        *) [[ -z $owner ]] || usage; owner=$argument ;;
      esac
    done
    start "$dir" "$owner" "$with_bridge" ;;
  wait) wait_ready "$dir" "${1:-180}" ;;
  client) cat "$dir/client-settings" ;;
  bridge)
    [[ -f $dir/bridge-obfs4-endpoint ]] || die "no bridge was started in $dir"
    cat "$dir/bridge-line" 2>/dev/null || bridge_line "$dir" ||
      die "the bridge has no line yet: run wait first" ;;
  stop) stop "$dir" ;;
  *) usage ;;
esac
