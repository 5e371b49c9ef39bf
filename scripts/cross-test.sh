#!/usr/bin/env bash
# Cross-builds Pellix for 64-bit Arm (aarch64) in build-arm64/ and runs the
# whole test suite there under qemu-user: the test programs, and the daemon,
# pellix-cli and the example module that the tests start, are all arm64
# binaries run by qemu-aarch64-static (no binfmt_misc needed).
#   scripts/cross-test.sh            set up, build, test, and build the arm64 .debs
#   scripts/cross-test.sh --no-test  set up, build and package only
# Either way the packaged sizes are checked against doc/operations.md
# (scripts/sizes.py; PELLIX_WRITE_SIZES=1 writes them there instead).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-arm64
jobs=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh --arm64
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIX_WERROR=ON
cmake --build "$build" -j "$jobs"

for binary in "$build/pellix" "$build/cli/pellix-cli"; do
  description=$(file -b "$binary")
  echo "$binary: $description"
  case "$description" in
    *"ARM aarch64"*) ;;
    *) echo "$binary is not an aarch64 binary" >&2; exit 1 ;;
  esac
done

if [ "${1:-}" != "--no-test" ]; then
  qemu=$(command -v qemu-aarch64-static)
  # The programs use the arm64 loader and libraries of the multiarch
  # packages; with a library prefix qemu 7.2 hangs children after fork().
  unset QEMU_LD_PREFIX
  # The tests run the daemon and the programs through these command lines
  # (tests/support/DaemonProcess, tests/cli/ProgramProcess); ctest runs the
  # test programs themselves through the toolchain's emulator.
  export PELLIX_TEST_DAEMON_WRAPPER="$qemu"
  export PELLIX_TEST_PROGRAM_WRAPPER="$qemu"
  # A test that cannot run under emulation skips on this, saying why (the
  # tests of finding a peer socket's holding process).
  export PELLIX_UNDER_EMULATION=1
  # Emulated programs start and run several times slower: waits for their
  # output and their end are stretched by this factor.
  export PELLIX_TEST_TIME_SCALE=${PELLIX_TEST_TIME_SCALE:-5}
  # The cases that wait out real time ran natively already (label "slow");
  # the Python SDK's (label "python") run the host's interpreter, nothing arm64;
  # the bridge's end-to-end ones (label "bridge") need a broker and real time.
  # One case more than cores: each spends part of its time waiting.
  ctest --test-dir "$build" -j "$((jobs + 1))" -LE 'slow|python|bridge' --output-on-failure --timeout 600
fi

(cd "$build" && cpack -G DEB -C RelWithDebInfo)
for deb in "$build"/packages/*.deb; do
  echo "== $deb"
  dpkg-deb -f "$deb" Package Architecture Depends
done
scripts/sizes.py "$build"
