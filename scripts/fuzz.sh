#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 600),
# starting from the stored corpus. New inputs land in build-fuzz/corpus/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQX_FUZZ=ON -DQX_BUILD_TESTS=OFF \
  -DQX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=()
for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  mkdir -p "build-fuzz/corpus/$name"
  build-fuzz/fuzz/"$t" -max_total_time="$seconds" -print_final_stats=1 \
    "build-fuzz/corpus/$name" "fuzz/corpus/$name"
done
