#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 600),
# starting from the stored corpus: scripts/fuzz.sh [SECONDS [TARGET...]]. New inputs
# land in build-fuzz/corpus/<name>/, crashing ones in build-fuzz/crashes/; each run's
# log, with its execution count, in build-fuzz/logs/<name>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQX_FUZZ=ON -DQX_BUILD_TESTS=OFF \
  -DQX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
mkdir -p build-fuzz/crashes build-fuzz/logs
status=0
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  mkdir -p "build-fuzz/corpus/$name"
  if ! build-fuzz/fuzz/"$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crashes/$name-" \
    "build-fuzz/corpus/$name" "fuzz/corpus/$name" > "build-fuzz/logs/$name.log" 2>&1; then
    echo "$t: FAILED (build-fuzz/logs/$name.log)"
    status=1
  fi
  echo "$t: $(grep -h 'stat::number_of_executed_units' "build-fuzz/logs/$name.log" | awk '{print $2}') executions in ${seconds} s"
done
exit $status
