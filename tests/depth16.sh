#!/usr/bin/env bash
# The plain X renderer on a 16-bit screen: a private Xvfb at depth 16.
set -euo pipefail
test_binary=$1
command -v Xvfb >/dev/null || exit 77
for n in $(seq 140 170); do
  [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 640x480x16 -nolisten tcp -noreset >/dev/null 2>&1 &
  pid=$!
  trap 'kill $pid 2>/dev/null || true' EXIT
  export DISPLAY=":$n"
  for i in $(seq 1 50); do
    if xdpyinfo >/dev/null 2>&1; then
      rc=0
      "$test_binary" --gtest_filter='*x11:X11Renderer.*' || rc=$?
      exit $rc
    fi
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
done
exit 77
