#!/usr/bin/env bash
# Builds Pellix and runs the hub in the foreground on its fixed paths
# (/work/pellixPara.json, /work/data/log, /tmp/qm_sock, /tmp/regMap.json).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target pellix
mkdir -p "${PELLIX_ROOT:-}/work/data/log"
exec build/pellix
