#!/usr/bin/env bash
# Runs the test suite under valgrind memcheck and fails on any memcheck error
# or definite leak. Every daemon a test starts runs under memcheck. The test
# programs themselves run under it too, except those that only drive the real
# daemon from outside (end-to-end, fault and soak tests): their own code is
# test code, and under memcheck its descriptor limits and timings would be
# valgrind's rather than the machine's.
#   scripts/valgrind.sh [gtest filter]
set -euo pipefail
cd "$(dirname "$0")/.."

filter=${1:-*}
build=build-valgrind
scripts/setup.sh valgrind
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPELLIX_WERROR=ON
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
          --show-leak-kinds=definite --child-silent-after-fork=yes --num-callers=30 -q)
# DaemonProcess starts the daemon through this command line.
export PELLIX_TEST_DAEMON_WRAPPER="${memcheck[*]} --log-file=/dev/stderr"
# The soak runs in its own CI step; a short one is enough here.
export PELLIX_SOAK_SECONDS=${PELLIX_SOAK_SECONDS:-20}

status=0
mapfile -t programs < <(find "$build/tests" -type f -name '*_tests' -perm -u+x | sort)
for program in "${programs[@]}"; do
  name=$(basename "$program")
  log="$build/$name.memcheck.log"
  echo "== $name"
  # Tests of what memcheck itself changes (SIGSEGV, the descriptor limit)
  # skip when they see PELLIX_UNDER_MEMCHECK.
  runner=(env PELLIX_UNDER_MEMCHECK=1 "${memcheck[@]}" --log-file="$log")
  case "$name" in
    e2e_tests|fault_tests|soak_tests) runner=() ;;
  esac
  if "${runner[@]}" "$program" --gtest_filter="$filter" > "$build/$name.out" 2>&1; then
    grep -E "^\[  (PASSED|FAILED)|tests? ran" "$build/$name.out" | tail -n 2 || true
  else
    echo "$name FAILED under valgrind:"
    tail -n 40 "$build/$name.out"
    [ -s "$log" ] && tail -n 60 "$log"
    status=1
  fi
done
exit $status
