#!/usr/bin/env bash
# The floors check catches what it is meant to: each breach, planted in a
# small tree of its own, must make it fail, and a clean tree must pass.
set -euo pipefail
check="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

plant() { # plant NAME FILE LINE: a fresh clean tree plus one line in FILE
  local tree="$work/$1"
  mkdir -p "$tree/src/platform/gui/win32" "$tree/src/base" "$tree/src/engine" "$tree/src/pipe" \
    "$tree/src/ui" "$tree/src/app" "$tree/src/service"
  echo '#include "platform/Files.h"' >"$tree/src/base/Logger.cpp"
  echo '#include "base/Logger.h"' >"$tree/src/engine/TorControl.cpp"
  echo '#include <windows.h>' >"$tree/src/platform/gui/win32/Win32Window.cpp"
  echo '#include "platform/gui/Gui.h"' >"$tree/src/ui/Forms.h"
  echo '#include "ui/Forms.h"' >"$tree/src/app/MainFormUnit.cpp"
  [[ -z $2 ]] || { mkdir -p "$(dirname "$tree/src/$2")" && echo "$3" >>"$tree/src/$2"; }
  printf '%s' "$tree"
}

expect() { # expect PASS|FAIL NAME [FILE LINE]
  local want=$1 tree out rc=0
  tree=$(plant "$2" "${3:-}" "${4:-}")
  out=$(python3 "$check" "$tree" 2>&1) || rc=$?
  if [[ $want == PASS && $rc -ne 0 ]] || [[ $want == FAIL && $rc -ne 1 ]]; then
    echo "FAILED: $2: expected $want, got exit $rc: $out"
    exit 1
  fi
  echo "ok: $2 ($want): ${out##*$'\n'}"
}

expect PASS clean
expect FAIL upward-include base/Options.cpp '#include "ui/Forms.h"'
expect FAIL same-floor engine/TorControl.h '#include "pipe/PipeClient.h"'
expect FAIL program-to-program service/Service.cpp '#include "app/MainFormUnit.h"'
expect FAIL os-header-in-logic ui/Picture.cpp '#include <windows.h>'
expect FAIL platform-into-gui platform/Files.cpp '#include "platform/gui/Gui.h"'
expect FAIL unknown-folder core/Old.cpp '#include "base/Logger.h"'
