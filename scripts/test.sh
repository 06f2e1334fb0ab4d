#!/usr/bin/env bash
# Installs what is missing, builds both platforms and runs every test:
# natively under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# 32-bit Windows build under Wine (in a prefix inside the build folder).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
NIMBRA_MINGW_DEPS=$(scripts/build-mingw-deps.sh | tail -n 1)
export NIMBRA_MINGW_DEPS

status=0

echo "== native build and tests =="
cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux || status=1

echo "== Windows build and tests under Wine =="
cmake --preset windows >/dev/null
cmake --build --preset windows
# Some tests open windows: they get a private X server.
xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset windows || status=1
WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true

echo "== fuzz targets, briefly (clang, libFuzzer) =="
scripts/fuzz.sh 10 || status=1

if ((status)); then
  echo "Some tests failed."
else
  echo "All tests passed on both platforms."
fi
exit $status
