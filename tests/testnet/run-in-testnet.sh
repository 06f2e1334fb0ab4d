#!/usr/bin/env bash
# Runs a test program against a private onion network of its own, inside a
# network namespace of its own, where loopback is the only network: the
# relays, the engine and the test's servers cannot reach anything else, and
# the engine's fixed ports do not meet another test's.
#   run-in-testnet.sh [--wineprefix DIR] [--bridge] WORK_DIR PROGRAM [ARGS...]
# The program finds the network's folder in NIMBRA_TESTNET_DIR (with
# --bridge the network has an obfs4 bridge, see testnet.sh); the network
# is torn down when the program ends (and by the nodes themselves should
# this script be killed). Wine creates a program's sockets in its
# wineserver, so a Windows program is in the namespace only with a prefix
# whose server starts here: --wineprefix names one that nothing outside
# uses; its server is ended before and after.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
testnet="$here/../../tools/testnet/testnet.sh"

if [[ -z ${NIMBRA_IN_TESTNET_NAMESPACE:-} ]]; then
  exec unshare -n env NIMBRA_IN_TESTNET_NAMESPACE=1 bash "${BASH_SOURCE[0]}" "$@"
fi
ip link set lo up

wineprefix='' bridge=()
while [[ ${1:-} == --* ]]; do
  case $1 in
    --wineprefix)
      wineprefix="$(realpath -m "$2")"
      shift 2
      export WINEPREFIX="$wineprefix"
      wineserver -k 2>/dev/null || true ;;
    --bridge) bridge=(--bridge); shift ;;
    *) break ;;
  esac
done
[[ $# -ge 2 ]] || {
  echo "usage: run-in-testnet.sh [--wineprefix DIR] [--bridge] WORK_DIR PROGRAM [ARGS...]" >&2
  exit 2
}
work="$(realpath -m "$1")"
shift
network="$work/testnet"
rm -rf "$network"
mkdir -p "$network"
trap '"$testnet" stop "$network"; [[ -z $wineprefix ]] || wineserver -k 2>/dev/null || true' EXIT
"$testnet" start "$network" $$ "${bridge[@]}"
"$testnet" wait "$network" 180
NIMBRA_TESTNET_DIR="$network" "$@"
