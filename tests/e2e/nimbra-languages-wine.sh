#!/usr/bin/env bash
# Every window of Nimbra.exe in English and in every language shipped beside
# it, under Wine on a virtual display, driven by real input and kept as
# screenshots in SHOTS_DIR/<language>/ with a contact sheet per language
# (SHOTS_DIR/<language>.png): the tutorial of a first run; the main window
# off, starting, ready with an address, with the pointer over a button and
# with one pressed; the menu panel; the options dialog's three pages (a
# hint in its status bar); the tray menu; the exit question; the closing dialog. On
# the way it checks what shows: the label drawn and changing, the lamp, the
# words of the language, the exit question answered No keeping the program.
#   nimbra-languages-wine.sh WINE_RUN PREFIX PROGRAM_DIR TOOLS_DIR WORK_DIR SHOTS_DIR
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 tools=$4 work=$5 shots=$6
source "$(dirname "$0")/nimbra-wine-lib.sh"

rm -rf "$work"
mkdir -p "$work" "$shots"
nimbra_own_display "$work"
visible() { xdo search --onlyvisible --name "${1:-.}" 2>/dev/null || true; }
geometry() {  # WINDOW_ID -> "X Y WIDTH HEIGHT"
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdo getwindowgeometry --shell "$1")"
  echo "$X $Y $WIDTH $HEIGHT"
}
# The visible window of that width (frames included) titled "Nimbra" (the
# main window 330, the menu panel 456, the tutorial 615).
nimbra_window() {  # WIDTH
  local id g
  for id in $(visible '^Nimbra$'); do
    read -r -a g <<<"$(geometry "$id")"
    [[ "${g[2]}" == "$1" ]] && { echo "$id"; return 0; }
  done
  return 1
}
# A visible window that was not in the list `before` (dialogs and message
# boxes, whatever their translated titles).
new_window() {  # BEFORE_IDS...
  local id g
  for id in $(visible); do
    [[ " $* " == *" $id "* ]] && continue
    read -r -a g <<<"$(geometry "$id")"
    ((g[2] > 100 && g[3] > 60)) && { echo "$id"; return 0; }
  done
  return 1
}
gone() { ! visible | grep -qx "$1"; }  # WINDOW_ID no longer shown
gone_all() { ! xdo search --onlyvisible --name "$1" >/dev/null 2>&1; }  # TITLE
# The pointer over another window than WINDOW_ID (a menu opened under it).
pointer_off() { xdo getmouselocation | grep -qv "window:$1\$"; }
shot_of() {  # NAME X Y WIDTH HEIGHT: a part of the screen
  import -window root -crop "$4x$5+$2+$3" +repage "$dir/$1.png"
}
shot_window() {  # NAME WINDOW_ID [MARGIN]
  local g m=${3:-0}
  read -r -a g <<<"$(geometry "$2")"
  shot_of "$1" $((g[0] - m)) $((g[1] - m)) $((g[2] + 2 * m)) $((g[3] + 2 * m))
}
click_in() {  # WINDOW_ID X Y: client point of a skinned window
  local g
  read -r -a g <<<"$(geometry "$1")"
  xdo mousemove $((g[0] + $2)) $((g[1] + $3)) click 1
  sleep 0.5
}
differ() { ! compare -metric AE -fuzz 3% "$1" "$2" null: 2>/dev/null; }
lamp_green() {  # PNG of the main window
  local rgb
  rgb=$(convert "$1" -crop 1x1+305+58 +repage -depth 8 txt:- | tail -n 1 |
    sed -E 's/.*\(([0-9.]+),([0-9.]+),([0-9.]+).*/\1 \2 \3/' | tr -d '%')
  read -r -a rgb <<<"$rgb"
  ((${rgb[1]%.*} > 150 && ${rgb[0]%.*} < 120))
}

nimbra_prefix_fonts "$program"
data="$prefix/drive_c/users/Public/Documents/Nimbra"
mkdir -p "$data"
cp "$tools/simengine/anon.dll" "$data/"
rm -f "$data/anon_settings"
nimbra_start_lookup "$tools" "$work" 203.0.113.42 200 300 || fail "no address endpoint"
export NIMBRA_SIMENGINE_BOOTSTRAP_MS=16000

# Persian and Arabic run under their own locale, built here (LOCPATH) so the
# machine's locales stay as they are.
declare -A locale_of=([1065]=fa_IR [1025]=ar_SA)
mkdir -p "$work/locale"
for name in "${locale_of[@]}"; do
  localedef -i "$name" -f UTF-8 "$work/locale/$name.UTF-8" 2>/dev/null ||
    [[ -d "$work/locale/$name.UTF-8" ]] || fail "cannot build the locale $name.UTF-8"
done

# NIMBRA_SCREENSHOT_LANGUAGES="German Persian" takes only those (and the
# names list is "English" and the language files' names).
only=${NIMBRA_SCREENSHOT_LANGUAGES:-}
languages=("1033:English")
for file in "$program"/*.lng; do
  [[ -e "$file" ]] || break
  id=$(head -n 1 "$file" | tr -d '\r' | sed 's/^\xEF\xBB\xBF//; s/^LANGID=//')
  [[ "$id" =~ ^[0-9]+$ ]] || fail "$file: no LANGID on its first line"
  languages+=("$id:$(basename "$file" .lng)")
done
((${#languages[@]} > 2)) || fail "fewer than two language files beside the program"
nimbra_prefix_face 1033

for language in "${languages[@]}"; do
  id=${language%%:*} name=${language#*:}
  [[ -z "$only" || " $only " == *" $name "* ]] || continue
  dir="$shots/$name"
  rm -rf "$dir" "$shots/$name.png"
  mkdir -p "$dir"
  echo "== $name ($id)"
  nimbra_prefix_face "$id"
  environment=()
  if [[ -n "${locale_of[$id]:-}" ]]; then
    environment=(env LOCPATH="$work/locale" LANG="${locale_of[$id]}.UTF-8"
      LC_ALL="${locale_of[$id]}.UTF-8")
  fi
  printf '[Options]\r\nLanguageID=%s\r\nFirstRun=1\r\nAutorun=0\r\nStartStartup=0\r\nAutoSwitchStartup=0\r\nX_Action=3\r\n' \
    "$id" >"$data/options.ini"
  "${environment[@]}" "$wine_run" --prefix "$prefix" "$program/Nimbra.exe" \
    >"$work/nimbra-$id.txt" 2>&1 &
  nimbra=$!
  pids+=($nimbra)

  # The tutorial, then OK.
  wait_until 60 nimbra_window 615 >/dev/null || fail "$name: no tutorial"
  xdo mousemove 5 740
  sleep 1.5
  tutorial=$(nimbra_window 615)
  shot_window tutorial "$tutorial"
  click_in "$tutorial" 530 475
  wait_until 20 nimbra_window 330 >/dev/null || fail "$name: no main window after the tutorial"
  main=$(nimbra_window 330)
  xdo mousemove 5 740
  sleep 1.5

  # Off; a button hovered and pressed (released off it: no click); starting;
  # ready with the address.
  shot_window main-off "$main"
  read -r -a m <<<"$(geometry "$main")"
  xdo mousemove $((m[0] + 287)) $((m[1] + 127))
  sleep 0.7
  shot_window main-hover "$main"
  xdo mousedown 1
  sleep 0.7
  shot_window main-pressed "$main"
  xdo mousemove 5 740 mouseup 1
  sleep 0.5
  differ "$dir/main-off.png" "$dir/main-hover.png" || fail "$name: hovering Check changed nothing"
  click_in "$main" 160 127
  xdo mousemove 5 740
  sleep 1.5
  shot_window main-starting "$main"
  differ "$dir/main-off.png" "$dir/main-starting.png" || fail "$name: Start changed nothing"
  ready() {
    shot_window main-ready "$main"
    lamp_green "$dir/main-ready.png"
  }
  wait_until 60 ready || fail "$name: never ready"
  sleep 2.5
  shot_window main-ready "$main"
  lamp_green "$dir/main-ready.png" || fail "$name: the lamp is not green"

  # The menu panel beside the window.
  click_in "$main" 4 100
  wait_until 10 nimbra_window 456 >/dev/null || fail "$name: no menu panel"
  panel=$(nimbra_window 456)
  xdo mousemove 5 740
  sleep 1
  read -r -a p <<<"$(geometry "$panel")"
  shot_of menu-panel "${p[0]}" "${p[1]}" $((m[0] + m[2] - p[0])) "${p[3]}"

  # The options dialog from the panel: General with a hint in the status
  # bar, then Connection and About (the tab strip has the focus: the arrow
  # key moves on).
  before=$(visible)
  click_in "$panel" 60 60
  wait_until 10 new_window $before >/dev/null || fail "$name: no options dialog"
  options=$(new_window $before)
  sleep 1
  read -r -a o <<<"$(geometry "$options")"
  xdo mousemove $((o[0] + 3 + 200)) $((o[1] + 22 + 70))
  sleep 1
  shot_window options-general "$options"
  xdo mousemove 5 740
  xdo windowfocus --sync "$options"
  # In a mirrored dialog the next tab may lie the other way.
  next=Right
  xdo key $next
  sleep 1
  shot_window options-connection "$options"
  if ! differ "$dir/options-general.png" "$dir/options-connection.png"; then
    next=Left
    xdo key $next
    sleep 1
    shot_window options-connection "$options"
  fi
  differ "$dir/options-general.png" "$dir/options-connection.png" ||
    fail "$name: no Connection page"
  xdo key $next
  sleep 1
  shot_window options-about "$options"
  differ "$dir/options-connection.png" "$dir/options-about.png" || fail "$name: no About page"
  xdo key Escape
  wait_until 10 gone "$options" ||
    fail "$name: Esc did not close the options dialog"
  click_in "$main" 4 100  # the panel away again

  # The tray menu, Exit, the question, No.
  tray=$(visible '^Wine System Tray$' | head -n 1)
  [[ -n "$tray" ]] || fail "$name: no tray window"
  read -r -a t <<<"$(geometry "$tray")"
  # The icon is the first in the tray window's client area, under the
  # caption bar Wine draws. The menu opens under the pointer, late when the
  # panel has just gone: without a window manager Wine waits up to 2 s for
  # a hidden window to be withdrawn.
  xdo mousemove $((t[0] + 3 + 10)) $((t[1] + 22 + 10)) click 3
  wait_until 10 pointer_off "$tray" ||
    fail "$name: the tray's right click opened no menu"
  sleep 0.5
  shot_of tray-menu 0 0 420 200
  before=$(visible)
  xdo key Up Return
  wait_until 10 new_window $before >/dev/null || fail "$name: Exit asked nothing"
  question=$(new_window $before)
  sleep 0.7
  shot_window exit-question "$question"
  xdo windowfocus --sync "$question"
  xdo key Tab Return
  sleep 1
  kill -0 "$nimbra" 2>/dev/null || fail "$name: No to the exit question ended the program"

  # The closing dialog from the close image; Esc ends the program.
  before=$(visible)
  click_in "$main" 314 10
  wait_until 10 new_window $before >/dev/null || fail "$name: no closing dialog"
  closing=$(new_window $before)
  xdo mousemove 5 740
  sleep 0.7
  shot_window closing "$closing"
  xdo windowfocus --sync "$closing"
  xdo key Escape
  wait_until 20 sh -c "! kill -0 $nimbra 2>/dev/null" || fail "$name: Esc in the closing dialog did not end it"
  wait_until 20 gone_all '^Nimbra$' || true

  montage -font DejaVu-Sans -pointsize 11 -label '%t' \
    "$dir"/{tutorial,main-off,main-hover,main-pressed,main-starting,main-ready,menu-panel,options-general,options-connection,options-about,tray-menu,exit-question,closing}.png \
    -tile 4x -geometry '+8+8>' -background '#d0d4da' -title "$name" "$shots/$name.png" 2>/dev/null ||
    echo "(no contact sheet for $name)"
done
echo "PASS: screenshots in $shots/<language>/, contact sheets $shots/<language>.png"
