#!/bin/sh
# Runs one example program on a fresh stream, in a directory of its own:
#
#   run_example.sh DIR QXMKSTREAM "QXMKSTREAM OPTIONS" EXAMPLE [ARGUMENTS...]
#
# DIR is emptied, qxmkstream writes DIR/stream.qx with the options, and the example runs
# in DIR, so that its arguments name stream.qx and its output files there.
set -eu
dir=$1
mkstream=$2
options=$3
shift 3
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
# The options are separate words.
# shellcheck disable=SC2086
"$mkstream" $options -o stream.qx
exec "$@"
