#!/usr/bin/env bash
# The main job: build, write a sample camera stream and show what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF
cmake --build build-run -j "$(nproc)"
mkdir -p out
build-run/tools/qxmkstream --codec h264 --size 1280x720 --seconds 4 --audio 1 -o out/sample-h264.qx
build-run/tools/qxmkstream --codec h265 --size 640x360 --seconds 4 --audio 3 -o out/sample-h265.qx
build-run/tools/qxmkstream --summary out/sample-h264.qx
build-run/tools/qxmkstream --summary out/sample-h265.qx
