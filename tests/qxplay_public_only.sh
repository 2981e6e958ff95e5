#!/usr/bin/env bash
# qxplay is a host of the public interface alone: it needs the shared library, and
# none of the library's own code is linked into it; every library function it calls
# is an export of the header.
set -euo pipefail
player=$1
header=$2
readelf -d "$player" | grep -q 'NEEDED.*libqxplaylib\.so'
internal=$(nm -C "$player" | grep -E ' [TtWw] ' | grep -E 'qx::|DDrawSession|CStreamAudio|D3DRender|CDDrawDisplay|RecH264Data' || true)
[ -z "$internal" ] || { echo "internal code in qxplay:"; echo "$internal"; exit 1; }
for symbol in $(nm -D --undefined-only "$player" | awk '{print $2}' | grep '^QxPlay_'); do
  grep -q "QXPLAY_API[^;]*\b${symbol}(" "$header" || { echo "$symbol is not in the header"; exit 1; }
done
echo "qxplay uses $(nm -D --undefined-only "$player" | grep -c ' QxPlay_') exports of the header and nothing else of the library"
