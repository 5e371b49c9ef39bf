#!/usr/bin/env bash
# Builds Pellix and runs the whole test suite.
#   scripts/test.sh              build in build/ and run every test
#   scripts/test.sh --sanitize   the same in build-asan/ with ASan and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DPELLIX_SANITIZE=ON)
  export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
jobs=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh
cmake -S . -B "$build" -DPELLIX_WERROR=ON "${flags[@]}"
cmake --build "$build" -j "$jobs"
# Most cases wait on sockets and timers rather than compute: two per core.
ctest --test-dir "$build" -j "$((jobs * 2))" --output-on-failure --timeout 300
