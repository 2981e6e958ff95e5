#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole suite: builds with gcov
# instrumentation into build-cov, runs every test, and prints gcovr's summary. The
# counters are updated atomically: the library's threads share them.
# Usage: scripts/coverage.sh [CTEST_ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if ! command -v gcovr >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends gcovr
fi
jobs=$(nproc)
source scripts/xvfb.sh
qx_start_xvfb
cmake -S . -B build-cov -DCMAKE_BUILD_TYPE=Debug -DQX_BUILD_TESTS=ON -DQX_BUILD_BENCH=OFF \
  "-DCMAKE_C_FLAGS=--coverage -fprofile-update=atomic" \
  "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
  -DCMAKE_MODULE_LINKER_FLAGS=--coverage
cmake --build build-cov -j "$jobs"
find build-cov -name '*.gcda' -delete
ctest --test-dir build-cov -j "$jobs" --timeout 600 "$@" || true
gcovr --root . --object-directory build-cov --filter 'src/' --gcov-ignore-parse-errors --print-summary \
  --txt build-cov/coverage.txt > build-cov/coverage-summary.txt
cat build-cov/coverage-summary.txt
