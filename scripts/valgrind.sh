#!/usr/bin/env bash
# Runs the test suite under valgrind memcheck and fails on any memcheck error
# or definite leak. Every daemon a test starts runs under memcheck. The test
# programs themselves run under it too, except those that only drive the real
# daemon from outside (end-to-end, fault and soak tests): their own code is
# test code, and under memcheck its descriptor limits and timings would be
# valgrind's rather than the machine's. The cases that wait out real time
# (label "slow") are left to the plain and sanitizer runs.
#
# It uses the plain build (build/, as scripts/test.sh makes it), building
# it if needed, and runs the cases through ctest in parallel.
#   scripts/valgrind.sh [ctest regex of cases]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
scripts/setup.sh valgrind
cmake -S . -B "$build" -DPELLIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

logs="$build/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
          --show-leak-kinds=definite --child-silent-after-fork=yes --num-callers=30 -q)
export PELLIX_TEST_LAUNCHER="${memcheck[*]} --log-file=$PWD/$logs/test-%p.log"
export PELLIX_TEST_DAEMON_WRAPPER="${memcheck[*]} --log-file=/dev/stderr"
# Tests of what memcheck itself changes (SIGSEGV, the descriptor limit) skip
# when they see this.
export PELLIX_UNDER_MEMCHECK=1

filter=()
[ $# -gt 0 ] && filter=(-R "$1")
status=0
# The Python SDK's tests (label "python") run the interpreter, not our code;
# the bridge's end-to-end tests (label "bridge") wait on a broker in real time.
# One case more than cores: each spends part of its time waiting on a
# daemon or a socket rather than in the checker.
ctest --test-dir "$build" -j "$(( $(nproc 2>/dev/null || echo 2) + 1 ))" -LE 'slow|python|bridge' --timeout 600 --output-on-failure \
  "${filter[@]}" || status=1
# Debian 12's valgrind does not know pidfd_open (434) and answers ENOSYS,
# which the kill path handles; its five-line notice is not a finding.
unknown_pidfd='^--[0-9]+-- (WARNING: unhandled amd64-linux syscall: 434$|You may be able to write your own handler|Read the file README_MISSING_SYSCALL_OR_IOCTL|Nevertheless we consider this a bug|it at http://valgrind.org/support/bug_reports.html)'
for log in "$logs"/*.log; do
  if [ -s "$log" ] && grep -qvE "$unknown_pidfd" "$log"; then
    echo "== memcheck: $log"
    tail -n 60 "$log"
    status=1
  fi
done
exit $status
