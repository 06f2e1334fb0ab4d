#!/usr/bin/env bash
# obfs4proxy.exe under Wine as the engine will start it: as a managed
# client transport, told by environment variables what to offer and where
# its state goes (a Windows path, as tor on Windows passes it), answering on
# its stdout pipe, listening on loopback, and ending when its stdin pipe
# closes (tor's sign that it has gone). As root the test runs in a network
# namespace of its own, where the prefix's wineserver (which holds Wine's
# sockets) starts.
#   obfs4proxy-wine.sh WINE_RUN PREFIX OBFS4PROXY_EXE WORK_DIR
set -euo pipefail
if [[ $EUID -eq 0 && -z ${NIMBRA_OBFS4_WINE_NAMESPACE:-} ]]; then
  exec unshare -n env NIMBRA_OBFS4_WINE_NAMESPACE=1 bash "$0" "$@"
fi
[[ -z ${NIMBRA_OBFS4_WINE_NAMESPACE:-} ]] || ip link set lo up
wine_run=$1 prefix=$2 exe=$3 work=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$wine_run" --prefix "$prefix" "$@"; }
export WINEPREFIX=$prefix
# A server of this prefix started outside would hold the sockets there.
wineserver -k 2>/dev/null || true
pt_pid=''
trap '[[ -z $pt_pid ]] || kill "$pt_pid" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT

rm -rf "$work"
mkdir -p "$work"
version=$(run "$exe" -version | tr -d '\r')
[[ $version == obfs4proxy-0.0.* ]] || fail "-version said '$version'"
echo "$version"

state=$(run winepath -w "$work/state" | tr -d '\r')
coproc transport {
  TOR_PT_MANAGED_TRANSPORT_VER=1 TOR_PT_STATE_LOCATION="$state" TOR_PT_CLIENT_TRANSPORTS=obfs4 \
    TOR_PT_EXIT_ON_STDIN_CLOSE=1 run "$exe" -enableLogging -logLevel INFO 2>&1
}
# shellcheck disable=SC2154  # set by coproc
pt_pid=$transport_PID
lines=()
while ((${#lines[@]} < 3)) && IFS= read -r -t 60 line <&"${transport[0]}"; do
  lines+=("${line%$'\r'}")
done
printf 'transport: %s\n' "${lines[@]}"
[[ ${lines[0]:-} == 'VERSION 1' ]] || fail "no VERSION 1 on stdout"
[[ ${lines[1]:-} =~ ^CMETHOD\ obfs4\ socks5\ 127\.0\.0\.1:([0-9]+)$ ]] ||
  fail "no obfs4 SOCKS method on stdout"
port=${BASH_REMATCH[1]}
[[ ${lines[2]:-} == 'CMETHODS DONE' ]] || fail "no CMETHODS DONE on stdout"
# Listening where the engine will look for it.
(exec 3<>"/dev/tcp/127.0.0.1/$port") || fail "nothing listens on 127.0.0.1:$port"
[[ -f $work/state/obfs4proxy.log ]] || fail "no log in the state folder $state"

stdin=${transport[1]}
exec {stdin}>&-
for _ in $(seq 100); do kill -0 "$pt_pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$pt_pid" 2>/dev/null || fail "still running 10 s after its stdin closed"
pt_pid=''
grep -q 'terminated' "$work/state/obfs4proxy.log" || fail "it did not end by itself: $(tail -n 3 "$work/state/obfs4proxy.log")"
echo "PASS: managed obfs4 client transport on 127.0.0.1:$port, state in $state, ended with its stdin"
