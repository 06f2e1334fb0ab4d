#!/usr/bin/env bash
# Nimbra.exe end to end under Wine, in a prefix of its own on a virtual
# display: with the simulated engine in its data folder, the companion-service
# stand-in on the pipe and a local address endpoint, it starts in the tray
# (RunMinim), answers status queries "not ready" and then "ready" as the
# engine bootstraps, writes its Run entry; a second Nimbra.exe exits 0 having
# only posted message 9, which brings the first one's window to the screen,
# and leaves options.ini and the log byte for byte as they were (the first
# one, shown, logs only its label's refresh).
#   nimbra-wine.sh WINE_RUN PREFIX PROGRAM_DIR TOOLS_DIR WORK_DIR
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 tools=$4 work=$5
source "$(dirname "$0")/nimbra-wine-lib.sh"

rm -rf "$work"
mkdir -p "$work"
nimbra_own_display "$work" || fail "no virtual display"

wait_for() { nimbra_wait_for "$@" || fail "gave up waiting"; }
visible_main_windows() {
  xdo search --onlyvisible --name '^Nimbra$' 2>/dev/null | wc -l
}

# The first call makes the prefix; logging on.
run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
run reg delete 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Nimbra /f >/dev/null 2>&1 || true
data="$prefix/drive_c/users/Public/Documents/Nimbra"
mkdir -p "$data"
cp "$tools/simengine/anon.dll" "$data/"
rm -f "$data/anon_settings" "$data/Nimbra.exe.log"
printf '[Options]\r\nRunMinim=1\r\nSwitchPeriod=30\r\n' >"$data/options.ini"

nimbra_start_lookup "$tools" "$work" 192.0.2.77 20 500 || fail "no address endpoint"
export NIMBRA_SIMENGINE_BOOTSTRAP_MS=4000
run "$program/Nimbra.exe" >"$work/first.txt" 2>&1 &
first=$!
pids+=($first)

run "$tools/pipeservice/pipeservice.exe" --until-ready --blocks 1 --interval 500 --wait 90000 \
  >"$work/service.txt" 2>&1 || { cat "$work/service.txt" >&2; fail "the service saw no ready"; }
tr -d '\r' <"$work/service.txt"
answers=$(grep -o 'answer: Status[A-Za-z]*' "$work/service.txt" | tr -d '\r' | uniq | tr '\n' ' ')
[[ "$answers" == "answer: StatusNotReady answer: StatusReady " ]] ||
  fail "answers were: $answers"
kill -0 "$first" 2>/dev/null || fail "the first Nimbra.exe has ended"

query=$(run reg query 'HKCU\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Nimbra | tr -d '\r')
grep -Eiq 'Nimbra +REG_SZ +[A-Z]:\\.*\\Nimbra\.exe$' <<<"$query" || fail "Run entry: $query"
[[ -f "$data/anon_settings" ]] || fail "the engine settings file was not written"
grep -q 'TPipeClient.Execute: Connected' "$data/Nimbra.exe.log" || fail "no pipe connection logged"
(($(visible_main_windows) == 0)) || fail "the minimised start shows a window"

# The service has gone and the address has reached the label; let the first
# instance log both before the snapshot, so only the second start could
# change the log from here on.
wait_for "$data/Nimbra.exe.log" "ReadFile failed" 30
wait_for "$data/Nimbra.exe.log" 'shows "192.0.2.77"' 30
sleep 1
cp "$data/options.ini" "$work/options.before"
cp "$data/Nimbra.exe.log" "$work/log.before"

status=0
timeout 60 "$wine_run" --prefix "$prefix" "$program/Nimbra.exe" >"$work/second.txt" 2>&1 || status=$?
((status == 0)) || fail "the second Nimbra.exe ended with $status"
cmp "$data/options.ini" "$work/options.before" || fail "options.ini changed"
for _ in $(seq 100); do
  (($(visible_main_windows) > 0)) && break
  sleep 0.1
done
(($(visible_main_windows) > 0)) || fail "message 9 did not show the first instance"
# Shown, the first instance refreshes its label and logs that; nothing else
# may follow the snapshot.
sleep 1
before=$(stat -c %s "$work/log.before")
cmp -n "$before" "$data/Nimbra.exe.log" "$work/log.before" || fail "the log changed"
added=$(tail -c +$((before + 1)) "$data/Nimbra.exe.log" | tr -d '\r' |
  grep -v ' TNimbraMainForm\.Proxy_Address: shows "' || true)
[[ -z "$added" ]] || fail "the log gained: $added"
kill -0 "$first" 2>/dev/null || fail "the first Nimbra.exe has ended"
echo "PASS: ready answered, Run entry written, second start only signalled the first"
