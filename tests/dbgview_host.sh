#!/usr/bin/env bash
# qxdbgview receives the line a host's QxPlay_Init sends.
set -u
viewer=$1
host=$2
out=$(mktemp)
"$viewer" > "$out" 2>/dev/null &
pid=$!
sleep 0.3
"$host" > /dev/null || { kill $pid; exit 1; }
sleep 0.3
kill $pid 2>/dev/null
wait $pid 2>/dev/null
cat "$out"
grep -q "QxPlay_Init ipc" "$out"
rc=$?
rm -f "$out"
exit $rc
