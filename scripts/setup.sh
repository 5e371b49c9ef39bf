#!/usr/bin/env bash
# Installs everything Pellix needs to build, run and test on Debian 12.
# Idempotent: does nothing when every package is already there.
set -euo pipefail

packages=(g++ cmake make pkg-config libspdlog-dev libfmt-dev libjsoncpp-dev libboost-dev
          libgtest-dev psmisc "$@")

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

# Refresh the package lists when they are missing or older than a day.
lists=/var/lib/apt/lists
if [ -z "$(find "$lists" -maxdepth 1 -name '*_Packages*' -mtime -1 2>/dev/null | head -n 1)" ]; then
  $sudo apt-get update -q
fi
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
