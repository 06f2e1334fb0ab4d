#!/usr/bin/env bash
# The companion-service stand-in against the console host, as two separate
# programs: the host starts first and fails to open the pipe, the service
# creates the pipe and sets the start event, the host connects and answers
# every status query, the service closes the pipe and the host ends. The host
# also looks up the external address at a local echo endpoint (ipecho).
# Everything stays on 127.0.0.1 and local pipes.
#   demo.sh TOOLS_BUILD_DIR [--wine PREFIX]
set -euo pipefail
tools=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
run=()
exe=""
if [[ "${1:-}" == "--wine" ]]; then
  run=("$here/../../scripts/wine-run.sh" --prefix "$2")
  exe=".exe"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export NIMBRA_NAMED_OBJECTS="${NIMBRA_NAMED_OBJECTS:-$work/named-objects}"

suffix="$$-$RANDOM"
pipe="\\\\.\\PIPE\\Nimbra demo {$suffix}"
event="Global\\NimbraDemoStart {$suffix}"
log_folder="$work/log"
host_log_folder="$log_folder"
if ((${#run[@]})); then host_log_folder="Z:${log_folder//\//\\}"; fi

# Waits up to a minute for a file to hold a text.
wait_for() {
  for _ in $(seq 600); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: gave up waiting for '$2' in $1" >&2
  return 1
}

"${run[@]}" "$tools/ipecho/ipecho$exe" --answer 192.0.2.1 --count 1 >"$work/ipecho.txt" 2>&1 &
pids+=($!)
wait_for "$work/ipecho.txt" "listening on"
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/ipecho.txt" | tr -d '\r')

"${run[@]}" "$tools/pipeservice/pipehost$exe" --pipe "$pipe" --event "$event" --state ready \
  --lookup "http://127.0.0.1:$port/scripts/whatismyip.php" --lookup-delay 1000 \
  --log-folder "$host_log_folder" --timeout 120 >"$work/host.txt" 2>&1 &
host=$!
pids+=($host)
wait_for "$work/host.txt" "waiting for"
# The host has tried once and waits for the start event.
log_file=$(ls "$log_folder"/*.log 2>/dev/null | head -n 1 || true)
for _ in $(seq 600); do
  log_file=$(ls "$log_folder"/*.log 2>/dev/null | head -n 1 || true)
  [[ -n "$log_file" ]] && grep -q "CreateFile failed" "$log_file" && break
  sleep 0.1
done

service_status=0
"${run[@]}" "$tools/pipeservice/pipeservice$exe" --pipe "$pipe" --event "$event" \
  --blocks 1,3 --empty-block --interval 300 || service_status=$?
host_status=0
wait "$host" || host_status=$?

echo "---- host"
cat "$work/host.txt"
echo "---- ipecho"
cat "$work/ipecho.txt"

failed=0
check() {
  if ! grep -q "$2" "$1"; then
    echo "demo: missing '$2'" >&2
    failed=1
  fi
}
check "$work/host.txt" "connected to the service"
check "$work/host.txt" "block of 15 bytes, 3 queries answered StatusReady"
check "$work/host.txt" "external address: 192.0.2.1"
check "$work/host.txt" "CreateFile failed Error"
check "$work/host.txt" "TPipeClient.Execute: Connected"
check "$work/host.txt" "TPipeClient.Execute: ReadFile failed Error"
if ((service_status != 0 || host_status != 0 || failed)); then
  echo "demo: FAILED (service $service_status, host $host_status)" >&2
  exit 1
fi
echo "demo: every status query answered; the address was looked up"
