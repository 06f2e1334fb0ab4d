#!/usr/bin/env bash
# Nimbra.exe's windows under Wine on a virtual display, driven by real input
# (xdotool) and looked at in screenshots, which are kept in SHOTS_DIR:
# the tutorial of a first run; the main window Off, Starting and Ready (with
# an address from a local endpoint), the lamp's colour, the label drawn and
# the rounded corners transparent in each; the start/stop button changing
# the label; Ctrl+Shift+N hiding and showing; the menu panel, and a drag of
# the background moving the window and the open panel alike; the options
# dialog on both pages, Esc leaving the options as they were; the closing
# dialog. (Every window in every language: nimbra-languages-wine.sh.)
#   nimbra-ui-wine.sh WINE_RUN PREFIX PROGRAM_DIR TOOLS_DIR WORK_DIR SHOTS_DIR
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 tools=$4 work=$5 shots=$6
source "$(dirname "$0")/nimbra-wine-lib.sh"

rm -rf "$work" "$shots"
mkdir -p "$work" "$shots"

nimbra_own_display "$work"
windows_named() { xdo search --onlyvisible --name "$1" 2>/dev/null || true; }
shown() { [[ -n "$(windows_named "$1")" ]]; }
hidden() { [[ -z "$(windows_named "$1")" ]]; }
# The visible window of that title and width (the main window, the menu
# panel and the tutorial are all called "Nimbra").
window_of() {  # NAME_REGEX [WIDTH]
  local id
  for id in $(windows_named "$1"); do
    # Not a pipe into grep -q: with pipefail, its early exit fails the pipe.
    if [[ -z "${2:-}" || "$(xdo getwindowgeometry --shell "$id")" == *"WIDTH=$2"$'\n'* ]]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}
# The screen position of a window's client area: skinned windows have no
# frame; dialogs have the frame Wine draws (3 pixels, 22 above).
origin() {  # NAME_REGEX FRAME(0|1) [WIDTH] -> "X Y"
  local id x y
  id=$(window_of "$1" "${3:-}") || {
    for id in $(windows_named "$1"); do xdo getwindowgeometry "$id" >&2; done
    fail "no window '$1' ${3:-}"
  }
  eval "$(xdo getwindowgeometry --shell "$id")"
  x=$X y=$Y
  if [[ "$2" == 1 ]]; then x=$((x + 3)) y=$((y + 22)); fi
  echo "$x $y"
}
click_at() {  # NAME_REGEX FRAME CLIENT_X CLIENT_Y [WIDTH]
  local o
  read -r -a o <<<"$(origin "$1" "$2" "${5:-}")"
  xdo mousemove $((o[0] + $3)) $((o[1] + $4)) click 1
  sleep 0.5
}
shot() { import -window root "$shots/$1.png"; }
pixel() {  # PNG X Y -> "R G B"
  convert "$1" -crop "1x1+$2+$3" +repage -depth 8 txt:- | tail -n 1 |
    sed -E 's/.*\(([0-9.]+),([0-9.]+),([0-9.]+).*/\1 \2 \3/' | cut -d. -f1 | tr -d '%'
}
crop() {  # PNG X Y W H OUT
  convert "$1" -crop "$4x$5+$2+$3" +repage "$6"
}
main_origin() { origin '^Nimbra$' 0 330; }
click_main() { click_at '^Nimbra$' 0 "$1" "$2" 330; }

# Checks on a screenshot of the main window: the lamp's colour, the label
# not blank, the corner outside the rounded region showing the desktop.
check_main() {  # PNG green|dark
  local o lamp corner
  read -r -a o <<<"$(main_origin)"
  read -r -a lamp <<<"$(pixel "$1" $((o[0] + 305)) $((o[1] + 58)))"
  if [[ "$2" == green ]]; then
    ((lamp[1] > 150 && lamp[0] < 120 && lamp[2] < 120)) || fail "$1: lamp not green: ${lamp[*]}"
  else
    ((!(lamp[1] > 150 && lamp[0] < 120 && lamp[2] < 120))) || fail "$1: lamp green: ${lamp[*]}"
  fi
  crop "$1" $((o[0] + 26)) $((o[1] + 64)) 229 27 "$work/label.png"
  local drawn
  drawn=$(compare -metric AE -fuzz 20% "$work/label.png" "$work/label-background.png" null: 2>&1 ||
    true)
  ((${drawn%% *} > 40)) || fail "$1: the label is blank ($drawn pixels differ from the skin)"
  read -r -a corner <<<"$(pixel "$1" "${o[0]}" "${o[1]}")"
  [[ "${corner[*]}" == "0 0 0" ]] || fail "$1: corner not transparent: ${corner[*]}"
  cp "$work/label.png" "$work/label-$(basename "$1")"
}
labels_differ() { ! compare -metric AE "$work/label-$1.png" "$work/label-$2.png" null: 2>/dev/null; }

# ---- The prefix: its fonts (nimbra_prefix_fonts) and the simulated engine.
nimbra_prefix_fonts "$program"
nimbra_prefix_face 1033
data="$prefix/drive_c/users/Public/Documents/Nimbra"
mkdir -p "$data"
cp "$tools/simengine/anon.dll" "$data/"
rm -f "$data/anon_settings"
crop "$program/res/Main.jpg" 26 64 229 27 "$work/label-background.png"
printf '[Options]\r\nFirstRun=1\r\nStartStartup=0\r\nAutoSwitchStartup=0\r\n' >"$data/options.ini"

nimbra_start_lookup "$tools" "$work" 203.0.113.42 50 1000 || fail "no address endpoint"
export NIMBRA_SIMENGINE_BOOTSTRAP_MS=12000

run "$program/Nimbra.exe" >"$work/nimbra.txt" 2>&1 &
nimbra=$!
pids+=($nimbra)

# ---- First run: the tutorial before the main window.
wait_until 60 shown '^Nimbra$' || fail "no tutorial"
sleep 1
hidden_main=$(xdo search --onlyvisible --name '^Nimbra$' | wc -l)
((hidden_main == 1)) || fail "the main window is there before the tutorial closed"
shot tutorial
click_at '^Nimbra$' 0 530 475 615  # OK
wait_until 20 grep -q 'FirstRun=0' "$data/options.ini" || fail "FirstRun not stored"
sleep 1.5

# ---- Off, Starting, Ready.
shot main-off
check_main "$shots/main-off.png" dark
click_main 160 127  # start/stop
xdo mousemove 5 700
sleep 1.5
shot main-starting
check_main "$shots/main-starting.png" dark
labels_differ main-off main-starting || fail "the start button did not change the label"
ready() {
  shot main-ready
  local o lamp
  read -r -a o <<<"$(main_origin)"
  read -r -a lamp <<<"$(pixel "$shots/main-ready.png" $((o[0] + 305)) $((o[1] + 58)))"
  ((lamp[1] > 150 && lamp[0] < 120))
}
wait_until 60 ready || fail "never ready"
wait_until 60 grep -q "ipecho: GET" "$work/ipecho.txt" || fail "no address lookup"
sleep 2
shot main-ready
check_main "$shots/main-ready.png" green
labels_differ main-starting main-ready || fail "the label did not change when ready"

# ---- Ctrl+Shift+N hides and shows (the keys reach Wine while one of its
# windows has the focus: first the main window, then the tray's).
main_id=$(window_of '^Nimbra$' 330)
xdo windowfocus --sync "$main_id"
xdo key ctrl+shift+n
wait_until 10 hidden '^Nimbra$' || fail "Ctrl+Shift+N did not hide the window"
tray_id=$(windows_named 'Wine System Tray' | head -n 1)
[[ -n "$tray_id" ]] || fail "no tray window"
xdo windowfocus --sync "$tray_id"
xdo key ctrl+shift+n
wait_until 10 shown '^Nimbra$' || fail "Ctrl+Shift+N did not show the window again"
sleep 1

# ---- The menu panel, and dragging the background.
click_main 4 100  # the arrow
wait_until 10 test "$(windows_named '^Nimbra$' | wc -l)" -eq 2 || fail "no menu panel"
xdo mousemove 5 700
sleep 1
shot menu-panel
read -r -a before <<<"$(main_origin)"
panel_id=$(window_of '^Nimbra$' 456) || fail "no menu panel 456 wide"
eval "$(xdo getwindowgeometry --shell "$panel_id")"
panel_before=("$X" "$Y")
xdo mousemove $((before[0] + 100)) $((before[1] + 22)) mousedown 1
for step in 1 2 3 4 5 6; do
  xdo mousemove $((before[0] + 100 - step * 10)) $((before[1] + 22 + step * 8))
  sleep 0.1
done
xdo mouseup 1
sleep 1
read -r -a after <<<"$(main_origin)"
eval "$(xdo getwindowgeometry --shell "$panel_id")"
dx=$((after[0] - before[0])) dy=$((after[1] - before[1]))
((dx == -60 && dy == 48)) || fail "the drag moved the window by $dx,$dy"
((X - panel_before[0] == dx && Y - panel_before[1] == dy)) ||
  fail "the panel moved by $((X - panel_before[0])),$((Y - panel_before[1])), the window by $dx,$dy"

# ---- The options dialog from the panel: both pages; Esc keeps the options.
eval "$(xdo getwindowgeometry --shell "$panel_id")"
xdo mousemove $((X + 60)) $((Y + 60)) click 1
wait_until 10 shown '^Options$' || fail "no options dialog"
cp "$data/options.ini" "$work/options.before"
xdo windowfocus --sync "$(windows_named '^Options$' | head -n 1)"
click_at '^Options$' 1 238 205  # the period's edit
xdo key End BackSpace BackSpace BackSpace BackSpace
xdo type 77
xdo mousemove 5 700
sleep 0.5
shot options-general
click_at '^Options$' 1 94 18  # the About tab
xdo mousemove 5 700
sleep 0.5
shot options-about
click_at '^Options$' 1 40 18  # back to General
xdo windowfocus --sync "$(windows_named '^Options$' | head -n 1)"
xdo key Escape
wait_until 10 hidden '^Options$' || fail "Esc did not close the options dialog"
cmp "$data/options.ini" "$work/options.before" || fail "Esc stored the options"

# ---- The closing dialog; Esc ends the program and asks again next time.
click_main 314 10  # the close image
wait_until 10 shown '^Closing Nimbra' || fail "no closing dialog"
xdo mousemove 5 700
sleep 0.5
shot closing
xdo windowfocus --sync "$(windows_named '^Closing Nimbra' | head -n 1)"
xdo key Escape
wait_until 20 sh -c "! kill -0 $nimbra 2>/dev/null" || fail "Esc in the closing dialog did not end it"
grep -q 'X_Action=3' "$data/options.ini" || fail "X_Action not stored"

echo "PASS: screenshots in $shots"
