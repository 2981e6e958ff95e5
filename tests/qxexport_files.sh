#!/usr/bin/env bash
# qxexport turns a 4 s recording with sound, made by qxplay while it plays it live, into MP4
# (sound encoded to AAC), MKV and MOV (G.711 copied) files in which ffprobe finds
# every picture and the sound and which ffmpeg decodes without an error; damaged
# input and a codec change give an error and no output file.
set -euo pipefail
mkstream=$1
player=$2
exporter=$3
command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$mkstream" --codec h264 --size 352x288 --seconds 4 --audio 1 -o camera.qx > /dev/null
# Live, as a camera sends: the recording holds what was handed over from the start.
env -u DISPLAY "$player" --live --record recording.qx camera.qx > play.log 2>&1
grep "recorded" play.log

frames() { ffprobe -v error -count_frames -select_streams "$2" -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
codec() { ffprobe -v error -select_streams "$2" -show_entries stream=codec_name -of csv=p=0 "$1"; }
for out in out.mp4 out.mkv out.mov; do
  "$exporter" recording.qx "$out"
  [ "$(frames "$out" v:0)" -eq 100 ] || { echo "$out: $(frames "$out" v:0) pictures"; exit 1; }
  [ "$(frames "$out" a:0)" -gt 0 ] || { echo "$out: no sound"; exit 1; }
  errors=$(ffmpeg -v error -i "$out" -f null - 2>&1)
  [ -z "$errors" ] || { echo "$out: $errors"; exit 1; }
  echo "$out: $(codec "$out" v:0) $(frames "$out" v:0) pictures, $(codec "$out" a:0) sound"
done
[ "$(codec out.mp4 a:0)" = aac ]
[ "$(codec out.mov a:0)" = pcm_alaw ]
# The sound lasts as long as the pictures.
duration=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 out.mp4)
awk -v d="$duration" 'BEGIN { exit !(d > 3.8 && d < 4.3) }'

"$mkstream" --codec h265 --size 320x240 --seconds 4 --audio 3 -o h265.qx > /dev/null
"$exporter" h265.qx h265.mp4
[ "$(frames h265.mp4 v:0)" -eq 100 ]
[ "$(codec h265.mp4 v:0)" = hevc ]

head -c 100000 recording.qx > cut.qx
if "$exporter" cut.qx cut.mp4 2> cut.err; then echo "a cut recording was exported"; exit 1; fi
grep -q "damaged at byte" cut.err
cat recording.qx h265.qx > mixed.qx
if "$exporter" mixed.qx mixed.mkv 2> mixed.err; then echo "a codec change was exported"; exit 1; fi
grep -q "changes from H.264 to H.265" mixed.err
if "$exporter" recording.qx out.unknownext 2> ext.err; then exit 1; fi
leftovers=$(ls cut.mp4* mixed.mkv* out.unknownext* 2>/dev/null || true)
[ -z "$leftovers" ] || { echo "left behind: $leftovers"; exit 1; }
echo "damaged input, a codec change and an unknown container leave no file"

# Reordered pictures (B-frames), packetised from an ffmpeg-made stream with each
# packet's presentation time: the export keeps every picture at its own time.
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 50 -c:v libx264 -bf 3 -g 25 \
  -x264-params aud=1 -f matroska bframes.mkv
ffmpeg -v error -i bframes.mkv -c copy -bsf:v h264_mp4toannexb -f h264 bframes.h264
ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 bframes.mkv > bframes.pts
/usr/bin/python3 - <<'PY'
import struct
raw = open("bframes.h264", "rb").read()
stamps = [int(line) for line in open("bframes.pts") if line.strip()]
# Access units start at their delimiters, in decoding order, as the packets came.
# The first one keeps the encoder's SEI in front of it.
starts = []
at = raw.find(b"\x00\x00\x01\x09")
while at >= 0:
    starts.append(at - 1 if at > 0 and raw[at - 1] == 0 else at)
    at = raw.find(b"\x00\x00\x01\x09", at + 4)
starts[0] = 0
assert len(starts) == len(stamps), (len(starts), len(stamps))
out = bytearray()
for i, begin in enumerate(starts):
    payload = raw[begin:starts[i + 1] if i + 1 < len(starts) else len(raw)]
    pts_us = stamps[i] * 1000  # matroska counts milliseconds
    out += struct.pack("<8siiqiiqiiqqii", b"AAAAAAAA", 2, 0, i + 1, 0, 0, 1700000000, 0, 0,
                       pts_us, 0, len(payload), 0) + payload + b"\xff" * 4
open("bframes.qx", "wb").write(out)
PY
"$exporter" bframes.qx bframes.mp4
[ "$(frames bframes.mp4 v:0)" -eq 50 ]
errors=$(ffmpeg -v error -i bframes.mp4 -f null - 2>&1)
[ -z "$errors" ] || { echo "bframes.mp4: $errors"; exit 1; }
ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 bframes.mp4 > exported.pts
/usr/bin/python3 - <<'PY'
given = sorted(int(l) for l in open("bframes.pts") if l.strip())
kept = sorted(int(l) for l in open("exported.pts") if l.strip())
# MP4 counts in its own time base: compare the spacing, 40 ms between pictures.
assert len(given) == len(kept) == 50, (len(given), len(kept))
steps = {b - a for a, b in zip(kept, kept[1:])}
assert len(steps) == 1, steps
print("B-frames: 50 pictures, each at its own time")
PY
