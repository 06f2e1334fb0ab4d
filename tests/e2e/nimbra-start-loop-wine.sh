#!/usr/bin/env bash
# Nimbra.exe started and ended COUNT times in a row under Wine, on a virtual
# display of its own, as its user does: each start must reach its main window
# (shown on the screen, its label logged) and each run must end from the tray
# menu (Exit, then Yes) with exit code 0. A start that ends by itself, hangs
# or never shows its window is a failure; its output and log are kept in
# WORK_DIR/failed-<run>/. Prints one line per run and a summary; exits 1 when
# any run failed.
#   nimbra-start-loop-wine.sh WINE_RUN PREFIX PROGRAM_DIR TOOLS_DIR WORK_DIR [COUNT]
# NIMBRA_LOOP_ENGINE names another engine library than the simulated one in
# TOOLS_DIR (the real one); it runs with its network off. NIMBRA_LOOP_COLD=1
# ends the Wine server between runs (each start then starts Wine anew).
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 tools=$4 work=$5 count=${6:-10}
source "$(dirname "$0")/nimbra-wine-lib.sh"

rm -rf "$work"
mkdir -p "$work"

nimbra_own_display "$work"
# With a window manager on the display, as on a desktop, when one is
# installed: without one, Wine waits two seconds for it on every managed
# window that appears or goes (the question box, the tray window and the
# main window at the exit), and the time to end would measure that wait.
if command -v evilwm >/dev/null; then
  evilwm >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
fi

# The first call makes the prefix; logging on, and the start-up entry left
# alone.
run reg add 'HKCU\SOFTWARE\Corvane\Nimbra\DebugMode' /f >/dev/null
data="$prefix/drive_c/users/Public/Documents/Nimbra"
log="$data/Nimbra.exe.log"
mkdir -p "$data" "$prefix/drive_c/windows/Fonts"
cp "$program/LCDN.TTF" "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
rm -f "$data/anon_settings" "$data/Nimbra.exe.log"
if [[ -n "${NIMBRA_LOOP_ENGINE:-}" ]]; then
  cp "$NIMBRA_LOOP_ENGINE" "$data/anon.dll"
  # The host's lines for the data folder, and no network: a settings file
  # that exists is used as it is.
  folder=$(run winepath -w "$data" | tr -d '\r')\\
  printf 'SocksListenAddress 127.0.0.1\r\nSocksPort 35491\r\nControlPort 35490\r\n' >"$data/anon_settings"
  printf 'CookieAuthentication 1\r\nDataDirectory %scache\r\nLog warn file %sanon.dll.log\r\n' \
    "$folder" "$folder" >>"$data/anon_settings"
  printf 'DisableNetwork 1\r\n' >>"$data/anon_settings"
else
  cp "$tools/simengine/anon.dll" "$data/"
fi
printf '[Options]\r\nFirstRun=0\r\nRunStartup=0\r\n' >"$data/options.ini"
if [[ "${NIMBRA_LOOP_COLD:-0}" != 1 ]]; then
  # A Wine server that stays between the runs, as on a desktop.
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -p 120 2>/dev/null || true
fi

# An error box would wait for someone to close it: its text goes to a file.
export NIMBRA_ERROR_BOX_FILE="Z:$work/errorbox.txt"

ms_now() { date +%s%3N; }
main_window_shown() {
  nimbra_main_window >/dev/null && grep -q 'TNimbraMainForm\.Proxy_Address: shows' "$log" 2>/dev/null
}
# Keeps what a failed run left and says why.
failed_run() {  # RUN REASON
  local keep="$work/failed-$1"
  mkdir -p "$keep"
  cp "$work/run.txt" "$keep/output.txt" 2>/dev/null || true
  cp "$log" "$keep/Nimbra.exe.log" 2>/dev/null || true
  mv "$work/errorbox.txt" "$keep/errorbox.txt" 2>/dev/null || true
  echo "run $1: FAIL: $2 ($(tr -d '\r' <"$work/run.txt" | tail -n 3 | tr '\n' ' ')" \
    "$(cat "$keep/errorbox.txt" 2>/dev/null))"
  failures=$((failures + 1))
}

failures=0
started_all=$(ms_now)
for i in $(seq "$count"); do
  rm -f "$log"
  # The previous instance's window must be gone, or this start would only
  # signal it.
  for _ in $(seq 100); do
    [[ -z "$(xdo search --name '^Nimbra$' 2>/dev/null)" ]] && break
    sleep 0.1
  done
  start=$(ms_now)
  # Its own process, so that the pid is the program's.
  ("$wine_run" --prefix "$prefix" "$program/Nimbra.exe") >"$work/run.txt" 2>&1 &
  pid=$!
  pids+=($pid)
  reached=0
  for _ in $(seq 300); do
    if main_window_shown; then
      reached=1
      break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  shown=$(($(ms_now) - start))
  if ((!reached)); then
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      failed_run "$i" "no window after 30 s"
    else
      status=0
      wait "$pid" || status=$?
      failed_run "$i" "ended with $status before its window"
    fi
    [[ "${NIMBRA_LOOP_COLD:-0}" == 1 ]] && { WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; }
    continue
  fi
  # The tray icon comes after the first paint.
  for _ in $(seq 300); do
    [[ -n "$(xdo search --onlyvisible --name '^Wine System Tray$' 2>/dev/null)" ]] && break
    sleep 0.1
  done
  if ! nimbra_exit_from_tray "$pid" 2>"$work/exit.txt"; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    failed_run "$i" "did not end from the tray: $(cat "$work/exit.txt")"
    continue
  fi
  ended=$(ms_now)
  status=0
  wait "$pid" || status=$?
  if ((status != 0)); then
    failed_run "$i" "ended with $status"
    continue
  fi
  echo "run $i: window after ${shown} ms, ended $((ended - nimbra_answered_ms)) ms after the Yes"
  if [[ "${NIMBRA_LOOP_COLD:-0}" == 1 ]]; then
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  fi
done
wall=$(($(ms_now) - started_all))
echo "$count runs, $failures failed, wall time $((wall / 1000)).$(printf '%03d' $((wall % 1000))) s"
((failures == 0)) || fail "$failures of $count starts failed (see $work/failed-*)"
echo "PASS: $count starts reached their window and ended from the tray"
