#!/usr/bin/env bash
# Sourced: gives the caller an X display. An existing DISPLAY that answers is kept;
# otherwise a private Xvfb is started and stopped again when the caller exits.
qx_start_xvfb() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    return 0
  fi
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    QX_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 50); do
      xdpyinfo >/dev/null 2>&1 && { trap 'kill $QX_XVFB_PID 2>/dev/null || true' EXIT; return 0; }
      sleep 0.1
    done
    kill "$QX_XVFB_PID" 2>/dev/null || true
  done
  unset DISPLAY
  echo "no X server could be started: window tests are skipped" >&2
}
