# Cross-build for 64-bit Arm Linux on an x86-64 Debian machine, with Debian's
# cross compiler (g++-aarch64-linux-gnu) and the arm64 multiarch development
# packages of the dependencies (libspdlog-dev:arm64 and the others under
# /usr/lib/aarch64-linux-gnu; `scripts/setup.sh --arm64` installs them).
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
#
# What the build makes runs on the build machine through qemu-user (tests,
# and the listing of test cases at build time): CMAKE_CROSSCOMPILING_EMULATOR.
# PELLIX_QEMU overrides the emulator's path.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(PELLIX_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${PELLIX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELLIX_CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${PELLIX_CROSS_TRIPLET}-strip CACHE FILEPATH "strip for the target")

# Debian's multiarch layout: the target's libraries and package files are in
# /usr/lib/aarch64-linux-gnu, the headers in /usr/include (shared with the
# host, identical for every architecture) and /usr/include/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${PELLIX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${PELLIX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config (jsoncpp) must read the target's .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${PELLIX_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

if(DEFINED ENV{PELLIX_QEMU})
  set(pellix_qemu $ENV{PELLIX_QEMU})
else()
  find_program(pellix_qemu NAMES qemu-aarch64-static qemu-aarch64)
endif()
if(pellix_qemu)
  # No -L (QEMU_LD_PREFIX): the programs find the arm64 loader and libraries
  # where the device has them, /lib/ld-linux-aarch64.so.1 and the multiarch
  # directories (libc6:arm64, pulled in by the -dev:arm64 packages). With a
  # prefix, qemu-user 7.2 hangs a dynamically linked program's child right
  # after fork(), and the tests fork.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${pellix_qemu})
endif()
