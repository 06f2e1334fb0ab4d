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
mkdir -p build
status=0

# The native libraries first: the native build needs them. The Windows
# libraries then build in the background at the lowest priority, so that
# they take only what the native build and its tests leave idle.
NIMBRA_NATIVE_DEPS=$(scripts/build-mingw-deps.sh --arch native | tail -n 1)
export NIMBRA_NATIVE_DEPS
if scripts/can-run-32bit.sh; then
  echo "== 32-bit Windows libraries in the background (build/deps-i686.log) =="
  nice -n 19 scripts/build-mingw-deps.sh --arch i686 >build/deps-i686.txt \
    2>build/deps-i686.log &
  deps32=$!
else
  # First the 64-bit libraries the tests need, then the 32-bit chain (its
  # libraries and the installer), which nothing here waits for until the end.
  echo "== 64-bit and 32-bit Windows libraries in the background (build/deps-*.log) =="
  nice -n 19 scripts/build-mingw-deps.sh --arch x86_64 >build/deps-x86_64.txt \
    2>build/deps-x86_64.log &
  deps64=$!
  (
    while kill -0 "$deps64" 2>/dev/null; do sleep 2; done
    NIMBRA_MINGW_DEPS=$(nice -n 19 scripts/build-mingw-deps.sh --arch i686 | tail -n 1)
    export NIMBRA_MINGW_DEPS
    cmake --preset windows >/dev/null
    # The installer (build/windows/Nimbra-<version>-setup.exe) and the 32-bit
    # programs it ships must keep building; they cannot run here, the same
    # code runs as 64-bit programs below.
    nice -n 19 cmake --build --preset windows --target installer
  ) >build/windows-i686.log 2>&1 &
  installer32=$!
fi

echo "== native build and tests =="
cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux 2>&1 | tee build/ctest-linux.log || status=1
logs=(build/ctest-linux.log)

echo "== Windows build and tests under Wine =="
if [[ -n "${deps32:-}" ]]; then
  if wait "$deps32"; then
    NIMBRA_MINGW_DEPS=$(tail -n 1 build/deps-i686.txt)
    export NIMBRA_MINGW_DEPS
    cmake --preset windows >/dev/null
    cmake --build --preset windows
    # The installer (build/windows/Nimbra-<version>-setup.exe) is not part of
    # the default build; its test installs it under Wine. The native run
    # above built the Debian package in its DebPackage test.
    cmake --build --preset windows --target installer || status=1
    # Some tests open windows: they get a private X server.
    xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset windows 2>&1 |
      tee build/ctest-windows.log || status=1
    WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true
  else
    status=1
    echo "the 32-bit Windows libraries did not build:"
    tail -n 40 build/deps-i686.log
  fi
  logs+=(build/ctest-windows.log)
else
  # Wine runs 32-bit programs only where the kernel runs 32-bit code; some
  # hosts switch that off. The programs are built (in the background) but
  # not run; the same code runs as 64-bit programs instead.
  echo "32-bit Windows tests NOT RUN: this machine's kernel runs no 32-bit code" \
    "(an i386 program fails with 'Exec format error'), so Wine cannot start them."
  echo "== 64-bit Windows build and tests under wine64 (the same code, in their place) =="
  if wait "$deps64"; then
    NIMBRA_MINGW64_DEPS=$(tail -n 1 build/deps-x86_64.txt)
    export NIMBRA_MINGW64_DEPS
    cmake --preset windows64 >/dev/null
    cmake --build --preset windows64
    xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset windows64 2>&1 |
      tee build/ctest-windows64.log || status=1
    WINEPREFIX="$PWD/build/windows64/wineprefix" wineserver -k 2>/dev/null || true
  else
    status=1
    echo "the 64-bit Windows libraries did not build:"
    tail -n 40 build/deps-x86_64.log
  fi
  logs+=(build/ctest-windows64.log)
fi

echo "== fuzz targets, briefly (clang, libFuzzer) =="
scripts/fuzz.sh 10 || status=1

if [[ -n "${installer32:-}" ]]; then
  echo "== 32-bit Windows programs and installer (built in the background) =="
  if wait "$installer32"; then
    tail -n 3 build/windows-i686.log
  else
    status=1
    echo "the 32-bit build failed:"
    tail -n 60 build/windows-i686.log
  fi
fi

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
