#!/usr/bin/env bash
# Start-up of Nimbra.exe against an empty Win32 window program of the same
# size, both under Wine on a virtual display of their own, measured in one
# run: the time from starting the program until its window is on the screen
# and painted, and the working set (resident memory) two seconds later.
# Prints both ratios (Nimbra / empty window), medians of ROUNDS rounds.
#   startup-bench.sh WINDOWS_BUILD_DIR [ROUNDS]
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-7}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
prefix="$build/bench-wineprefix"
run=("$root/scripts/wine-run.sh" --prefix "$prefix")
pids=()
cleanup() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(tr -d '\n' <"$work/display")"

# The prefix made and Wine's own start-up paid once, outside the rounds; the
# wineserver stays up between them, as it does on a desktop.
"${run[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
data="$prefix/drive_c/users/Public/Documents/Nimbra"
mkdir -p "$data" "$prefix/drive_c/windows/Fonts"
cp "$build/src/app/LCDN.TTF" "$prefix/drive_c/windows/Fonts/"
cp "$build/tools/simengine/anon.dll" "$data/"
# The server the registry call started ends with it: wait for that, or the
# persistent one asked for here would meet it and end too, and every start
# would pay for a new server and its services.
WINEPREFIX="$prefix" wineserver -w 2>/dev/null || true
# The prefix's files out of the page cache, as on a desktop where Wine was
# installed long before: just written, a file sits there in the large blocks
# it was written in, and the kernel maps a whole 2 MB block into a program
# whose mapping of the file happens to fall on a 2 MB boundary. Which of the
# two programs that hits is chance (Wine's theme file: 2 MB resident in one,
# 256 KB in the other, the same pages used by both).
sync
python3 - "$prefix" <<'PY'
import os, sys
for folder, _, files in os.walk(sys.argv[1]):
    for name in files:
        try:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            continue
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
PY
WINEPREFIX="$prefix" wineserver -p 60 2>/dev/null || true

# The watcher that starts a program and sees its first paint (native).
watcher="$work/first-paint"
g++ -std=c++20 -O2 -o "$watcher" "$root/bench/wine/FirstPaint.cpp" -lX11

# One start: milliseconds until the window is shown and its centre painted
# (not the desktop's black), then its resident memory in KiB.
measure() {  # EXE TITLE
  local out="" ms=0 pid try
  # A start that ends at once without a window met the previous instance's
  # window not yet gone from the wineserver (the single-instance signal):
  # start again.
  for try in 1 2 3; do
    if out=$("$watcher" "$2" 160 90 30000 "${run[@]}" "$1" 2>/dev/null </dev/null); then
      break
    fi
    pid=${out#* }
    [[ -n $pid && $pid != 0 ]] && { kill "$pid" 2>/dev/null || true; }
    out=""
    sleep 2
  done
  [[ -n "$out" ]] || { echo "no window for $1" >&2; exit 1; }
  read -r ms pid <<<"$out"
  sleep 2
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  # Gone from the screen and from the wineserver before the next start.
  for _ in $(seq 200); do
    [[ -z "$(xdotool search --onlyvisible --name "^$2\$" 2>/dev/null)" ]] && break
    sleep 0.05
  done
  sleep 1
  echo "$ms $rss"
}

# One untimed start of each first: a fresh prefix's first start of a
# program is Wine setting itself up, not the program.
rm -f "$data/anon_settings"
measure "$build/bench/wine/EmptyWindow.exe" EmptyWindow >/dev/null
measure "$build/src/app/Nimbra.exe" Nimbra >/dev/null

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
: >"$work/nimbra"
: >"$work/empty"
# Alternating which goes first, so neither always follows the other's exit.
for round in $(seq "$rounds"); do
  rm -f "$data/anon_settings"
  if ((round % 2)); then
    measure "$build/bench/wine/EmptyWindow.exe" EmptyWindow >>"$work/empty"
    measure "$build/src/app/Nimbra.exe" Nimbra >>"$work/nimbra"
  else
    measure "$build/src/app/Nimbra.exe" Nimbra >>"$work/nimbra"
    measure "$build/bench/wine/EmptyWindow.exe" EmptyWindow >>"$work/empty"
  fi
done
echo "rounds (ms KiB): Nimbra.exe $(tr '\n' ';' <"$work/nimbra") empty window $(tr '\n' ';' <"$work/empty")"
nimbra_ms=$(cut -d' ' -f1 "$work/nimbra" | median)
empty_ms=$(cut -d' ' -f1 "$work/empty" | median)
nimbra_kb=$(cut -d' ' -f2 "$work/nimbra" | median)
empty_kb=$(cut -d' ' -f2 "$work/empty" | median)
echo "start to first paint: Nimbra.exe ${nimbra_ms} ms, empty window ${empty_ms} ms," \
  "ratio $(awk -v a="$nimbra_ms" -v b="$empty_ms" 'BEGIN {printf "%.2f", a / b}')"
echo "working set after start: Nimbra.exe ${nimbra_kb} KiB, empty window ${empty_kb} KiB," \
  "ratio $(awk -v a="$nimbra_kb" -v b="$empty_kb" 'BEGIN {printf "%.2f", a / b}')"
