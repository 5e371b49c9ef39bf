#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# starting from the committed seed corpus. Fails on a crash, a sanitizer
# report, a leak or a time-out.
#   scripts/fuzz.sh [seconds per target]     (default 60, or $PELLIX_FUZZ_SECONDS)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${PELLIX_FUZZ_SECONDS:-60}}
build=build-fuzz

scripts/setup.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELLIX_FUZZ=ON -DPELLIX_BUILD_TESTS=OFF -DPELLIX_WERROR=ON
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target FuzzHub FuzzConfig FuzzRegMap

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/artifacts"
# The targets run side by side: each has its time limit, whatever the others do.
run_target() { # target corpus
  local work
  work=$(mktemp -d)
  cp fuzz/corpus/"$2"/* "$work"/
  local result=0
  "$build/fuzz/$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$1-" "$work" 2>"$build/$1.log" || result=1
  rm -rf "$work"
  return $result
}
pids=()
targets=()
for pair in FuzzHub:hub FuzzConfig:config FuzzRegMap:regmap; do
  target=${pair%%:*}
  echo "== $target for ${seconds}s"
  run_target "$target" "${pair##*:}" &
  pids+=($!)
  targets+=("$target")
done
status=0
for i in "${!pids[@]}"; do
  target=${targets[$i]}
  if ! wait "${pids[$i]}"; then
    echo "$target FAILED; the end of its log:"
    tail -n 60 "$build/$target.log"
    status=1
  else
    echo "== $target: $(grep -E "stat::number_of_executed_units" "$build/$target.log" | tail -n 1)"
  fi
done
exit $status
