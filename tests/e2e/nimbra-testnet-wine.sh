#!/usr/bin/env bash
# Nimbra.exe under Wine with the real engine library in the private onion
# network (run by tests/testnet/run-in-testnet.sh, which gives it the network
# in NIMBRA_TESTNET_DIR and a network namespace of its own): with settings
# written before the start that name the network's authorities, it starts in
# the tray and answers the companion service "ready" once the engine has
# bootstrapped to 100 percent.
#   nimbra-testnet-wine.sh WINE_RUN PREFIX PROGRAM_DIR TOOLS_DIR WORK_DIR
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 tools=$4 work=$5
source "$(dirname "$0")/nimbra-wine-lib.sh"
[[ -n "${DISPLAY:-}" ]] || fail "needs a display (run under xvfb-run)"
network=${NIMBRA_TESTNET_DIR:?run by tests/testnet/run-in-testnet.sh}

rm -rf "$work"
mkdir -p "$work"

run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
data="$prefix/drive_c/users/Public/Documents/Nimbra"
windows_data='C:\users\Public\Documents\Nimbra\'
rm -rf "$data"
mkdir -p "$data"
# The engine runs inside Nimbra.exe and reads its settings as Windows does.
nimbra_testnet_settings "$network" "$windows_data" "$data/anon_settings" ||
  fail "no settings for the private network"
cp "$tools/torengine/anon.dll" "$data/"
printf '[Options]\r\nRunMinim=1\r\nSwitchPeriod=30\r\n' >"$data/options.ini"

nimbra_start_lookup "$tools" "$work" 192.0.2.77 20 500 || fail "no address endpoint"

run "$program/Nimbra.exe" >"$work/nimbra.txt" 2>&1 &
first=$!
pids+=($first)

run "$tools/pipeservice/pipeservice.exe" --until-ready --blocks 1 --interval 1000 --wait 240000 \
  >"$work/service.txt" 2>&1 || {
  cat "$work/service.txt" >&2
  tail -n 20 "$data/anon.dll.log" >&2 || true
  fail "the service saw no ready"
}
tr -d '\r' <"$work/service.txt"
grep -q 'answer: StatusReady' "$work/service.txt" || fail "no ready answer"
kill -0 "$first" 2>/dev/null || fail "Nimbra.exe has ended"
[[ -f "$data/cache/cached-microdesc-consensus" ]] || fail "the engine kept no consensus"
[[ -f "$data/anon.dll.log" ]] || fail "no warnings log where the settings say"
echo "PASS: Nimbra.exe with the real engine answered ready in the private network"
