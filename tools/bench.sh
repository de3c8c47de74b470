#!/bin/sh
# Builds the link benchmark optimised and runs it: link layer over loopback TCP against a
# minimal raw client, same peer, same bytes. Usage: tools/bench.sh [exchanges]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVALEN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_link >/dev/null
exec "$build/tools/bench_link" "${1:-20000}"
