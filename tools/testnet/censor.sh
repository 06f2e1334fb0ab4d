#!/usr/bin/env bash
# A censor for the private onion network of testnet.sh, for proving that a
# client gets through an obfs4 bridge and nothing else. Firewall rules
# (nftables) inside the network's namespace drop every packet of the client
# to the network except those to the bridge's obfs4 port, and count them by
# where they were headed.
#
#   censor.sh DIR on        install the rules (again, with counters at zero)
#   censor.sh DIR off       remove them
#   censor.sh DIR counters  print "NAME PACKETS" for each drop rule:
#                           authorities (their OR and directory ports),
#                           relays (the relays' and exits' OR ports),
#                           bridge-orport (the bridge's plain OR port), and
#                           other (anything else the client sent); then
#                           bridge-obfs4, the packets let through to the
#                           bridge's obfs4 port
#   censor.sh DIR reset     set the counters to zero
#   censor.sh DIR exec COMMAND [ARGS...]
#                           run COMMAND as the censored client
#
# DIR is the folder testnet.sh started the network in; its endpoint files
# say what is where. Addresses cannot tell the client from the nodes: tor
# binds no connection to a loopback destination, so the nodes' connections
# to each other come from 127.0.0.1 as the client's do. The client is told
# apart by the group id its sockets carry instead: "exec" runs it (as the
# same user, so it may read and write what it could before) with the group
# id 4242 (NIMBRA_CENSORED_GID), and whatever it starts inherits it: tor's
# transports, and under Wine the wineserver, which makes a Windows
# program's sockets (so that must start under exec, not before). The
# client may reach 127.0.0.1, where its own control, SOCKS and transport
# ports are. A packet counts as soon as the client sends it, whether or not
# a connection ever came of it.
set -euo pipefail

readonly TABLE=nimbra_censor
readonly COUNTERS=(authorities relays bridge-orport other bridge-obfs4)
readonly CENSORED_GID=${NIMBRA_CENSORED_GID:-4242}

log() { printf '[censor] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
usage() { sed -n '2,35s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2; }

# Rules only where the network lives: testnet.sh's namespace of loopback
# alone.
# shellcheck source=tools/testnet/private-network.sh
source "$(dirname "${BASH_SOURCE[0]}")/private-network.sh"

# "ADDRESS PORT" lines of an endpoint file as nft set elements, comma
# separated; nothing for a missing or empty file. Bad lines stop the script:
# a rule that matched less than the file says would prove nothing.
endpoint_elements() {
  local file=$1 address port out=()
  [[ -f $file ]] || return 0
  while read -r address port; do
    [[ -z $address ]] && continue
    [[ $address =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ && $port =~ ^[0-9]+$ ]] ||
      die "$file: not an endpoint: '$address $port'"
    out+=("$address . $port")
  done <"$file"
  local IFS=,
  printf '%s' "${out[*]}"
}

# The rules as one nft script: replacing the table is a single transaction,
# so nothing passes between the old rules and the new. Only packets of the
# client's sockets go to its chain; the nodes' traffic, and packets of no
# socket (the system's resets and time-wait answers), pass untouched.
ruleset() {
  local dir=$1 authorities relays bridge_orport obfs4
  authorities=$(endpoint_elements "$dir/authority-endpoints")
  relays=$(endpoint_elements "$dir/relay-endpoints")
  bridge_orport=$(endpoint_elements "$dir/bridge-orport-endpoint")
  obfs4=$(endpoint_elements "$dir/bridge-obfs4-endpoint")
  [[ -n $authorities && -n $relays ]] || die "no endpoints in $dir: did testnet.sh start there?"

  printf 'table inet %s\ndelete table inet %s\n' "$TABLE" "$TABLE"
  printf 'table inet %s {\n' "$TABLE"
  printf '  counter %s { }\n' authorities relays bridge_orport other bridge_obfs4
  printf '  set authority_ports { type ipv4_addr . inet_service; elements = { %s } }\n' "$authorities"
  printf '  set relay_ports { type ipv4_addr . inet_service; elements = { %s } }\n' "$relays"
  printf '  chain output {\n'
  printf '    type filter hook output priority filter; policy accept;\n'
  printf '    meta skgid %s jump client\n' "$CENSORED_GID"
  printf '  }\n'
  printf '  chain client {\n'
  printf '    ip daddr 127.0.0.1 accept\n'
  printf '    ip6 daddr ::1 accept\n'
  [[ -z $obfs4 ]] ||
    printf '    ip daddr . tcp dport { %s } counter name bridge_obfs4 accept\n' "$obfs4"
  printf '    ip daddr . tcp dport @authority_ports counter name authorities drop\n'
  printf '    ip daddr . tcp dport @relay_ports counter name relays drop\n'
  [[ -z $bridge_orport ]] ||
    printf '    ip daddr . tcp dport { %s } counter name bridge_orport drop\n' "$bridge_orport"
  printf '    counter name other drop\n'
  printf '  }\n}\n'
}

censor_on() {
  local dir=$1 rules
  rules=$(ruleset "$dir")
  nft -f - <<<"$rules" || die "nft refused the rules"
  log "on: group $CENSORED_GID reaches $(if [[ -f $dir/bridge-obfs4-endpoint ]]; then
    echo "only the bridge's obfs4 port $(tr ' ' : <"$dir/bridge-obfs4-endpoint")"
  else echo "nothing"; fi) of the network"
}

censor_off() {
  if nft list table inet "$TABLE" >/dev/null 2>&1; then
    nft delete table inet "$TABLE"
  fi
  log "off"
}

counters() {
  local name packets
  nft list table inet "$TABLE" >/dev/null 2>&1 || die "the censor is off"
  for name in "${COUNTERS[@]}"; do
    packets=$(nft list counter inet "$TABLE" "${name//-/_}" |
      awk '$1 == "packets" { print $2 }')
    [[ $packets =~ ^[0-9]+$ ]] || die "no counter $name"
    printf '%s %s\n' "$name" "$packets"
  done
}

reset_counters() {
  local name
  nft list table inet "$TABLE" >/dev/null 2>&1 || die "the censor is off"
  for name in "${COUNTERS[@]}"; do
    nft reset counter inet "$TABLE" "${name//-/_}" >/dev/null
  done
}

[[ $# -ge 2 ]] || usage
dir=$(realpath -m "$1")
command=$2
shift 2
[[ $CENSORED_GID =~ ^[1-9][0-9]*$ ]] || die "not a group id: $CENSORED_GID"
if [[ $command == exec ]]; then
  (($#)) || usage
  # The same user, so the client keeps its access to files.
  exec setpriv --regid "$CENSORED_GID" --clear-groups -- "$@"
fi
(($# == 0)) || usage
require_private_network
command -v nft >/dev/null || die "nft is missing (Debian package nftables)"
case $command in
  on) censor_on "$dir" ;;
  off) censor_off ;;
  counters) counters ;;
  reset) reset_counters ;;
  *) usage ;;
esac
