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
# Sound on without a sound card: the silent sink plays it, and qxplay says so once.
"$mkstream" --codec h265 --size 320x240 --seconds 2 --audio 3 -o "$work/a.qx"
env -u DISPLAY "$player" --sound "$work/a.qx" > "$work/out" 2> /dev/null
cat "$work/out"
grep -q "^qxplay: 50 of 50 pictures shown" "$work/out"
if ! aplay -L 2>/dev/null | grep -q .; then
  [ "$(grep -c "silent sink" "$work/out")" -eq 1 ]
fi
# Heard sound keeps with the pictures while they play: a second into the file an
# offset of a second means none is heard.
awk -F'A/V ' 'NF > 1 && !seen { seen = 1; split($2, v, " "); ok = v[1] > -500 && v[1] < 500 }
  END { exit !ok }' "$work/out"
