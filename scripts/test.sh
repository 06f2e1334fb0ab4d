#!/usr/bin/env bash
# Installs what is missing, builds both platforms and runs every test:
# natively under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# 32-bit Windows build under Wine (in a prefix inside the build folder).
# Where the kernel runs no 32-bit code, the 32-bit build is compiled only and
# the same Windows code is built and tested as 64-bit programs under wine64
# (preset windows64).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
NIMBRA_MINGW_DEPS=$(scripts/build-mingw-deps.sh | tail -n 1)
export NIMBRA_MINGW_DEPS

status=0

echo "== native build and tests =="
cmake --preset linux >/dev/null
cmake --build --preset linux
mkdir -p build
ctest --preset linux 2>&1 | tee build/ctest-linux.log || status=1

echo "== Windows build and tests under Wine =="
cmake --preset windows >/dev/null
if scripts/can-run-32bit.sh; then
  cmake --build --preset windows
fi
# The installer (build/windows/Nimbra-<version>-setup.exe) is not part of
# the default build; its test installs it under Wine. Where 32-bit code
# cannot run, it alone is built: the 32-bit programs it ships must keep
# building, their tests run as 64-bit programs below. The native run above
# built the Debian package in its DebPackage test.
cmake --build --preset windows --target installer || status=1
logs=(build/ctest-linux.log)
if scripts/can-run-32bit.sh; then
  # Some tests open windows: they get a private X server.
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset windows 2>&1 | tee build/ctest-windows.log ||
    status=1
  WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true
  logs+=(build/ctest-windows.log)
else
  # Wine runs 32-bit programs only where the kernel runs 32-bit code; some
  # hosts switch that off. The programs are built (above) but not run; the
  # same code runs as 64-bit programs instead.
  echo "32-bit Windows tests NOT RUN: this machine's kernel runs no 32-bit code" \
    "(an i386 program fails with 'Exec format error'), so Wine cannot start them."
  echo "== 64-bit Windows build and tests under wine64 (the same code, in their place) =="
  NIMBRA_MINGW64_DEPS=$(scripts/build-mingw-deps.sh --arch x86_64 | tail -n 1)
  export NIMBRA_MINGW64_DEPS
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset windows64 2>&1 |
    tee build/ctest-windows64.log || status=1
  WINEPREFIX="$PWD/build/windows64/wineprefix" wineserver -k 2>/dev/null || true
  logs+=(build/ctest-windows64.log)
fi

echo "== fuzz targets, briefly (clang, libFuzzer) =="
scripts/fuzz.sh 10 || status=1

# One closing line for every run: "N passed, N failed", and the tests ctest
# skipped (counted in its total) when there are any.
total=0
failed=0
skipped=0
for log in "${logs[@]}"; do
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [[ -z "$line" ]]; then
    status=1
    continue
  fi
  failed=$((failed + $(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")))
  total=$((total + $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")))
  skipped=$((skipped + $(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)' "$log" || true)))
done
((failed == 0)) || status=1
echo
if ((skipped > 0)); then
  echo "tests: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
else
  echo "tests: $((total - failed)) passed, $failed failed"
fi
exit $status
