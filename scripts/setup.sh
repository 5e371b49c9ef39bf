#!/usr/bin/env bash
# Installs everything Pellix needs to build, run and test on Debian 12.
# Idempotent: does nothing when every package is already there.
#   scripts/setup.sh [PACKAGE...]           the host build, and any extra packages
#   scripts/setup.sh --arm64 [PACKAGE...]   also the cross-build for 64-bit Arm:
#       Debian's aarch64 cross compiler, qemu-user-static to run what it
#       builds, and the arm64 development packages of the dependencies
#       (dpkg's arm64 architecture is added for them)
set -euo pipefail

arm64=0
extra=()
for arg in "$@"; do
  case "$arg" in
    --arm64) arm64=1 ;;
    *) extra+=("$arg") ;;
  esac
done

# libcli11-dev (header-only, architecture "all") serves the arm64 cross-build
# as it is: the cross compiler searches /usr/include as well.
# The tools' tests: tshark (the Wireshark dissector) and tcpdump (a live
# capture on loopback), python3-prometheus-client (its OpenMetrics parser),
# help2man and man-db (the manual pages, made at build time and rendered).
packages=(g++ cmake make pkg-config libspdlog-dev libfmt-dev libjsoncpp-dev libboost-dev
          libcli11-dev libgtest-dev psmisc python3-pytest libmosquitto-dev mosquitto mosquitto-clients openssl
          tshark tcpdump python3-prometheus-client help2man man-db
          "${extra[@]}")
if [ "$arm64" -eq 1 ]; then
  packages+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static file dpkg-dev
             libspdlog-dev:arm64 libfmt-dev:arm64 libjsoncpp-dev:arm64 libboost-dev:arm64
             libgtest-dev:arm64 libmosquitto-dev:arm64)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

lists=/var/lib/apt/lists
refresh=0
if [ "$arm64" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
  refresh=1
fi
if [ "$arm64" -eq 1 ] && [ -z "$(find "$lists" -maxdepth 1 -name '*binary-arm64_Packages*' 2>/dev/null | head -n 1)" ]; then
  refresh=1
fi
# Refresh the package lists when they are missing or older than a day.
if [ -z "$(find "$lists" -maxdepth 1 -name '*_Packages*' -mtime -1 2>/dev/null | head -n 1)" ]; then
  refresh=1
fi
if [ "$refresh" -eq 1 ]; then
  $sudo apt-get update -q
fi
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
