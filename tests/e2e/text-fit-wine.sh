#!/usr/bin/env bash
# TextFitTest under Wine with the fonts the screenshots are taken in, so
# that every text of every language is measured as the program draws it:
# Chinese in the face the prefix gives Chinese, the others in theirs
# (nimbra_prefix_face).
#   text-fit-wine.sh WINE_RUN PREFIX TEXT_FIT_TEST.exe PROGRAM_DIR
set -euo pipefail
wine_run=$1 prefix=$2 test_program=$3 program=$4
source "$(dirname "$0")/nimbra-wine-lib.sh"

work="$prefix.work"
rm -rf "$work"
mkdir -p "$work"
[[ -n "${DISPLAY:-}" ]] || nimbra_own_display "$work"
nimbra_prefix_fonts "$program"
others=1033
for file in "$(dirname "$test_program")"/*.lng; do
  id=$(head -n 1 "$file" | tr -d '\r' | sed 's/^\xEF\xBB\xBF//; s/^LANGID=//')
  [[ "$id" == 2052 ]] || others+=",$id"
done
status=0
nimbra_prefix_face 1033
NIMBRA_TEXT_FIT_FONTS=1 NIMBRA_TEXT_FIT_LANGUAGES=$others run "$test_program" || status=1
nimbra_prefix_face 2052
NIMBRA_TEXT_FIT_FONTS=1 NIMBRA_TEXT_FIT_LANGUAGES=2052 run "$test_program" || status=1
exit $status
