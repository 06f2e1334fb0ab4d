#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
# New inputs go to build/fuzz/corpus/<target>; the seeds in fuzz/corpus stay
# as they are. A crash leaves its input as build/fuzz/crash-* and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(LangFileFuzzer IniFileFuzzer)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNIMBRA_BUILD_FUZZERS=ON -DNIMBRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz --target "${targets[@]}"

declare -A seeds=([LangFileFuzzer]=langfile [IniFileFuzzer]=ini)
declare -A dicts=([LangFileFuzzer]=fuzz/langfile.dict [IniFileFuzzer]=fuzz/ini.dict)
for target in "${targets[@]}"; do
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  echo "== $target for ${seconds}s =="
  build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict="${dicts[$target]}" -artifact_prefix=build/fuzz/ -print_final_stats=1 \
    "$work" "fuzz/corpus/${seeds[$target]}"
done
