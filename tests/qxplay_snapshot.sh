#!/usr/bin/env bash
# qxplay takes a BMP and a JPEG snapshot of a paused picture; ImageMagick reads both,
# and both match what the window shows. Skipped (77) without a display or ImageMagick.
set -euo pipefail
mkstream=$1
player=$2
[ -n "${DISPLAY:-}" ] || exit 77
for tool in identify import compare; do
  command -v "$tool" >/dev/null || exit 77
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$mkstream" --codec h264 --size 640x360 --seconds 4 -o sample.qx
"$player" --renderer x11 --keys 1:space,2:c,2.3:j --seconds 7 sample.qx > player.txt &
player_pid=$!
for _ in $(seq 1 150); do
  [ "$(find . -name 'qxplay-snapshot-*' | wc -l)" -ge 2 ] && break
  sleep 0.1
done
sleep 0.3
window=$(grep -o 'window 0x[0-9a-f]*' player.txt | cut -d' ' -f2)
import -window "$window" window.png
wait "$player_pid"
grep 'snapshot' player.txt
status=0
for snapshot in qxplay-snapshot-*.bmp qxplay-snapshot-*.jpg; do
  identify "$snapshot"
  # Normalised root-mean-square difference, 0..1; the JPEG also carries its
  # compression loss and the full-range conversion of memory images.
  # compare exits 1 for images that differ at all.
  error=$( (compare -metric RMSE "$snapshot" window.png null: 2>&1 || true) | sed 's/.*(\(.*\)).*/\1/')
  limit=0.02
  [ "${snapshot##*.}" = jpg ] && limit=0.08
  echo "$snapshot against the window: RMSE $error (limit $limit)"
  awk -v e="$error" -v l="$limit" 'BEGIN { exit !(e < l) }' || status=1
done
exit $status
