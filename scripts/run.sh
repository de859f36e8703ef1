#!/usr/bin/env bash
# Installs what is needed, builds, and runs the headless map server on the default settings
# (port 11000 on 127.0.0.1). Settings and the tile store live in tivra-data/ unless
# TIVRA_DATA_DIR names another directory. Ctrl-C shuts it down in order.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DTIVRA_BUILD_TESTS=OFF
cmake --build build -j2 --target tivra
data="${TIVRA_DATA_DIR:-$PWD/tivra-data}"
mkdir -p "$data"
exec ./build/tivra --headless --data-dir "$data" "$@"
