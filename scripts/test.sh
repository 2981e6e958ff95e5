#!/usr/bin/env bash
# Builds and runs every test: under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded suites under ThreadSanitizer, every fuzz target for a short while, and
# last the normal build.
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
# stop and state changes, the sound player with its session, the host callbacks of
# frame delivery, callbacks that end their port, shutdown under playing hosts, port
# lifetimes over and over, callbacks that call exports while their port stops, and
# the host interface with the statistics every worker reports into, with
# ThreadSanitizer.
tsan_tests=(port_table_test playback_control_test playback_damage_test stream_audio_test
  sound_e2e_test frame_delivery_test fault_injection_test port_scale_test session_lifecycle_test
  host_api_test)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQX_TSAN=ON -DQX_BUILD_TESTS=ON -DQX_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target "${tsan_tests[@]}"
for t in "${tsan_tests[@]}"; do
  filter='*'
  # Two hundred ports at once are for the builds whose shadow memory is smaller.
  [ "$t" = port_scale_test ] && filter='PortCycles.*'
  # Mesa's software GL synchronises its own threads in ways the sanitizer cannot see;
  # the real-window test runs in the other two builds.
  [ "$t" = fault_injection_test ] && filter='-DisplayFaults.AWindowDestroyedWhilePlayingEndsNothing'
  QX_PORT_CYCLES=100 TSAN_OPTIONS=halt_on_error=1 "build-tsan/tests/$t" --gtest_filter="$filter"
done

# Every fuzz target, built with clang's libFuzzer, for a short while from its corpus.
scripts/fuzz.sh "${QX_FUZZ_SECONDS:-15}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=ON
cmake --build build -j "$jobs"
# How far each click is heard from its flash, for the log.
(build/tests/sound_e2e_test || true) | grep '^\[ A/V \]' || true
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600
