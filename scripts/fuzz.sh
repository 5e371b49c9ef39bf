#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them side by side, each
# for a bounded time, starting from the committed seed corpus. Fails on a
# crash, a sanitizer report, a leak or a time-out; prints each target's
# executions, rate, coverage and findings.
#
#   scripts/fuzz.sh [SECONDS]               every target, the corpus left as it is (CI)
#   scripts/fuzz.sh SECONDS TARGET...       a long run of the targets named: what it
#                                           found and the corpus lacks is merged into
#                                           fuzz/corpus/, minimised
#
# SECONDS defaults to 60 (or $PELLIX_FUZZ_SECONDS). PELLIX_FUZZ_JOBS=N runs
# each target in N worker processes (libFuzzer's -fork), one per core being
# the way to use a machine for a long run. Findings are kept in
# build-fuzz/artifacts; a fix goes with its input in the target's corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${PELLIX_FUZZ_SECONDS:-60}}
jobs=${PELLIX_FUZZ_JOBS:-1}
[ $# -gt 0 ] && shift
build=build-fuzz
# Target and its corpus directory under fuzz/corpus.
declare -A corpus=([FuzzHub]=hub [FuzzConfig]=config [FuzzRegMap]=regmap [FuzzHubAnswers]=answers
                   [FuzzBridgeConfig]=bridge [FuzzAccessRules]=access)
# FuzzHub's inputs are kept short: a long one costs far more per run and
# adds little, since its operations can build any frame in pieces.
declare -A options=([FuzzHub]="-max_len=2048")
merge=0
if [ $# -gt 0 ]; then
  targets=("$@")
  merge=1
else
  targets=()
  for target in "${!corpus[@]}"; do
    [ -f "fuzz/$target.cpp" ] && targets+=("$target")
  done
fi
for target in "${targets[@]}"; do
  if [ -z "${corpus[$target]:-}" ] || [ ! -f "fuzz/$target.cpp" ]; then
    echo "scripts/fuzz.sh: no fuzz target $target" >&2
    exit 2
  fi
done

scripts/setup.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELLIX_FUZZ=ON -DPELLIX_BUILD_TESTS=OFF -DPELLIX_WERROR=ON > /dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

# No allocation stacks and a small quarantine: a third more executions; a
# finding is replayed with the defaults for the whole report.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:malloc_context_size=0:quarantine_size_mb=16"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/artifacts"
work=$(mktemp -d /tmp/pellix-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT

run_target() { # target
  local dir="$work/$1"
  mkdir -p "$dir"
  cp "fuzz/corpus/${corpus[$1]}"/* "$dir"/
  local workers=""
  [ "$jobs" -gt 1 ] && workers="-fork=$jobs"
  # shellcheck disable=SC2086
  "$build/fuzz/$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 ${options[$1]:-} $workers \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$1-" "$dir" 2>"$build/$1.log"
}

# Coverage of a corpus as the target counts it when it loads one: the same
# figure whether the run had one process or several.
corpus_cov() { # target dir
  # shellcheck disable=SC2086
  "$build/fuzz/$1" -runs=0 ${options[$1]:-} "$2" 2>&1 | grep -o 'INITED cov: [0-9]*' | tail -n 1 | cut -d' ' -f3
}
pids=()
for target in "${targets[@]}"; do
  echo "== $target for ${seconds}s"
  run_target "$target" &
  pids+=($!)
done

status=0
for i in "${!pids[@]}"; do
  target=${targets[$i]}
  log="$build/$target.log"
  if ! wait "${pids[$i]}"; then
    echo "$target FAILED; the end of its log:"
    tail -n 60 "$log"
    status=1
    continue
  fi
  # One process prints its total at the end; workers' parent, per report.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\): cov:.*/\1/p' "$log" | tail -n 1)
  cov=$(corpus_cov "$target" "$work/$target")
  echo "== $target: ${runs:-?} executions, $(( ${runs:-0} / seconds ))/s, cov ${cov:-?}," \
       "$(find "$build/artifacts" -name "$target-*" | wc -l) findings kept"
  if [ "$merge" -eq 1 ]; then
    # What this run found that the committed corpus does not already
    # cover, the fewest inputs that do; the named seeds stay as they are.
    # shellcheck disable=SC2086
    "$build/fuzz/$target" -merge=1 ${options[$target]:-} "fuzz/corpus/${corpus[$target]}" "$work/$target" \
      2>"$build/$target.merge.log"
    echo "== $target: corpus now $(find "fuzz/corpus/${corpus[$target]}" -type f | wc -l) inputs," \
         "cov $(corpus_cov "$target" "fuzz/corpus/${corpus[$target]}")"
  fi
done
exit $status
