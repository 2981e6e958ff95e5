#!/usr/bin/env bash
# qxplay on a one-minute 720p recorded file in the library's file mode, driven by
# scripted keys through every speed, pause, step, back and seeks both ways, while it
# records what it plays; then the recording played back. Every fifth picture shown
# is compared with the window. Skipped (77) without an X display.
set -euo pipefail
mkstream=$1
player=$2
[ -n "${DISPLAY:-}" ] || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$mkstream" --codec h264 --size 1280x720 --seconds 60 --audio 1 --preset ultrafast -o "$work/minute.qx"
keys="1:f,1.5:f,2:f,2.5:f,3.5:s,4:s,4.5:s,5:s,5.5:s,6.5:f,7:f,7.5:f,8:right,9:left,10:b,11:b"
keys="$keys,12:space,12.5:.,13:.,13.5:space,14:right,15:right,15.5:right,16:f,16.5:f,17:f,17.5:f"
fail() { echo "qxplay_file: $*"; exit 1; }
# Each run's log is shown whatever it ends with, and each check says what failed.
rc=0
"$player" --verify --renderer x11 --keys "$keys" --record "$work/recording.qx" "$work/minute.qx" \
  > "$work/play.log" || rc=$?
cat "$work/play.log"
grep -q "verify: .* 0 mismatched" "$work/play.log" || fail "the window differed from the file's pictures"
for seen in "speed 16" "speed -2" "speed -20" "paused" "seek to" "pos "; do
  grep -q -- "$seen" "$work/play.log" || fail "missing: $seen"
done
grep -q "^qxplay: recorded [1-9][0-9]* bytes" "$work/play.log" || fail "nothing recorded"
[ "$rc" -eq 0 ] || fail "qxplay ended with $rc"

"$player" --verify --renderer gl --keys "0.5:f,1:f,1.5:f,2:f" "$work/recording.qx" \
  > "$work/replay.log" || rc=$?
cat "$work/replay.log"
grep -q "verify: .* 0 mismatched" "$work/replay.log" ||
  fail "the window differed from the recording's pictures"
# The recording plays what the play showed. It also holds pictures the play read ahead
# and never showed: taken just before a seek or a change into or out of the back state,
# they lose their references in the recording, where the next picture is from
# elsewhere, and how many there are depends on how far ahead a slow machine reads.
# Hence the pictures shown, not the pictures recorded, are the measure.
count() { sed -n 's/^qxplay: \([0-9]*\) of \([0-9]*\) pictures shown.*/\1 \2/p' "$1"; }
set -- $(count "$work/play.log") $(count "$work/replay.log")
[ "$#" -eq 4 ] && [ "$3" -gt 100 ] || fail "the replay showed too few pictures"
[ "$4" -ge "$1" ] || fail "the recording holds $4 pictures, the play showed $1"
[ $(( $3 * 100 )) -ge $(( $1 * 98 )) ] || fail "the replay showed $3 of the $1 pictures played"
[ "$rc" -eq 0 ] || fail "the replay ended with $rc"
