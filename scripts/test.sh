#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite.
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   address and undefined sanitizers, in build-asan/
#   scripts/test.sh --thread     thread sanitizer over the threaded parts (server, store, gps, app, globe)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build
options=()
# Sanitizer builds: -O1 as the sanitizers advise, and line tables only, enough for their
# reports; half the compile time of -O2 -g, which keeps CI within its time.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
labels=()
targets=()
if [[ "${1:-}" == "--sanitize" ]]; then
  build=build-asan
  options+=(-DTIVRA_SANITIZE="address;undefined" -DTIVRA_WERROR=ON "${sanitizer_flags[@]}")
elif [[ "${1:-}" == "--thread" ]]; then
  build=build-tsan
  options+=(-DTIVRA_SANITIZE=thread -DTIVRA_WERROR=ON "${sanitizer_flags[@]}")
  labels=(-L 'server|store|gps|search|app|globe')
  export TSAN_OPTIONS="suppressions=$PWD/tests/data/tsan.supp ${TSAN_OPTIONS:-}"
  # Only what those labels run: the other suites would cost CI minutes and go unused.
  targets=(--target tivra tivra-store test_server test_store test_gps test_search test_app test_globe)
fi
# Always on: run.sh configures build/ without tests, and the cache would keep that.
cmake -S . -B "$build" -DTIVRA_BUILD_TESTS=ON "${options[@]}"
cmake --build "$build" -j2 "${targets[@]}"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j2 "${labels[@]}"
