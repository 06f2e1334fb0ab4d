# Helpers for scripts that run Nimbra.exe under Wine on an X display and
# look at it from outside (sourced, not run): the start they share, the
# engine settings for the private onion network, the local address
# endpoint, what the window shows, and ending it from the tray. They need
# DISPLAY set (when called), xdotool and imagemagick.

# The start every such script shares. It sets wine_run and prefix first;
# `run` starts a program in that prefix, and what the script adds to `pids`
# ends on exit, after the prefix's Wine server.
fail() { echo "FAIL: $*" >&2; exit 1; }
# xdotool, given up after 10 s with a word: a query that meets a window
# going away can wait on the X server for good, and so can a focus asked
# with --sync that never comes.
xdo() {
  local rc=0
  timeout 10 xdotool "$@" || rc=$?
  ((rc != 124)) || echo "xdotool $* gave no answer within 10 s" >&2
  return "$rc"
}
run() { "$wine_run" --prefix "$prefix" "$@"; }
pids=()
nimbra_cleanup() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap nimbra_cleanup EXIT

# A virtual display of the script's own (input and screenshots must not
# meet other tests' windows); sets DISPLAY.
nimbra_own_display() {  # WORK_DIR
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" >/dev/null 2>&1 &
  pids+=($!)
  local _
  for _ in $(seq 100); do [[ -s "$1/display" ]] && break; sleep 0.1; done
  [[ -s "$1/display" ]] || fail "no virtual display"
  export DISPLAY=":$(tr -d '\n' <"$1/display")"
}

# The prefix's fonts as the windows are looked at and measured: Wine draws
# the dialogs' frames (there is no window manager); the label font is
# installed, and Wine's caption-button glyphs beside it. Then, for each
# language, nimbra_prefix_face.
nimbra_prefix_fonts() {  # PROGRAM_DIR
  local metric face_hex
  run reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
  # The system's own texts (captions, menus, message boxes, tooltips) in
  # Tahoma of any character set, as on Windows: Wine's defaults name a face
  # in the Western set, which under an Arabic locale it draws in a face
  # without that script. (LOGFONTW: 11 px, weight, character set 1, face.)
  face_hex=$(printf 'Tahoma' | iconv -t UTF-16LE | od -An -tx1 | tr -d ' \n')
  face_hex=$face_hex$(printf '0%.0s' $(seq $((128 - ${#face_hex}))))
  for metric in CaptionFont:bc02 SmCaptionFont:bc02 MenuFont:9001 StatusFont:9001 \
    MessageFont:9001 IconFont:9001; do
    run reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v "${metric%%:*}" /t REG_BINARY \
      /d "f5ffffff000000000000000000000000${metric#*:}00000000000100000000${face_hex}" /f >/dev/null
  done
  mkdir -p "$prefix/drive_c/windows/Fonts"
  cp "$1/LCDN.TTF" "$prefix/drive_c/windows/Fonts/"
  if [[ -f /usr/share/wine/fonts/marlett.ttf ]]; then
    cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
  fi
}

# Tahoma, the face of the dialogs, of the skin's texts and of the system's
# own texts, has the Arabic script and links to a Chinese face on Windows
# (also in bold). Wine has no such Tahoma, and links no face in bold, so the
# prefix draws Tahoma (and "MS Shell Dlg") in a face that has the language's
# script: WenQuanYi Micro Hei (fonts-wqy-microhei) for Chinese, DejaVu Sans
# (fonts-dejavu-core, linked to WenQuanYi Micro Hei) for the others. Set
# before the program starts.
nimbra_prefix_face() {  # LANGID
  local cjk_font face target=DejaVu\ Sans
  cjk_font=$(fc-list -f '%{file}\n' 'WenQuanYi Micro Hei' | head -n 1)
  [[ -n "$cjk_font" ]] || fail "no WenQuanYi Micro Hei: run scripts/install-packages.sh"
  [[ -n "$(fc-list 'DejaVu Sans:lang=fa')" ]] || fail "no DejaVu Sans: run scripts/install-packages.sh"
  [[ "$1" == 2052 ]] && target='WenQuanYi Micro Hei'
  run reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Tahoma /d "$target" /f >/dev/null
  for face in 'MS Shell Dlg' 'MS Shell Dlg 2'; do
    run reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v "$face" /d "$target" /f >/dev/null
  done
  run reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v 'DejaVu Sans' /t REG_MULTI_SZ /d "$(basename "$cjk_font"),WenQuanYi Micro Hei" /f >/dev/null
}

# Runs COMMAND (a function of the script too) until it succeeds; 1 after
# SECONDS.
wait_until() {  # SECONDS COMMAND...: polls every 0.2 s
  local tries=$(($1 * 5))
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

# Waits until FILE holds TEXT (a basic regular expression); 1 after SECONDS.
nimbra_wait_for() {  # FILE TEXT [SECONDS]
  local _
  for _ in $(seq $((${3:-60} * 10))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "gave up waiting for '$2' in $1" >&2
  return 1
}

# The port of a local address endpoint (tools/ipecho) started with its
# output in OUT, once it listens.
nimbra_endpoint_port() {  # OUT
  local port
  nimbra_wait_for "$1" "listening on" || return 1
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1" | tr -d '\r')
  [[ -n "$port" ]] || { echo "no port in $1" >&2; return 1; }
  echo "$port"
}

# Starts the local address endpoint (tools/ipecho in TOOLS_DIR), answering
# ADDRESS, with its output in WORK_DIR/ipecho.txt, and points the program's
# address lookup at it, first asked after DELAY_MS.
nimbra_start_lookup() {  # TOOLS_DIR WORK_DIR ADDRESS COUNT DELAY_MS
  local port
  run "$1/ipecho/ipecho.exe" --answer "$3" --count "$4" >"$2/ipecho.txt" 2>&1 &
  pids+=($!)
  port=$(nimbra_endpoint_port "$2/ipecho.txt") || return 1
  export NIMBRA_IP_LOOKUP_URL="http://127.0.0.1:$port/scripts/whatismyip.php"
  export NIMBRA_IP_LOOKUP_DELAY_MS=$5
}

# The engine settings for the private network, written to OUT before the
# first start (the host leaves an existing settings file as it is): the
# host's five lines in the engine's own Windows paths (FOLDER ends with a
# backslash), then the network's client lines. Refuses settings that name
# anything off loopback.
nimbra_testnet_settings() {  # NETWORK_DIR FOLDER OUT
  local network=$1 folder=$2 out=$3 authorities local_authorities
  [[ -f "$network/client-settings" ]] || { echo "no $network/client-settings" >&2; return 1; }
  {
    printf 'SocksListenAddress 127.0.0.1\r\nSocksPort 35491\r\nControlPort 35490\r\n'
    printf 'DataDirectory %scache\r\nLog warn file %sanon.dll.log\r\n' "$folder" "$folder"
    tr -d '\r' <"$network/client-settings" | sed 's/$/\r/'
  } >"$out"
  authorities=$(grep -c '^DirAuthority ' "$out" || true)
  local_authorities=$(grep -cE '^DirAuthority .* 127\.[0-9]+\.[0-9]+\.[0-9]+:[0-9]+ ' "$out" || true)
  if ((authorities == 0 || authorities != local_authorities)) ||
    grep -qiE '^(FallbackDir|Bridge|UseBridges|%include)' "$out"; then
    rm -f "$out"
    echo "the settings would leave loopback" >&2
    return 1
  fi
}

# What the main window's label shows now, from the debug log (the program
# logs each change while the DebugMode key exists); every change with ALL.
nimbra_label() {  # LOG_FILE [all]
  local lines
  [[ -f "$1" ]] || return 0
  lines=$(tr -d '\r' <"$1" |
    sed -n 's/.*TNimbraMainForm\.Proxy_Address: shows "\(.*\)"$/\1/p' || true)
  if [[ "${2:-}" == all ]]; then
    printf '%s\n' "$lines"
  else
    printf '%s\n' "$lines" | tail -n 1
  fi
}

# The main window (330 pixels wide; the menu panel and tutorial share its
# title).
nimbra_main_window() {
  local id
  for id in $(xdo search --onlyvisible --name '^Nimbra$' 2>/dev/null); do
    if [[ "$(xdo getwindowgeometry --shell "$id")" == *$'WIDTH=330\n'* ]]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}

# Whether the lamp is green in a screenshot of the whole screen.
nimbra_lamp_green() {  # PNG
  local id X Y WIDTH HEIGHT SCREEN WINDOW rgb
  id=$(nimbra_main_window) || return 1
  eval "$(xdo getwindowgeometry --shell "$id")"
  rgb=$(convert "$1" -crop "1x1+$((X + 305))+$((Y + 58))" +repage -depth 8 txt:- | tail -n 1 |
    sed -E 's/.*\(([0-9.]+),([0-9.]+),([0-9.]+).*/\1 \2 \3/' | tr -d '%')
  read -r -a rgb <<<"$rgb"
  ((${rgb[1]%.*} > 150 && ${rgb[0]%.*} < 120 && ${rgb[2]%.*} < 120))
}

# The popup menu Nimbra.exe shows (a window of its own without a title),
# when there is one.
nimbra_menu() {
  local id
  for id in $(xdo search --onlyvisible --classname '^nimbra\.exe$' 2>/dev/null); do
    [[ -z "$(xdo getwindowname "$id" 2>/dev/null)" ]] && { echo "$id"; return 0; }
  done
  return 1
}
nimbra_menu_shown() { nimbra_menu >/dev/null; }

# Ends Nimbra.exe as its user does: Exit, the tray menu's last item, then Yes
# (the default button) to the question whether to lose anonymity. Sets
# nimbra_answered_ms to the time of the Yes (milliseconds since the epoch).
nimbra_exit_from_tray() {  # PID
  local tray confirm X Y WIDTH HEIGHT SCREEN WINDOW
  tray=$(xdo search --onlyvisible --name '^Wine System Tray$' 2>/dev/null | head -n 1)
  [[ -n "$tray" ]] || { echo "no tray window" >&2; return 1; }
  # Relative to the window: a window manager may have framed it.
  xdo mousemove --window "$tray" 10 10 click 3
  # The menu, or a second at least (a busy machine is slow to show it).
  sleep 1
  local menu=''
  for _ in $(seq 90); do
    menu=$(nimbra_menu) && break
    sleep 0.1
  done
  if [[ -n "$menu" ]]; then
    # A click on the last item: with a window manager the keyboard may not
    # reach the menu.
    eval "$(xdo getwindowgeometry --shell "$menu")"
    xdo mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 8)) click 1
  else
    xdo key Up Return
  fi
  for _ in $(seq 50); do
    confirm=$(xdo search --onlyvisible --name '^Confirm$' 2>/dev/null | head -n 1)
    [[ -n "$confirm" ]] && break
    sleep 0.2
  done
  [[ -n "$confirm" ]] || { echo "Exit in the tray menu asked nothing" >&2; return 1; }
  xdo windowfocus --sync "$confirm"
  nimbra_answered_ms=$(date +%s%3N)
  xdo key Return
  for _ in $(seq 600); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.05
  done
  echo "Nimbra.exe did not end after Exit" >&2
  return 1
}
