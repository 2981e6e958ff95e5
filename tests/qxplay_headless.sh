#!/usr/bin/env bash
# Without a display qxplay says so, plays on and counts every picture, from a file
# and from standard input.
set -euo pipefail
mkstream=$1
player=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$mkstream" --codec h264 --size 320x240 --seconds 2 --audio 1 -o "$work/s.qx"
env -u DISPLAY "$player" "$work/s.qx" > "$work/out" 2> "$work/err"
cat "$work/err" "$work/out"
grep -q "no X display" "$work/err"
grep -q "^qxplay: 50 of 50 pictures shown, 0 dropped" "$work/out"
grep -q "320x240 H.264" "$work/out"
env -u DISPLAY "$player" - < "$work/s.qx" > "$work/out" 2> /dev/null
cat "$work/out"
grep -q "^qxplay: 50 of 50 pictures shown" "$work/out"
