#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
# The renderer and player tests draw into real windows.
source scripts/xvfb.sh
qx_start_xvfb

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON -DQX_BUILD_TESTS=ON -DQX_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600

# The port table under concurrent host threads, the session's workers under play,
# stop and state changes, the sound player with its session, and the host callbacks of
# frame delivery, with ThreadSanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQX_TSAN=ON -DQX_BUILD_TESTS=ON -DQX_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target port_table_test playback_control_test playback_damage_test \
  stream_audio_test sound_e2e_test frame_delivery_test
for t in port_table_test playback_control_test playback_damage_test stream_audio_test sound_e2e_test \
  frame_delivery_test; do
  TSAN_OPTIONS=halt_on_error=1 "build-tsan/tests/$t"
done

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=ON
cmake --build build -j "$jobs"
# How far each click is heard from its flash, for the log.
(build/tests/sound_e2e_test || true) | grep '^\[ A/V \]' || true
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600
