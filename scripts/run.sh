#!/usr/bin/env bash
# The main job: build, write sample camera streams and play them in a window. With
# no display at hand the player says so and plays headless, printing its stats line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF
cmake --build build-run -j "$(nproc)"
mkdir -p out
build-run/tools/qxmkstream --codec h264 --size 1280x720 --seconds 4 --audio 1 -o out/sample-h264.qx
build-run/tools/qxmkstream --codec h265 --size 640x360 --seconds 4 --audio 3 -o out/sample-h265.qx
build-run/tools/qxmkstream --summary out/sample-h264.qx
if [ -z "${DISPLAY:-}" ]; then
  echo "DISPLAY is not set: qxplay plays headless (set DISPLAY, or run under xvfb-run, to see it)"
fi
build-run/tools/qxplay --sound out/sample-h264.qx
build-run/tools/qxplay --sound out/sample-h265.qx
