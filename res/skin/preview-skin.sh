#!/usr/bin/env bash
# Pastes button pictures onto the main window's background and writes the
# status text on its display, as the program does, to look at the skin.
# usage: preview-skin.sh RES_DIR FONT.ttf OUT_DIR [TEXT]
set -euo pipefail
res=$1 font=$2 out=$3 text=${4:-Retrieving IP address}
mkdir -p "$out"
# The label draws the font at a 24 px cell (ascent + descent = 1250 units),
# so the em is 24 * 1000 / 1250 px.
em=19.2
label() { # picture text -> picture with the status text centred on the display
  convert "$1" -font "$font" -density 72 -pointsize $em -fill 'rgb(79,79,79)' \
    -gravity NorthWest -draw "text 0,0 ''" \
    \( -size 229x27 xc:none -font "$font" -density 72 -pointsize $em -fill 'rgb(79,79,79)' \
       -gravity center -annotate +0+0 "$2" \) -gravity NorthWest -geometry +26+64 -composite "$3"
}
label "$res/Main.jpg" "Anonymity OFF" "$out/main-off.png"
convert "$res/Main.jpg" \
  "$res/stop.jpg" -geometry +132+113 -composite \
  "$res/auto_switch_down.jpg" -geometry +196+113 -composite \
  "$res/check_over.jpg" -geometry +259+113 -composite \
  "$res/lamp_green.jpg" -geometry +289+44 -composite \
  "$res/exit_over.jpg" -geometry +310+6 -composite \
  "$res/arrow_right_over.jpg" -geometry +0+28 -composite "$out/main-on.jpg"
label "$out/main-on.jpg" "$text" "$out/main-on.png"
convert "$out/main-off.png" "$out/main-on.png" -append -filter point -resize 200% "$out/main-2x.png"
