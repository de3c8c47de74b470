#!/bin/sh
# Serial benchmark: builds korvalen and the libmodbus RTU slave optimised, then reports the
# read-end latency against the character time-out and the exchange rate beside mbpoll's, all
# on a socat pty pair. Usage: tools/bench_serial.sh [exchanges]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench-serial"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target korvalen rtu_slave >/dev/null
exec /usr/bin/python3 "$root/tools/bench_serial.py" "$build/korvalen" "$build/tests/rtu_slave" "${1:-1000}"
