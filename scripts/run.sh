#!/usr/bin/env bash
# Builds Pellix and runs the hub in the foreground on its fixed paths
# (/work/pellixPara.json, /work/data/log, /tmp/qm_sock, /tmp/regMap.json).
# The hub, pellix-cli and pellix-bridge are linked into build/bin, which a
# second terminal puts on its PATH.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target pellix pellix-cli pellix-bridge
# Relative links, replaced on every run: they survive moving the clone.
mkdir -p build/bin
for program in pellix cli/pellix-cli bridge/pellix-bridge; do
  [ -x "build/$program" ] || { echo "run.sh: build/$program was not built" >&2; exit 1; }
  ln -sfn "../$program" "build/bin/${program##*/}"
done
echo "the programs are in build/bin: export PATH=\"$PWD/build/bin:\$PATH\"" >&2
mkdir -p "${PELLIX_ROOT:-}/work/data/log"
exec build/pellix
