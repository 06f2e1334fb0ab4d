#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
# New inputs go to build/fuzz/corpus/<target>; the seeds in fuzz/corpus stay
# as they are. A crash leaves its input as build/fuzz/crash-* and fails.
# Runs of 300 s and more use every core (one libFuzzer worker per core;
# NIMBRA_FUZZ_JOBS overrides). Each target ends with a line
# "<target>: N executions".
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(LangFileFuzzer IniFileFuzzer PrefsRewriteFuzzer OperaIniFuzzer
  ControlReplyFuzzer PipeBlockFuzzer RegistryFileFuzzer)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNIMBRA_BUILD_FUZZERS=ON -DNIMBRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz --target "${targets[@]}"

declare -A seeds=([LangFileFuzzer]=langfile [IniFileFuzzer]=ini [PrefsRewriteFuzzer]=prefs
  [OperaIniFuzzer]=operaini [ControlReplyFuzzer]=control [PipeBlockFuzzer]=pipeblock
  [RegistryFileFuzzer]=registry)
declare -A dicts=([LangFileFuzzer]=fuzz/langfile.dict [IniFileFuzzer]=fuzz/ini.dict
  [PrefsRewriteFuzzer]=fuzz/prefs.dict [OperaIniFuzzer]=fuzz/operaini.dict
  [ControlReplyFuzzer]=fuzz/control.dict [PipeBlockFuzzer]=fuzz/pipeblock.dict
  [RegistryFileFuzzer]=fuzz/registry.dict)
# Inputs up to this many bytes (libFuzzer's default is 4,096). The rewrites
# work line by line, so a few lines reach every state, and a longer input
# only costs time; the opera6.ini limit still lets a value pass the 2,047
# characters where reading cuts it. The other targets keep the default (the
# INI reader's cut at 2,047 UTF-16 units needs longer inputs still).
declare -A max_len=([LangFileFuzzer]=2048 [PrefsRewriteFuzzer]=1024 [OperaIniFuzzer]=2100)
jobs=${NIMBRA_FUZZ_JOBS:-1}
((seconds < 300)) || jobs=${NIMBRA_FUZZ_JOBS:-$(nproc)}
# Allocation stacks are recorded for every allocation and cost a third of the
# time on the text readers; replay a crash without this to see them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0}
root=$PWD
status=0
for target in "${targets[@]}"; do
  work=$root/build/fuzz/corpus/$target
  log=$root/build/fuzz/$target.log
  mkdir -p "$work"
  echo "== $target for ${seconds}s, $jobs job(s) =="
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
    -dict="$root/${dicts[$target]}" -artifact_prefix="$root/build/fuzz/" -print_final_stats=1
    -max_len="${max_len[$target]:-4096}")
  corpus=("$work" "$root/fuzz/corpus/${seeds[$target]}")
  failed=0
  if ((jobs > 1)) && [[ -n "$(ls -A "$work")" ]]; then
    # Workers each add what they find, so the folder collects near-copies;
    # a long run starts from the smallest set with the same coverage (each
    # worker loads it whole).
    rm -rf "$work.merged"
    mkdir -p "$work.merged"
    if "$root/build/fuzz/fuzz/$target" -merge=1 "${options[@]:1}" "$work.merged" "$work" \
      "$root/fuzz/corpus/${seeds[$target]}" >"$log.merge" 2>&1; then
      rm -rf "$work"
      mv "$work.merged" "$work"
    fi
  fi
  if ((jobs <= 1)); then
    "$root/build/fuzz/fuzz/$target" "${options[@]}" "${corpus[@]}" >"$log" 2>&1 || failed=1
  else
    # Independent workers on one corpus folder, each taking up what the
    # others found: fork mode restarts its children and spends a third of
    # the time on that. Each worker logs to fuzz-<n>.log in its folder; the
    # first process copies those logs into its own output as they end.
    logs=$root/build/fuzz/$target.jobs
    rm -rf "$logs"
    mkdir -p "$logs"
    (cd "$logs" && "$root/build/fuzz/fuzz/$target" -jobs="$jobs" -workers="$jobs" \
      "${options[@]}" "${corpus[@]}") >"$log" 2>&1 || failed=1
  fi
  if ((failed)); then
    tail -n 60 "$log"
    echo "$target: FAILED (full output in $log)"
    status=1
    continue
  fi
  # Each process prints its total as a final statistic.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | awk '{n += $1} END {print n}')
  echo "$target: ${runs:-?} executions"
done
exit $status
