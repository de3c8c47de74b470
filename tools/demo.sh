#!/usr/bin/env bash
# The main job against the built-in peer: builds korvalen, starts a Modbus RTU slave (unit 100,
# seeded registers) over TCP on 127.0.0.1, and reads three holding registers from 400011.
# Extra arguments are passed to korvalen after the port option.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j"$(nproc)" --target korvalen >/dev/null

out=$(mktemp)
/usr/bin/python3 tests/e2e/slave.py serve --lifetime 30 >"$out" 2>/dev/null &
peer=$!
stop() { kill "$peer" 2>/dev/null || true; wait "$peer" 2>/dev/null || true; rm -f "$out"; }
trap stop EXIT
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^READY \([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "demo peer did not start" >&2; exit 1; }
# korvalen always exits with 10.
./build/korvalen -SK127.0.0.1/"$port" "$@" || true
echo
