#!/usr/bin/env bash
# Plays written samples with qxplay and has it compare its window with every fifth
# picture shown: H.264 and H.265, both renderers, the window at the picture's size
# and stretched. Skipped (77) without an X display.
set -euo pipefail
mkstream=$1
player=$2
[ -n "${DISPLAY:-}" ] || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$mkstream" --codec h264 --size 640x360 --seconds 2 --audio 1 -o "$work/h264.qx"
"$mkstream" --codec h265 --size 480x272 --seconds 2 --audio 3 -o "$work/h265.qx"
for renderer in gl x11; do
  for sample in h264 h265; do
    for size in "" "--size 1000x600"; do
      echo "== $sample, $renderer ${size}"
      # shellcheck disable=SC2086
      "$player" --verify --renderer "$renderer" $size "$work/$sample.qx" | tail -2
    done
  done
  echo "== live h264, $renderer"
  "$player" --verify --live --cache 0 --renderer "$renderer" "$work/h264.qx" | tail -2
done
