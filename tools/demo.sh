#!/usr/bin/env bash
# The main job, end to end on this machine: builds both programs, starts korvalen-slave (unit 100,
# seeded image) as a TCP server on 127.0.0.1, runs korvalen against it (a read of 3 holding
# registers from 400011, then a write that is read back), stops the slave and prints its side.
# The port is KORVALEN_DEMO_PORT, default 1502.
set -euo pipefail
cd "$(dirname "$0")/.."
# The two programs only: the tests (and GoogleTest) are the test command's.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DKORVALEN_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target korvalen korvalen-slave >/dev/null

port=${KORVALEN_DEMO_PORT:-1502}
log=$(mktemp)
./build/korvalen-slave -SK/"$port" -LA127.0.0.1 -SEC60 >"$log" 2>&1 &
slave=$!
trap 'kill "$slave" 2>/dev/null || true; wait "$slave" 2>/dev/null || true; rm -f "$log"' EXIT

# Whether a socket listens on the port, from the kernel's table (state 0A is LISTEN). Asked of
# the kernel rather than by connecting, so that the slave's log holds only the demo's masters.
listening() {
    awk -v p="$(printf ':%04X' "$port")" '$4 == "0A" && $2 ~ p "$" { found = 1 } END { exit !found }' \
        /proc/net/tcp
}
# Waits (at most 5 s) until the slave listens; it keeps that socket for its whole run.
await_listen() {
    for _ in $(seq 500); do
        listening && return 0
        kill -0 "$slave" 2>/dev/null || break
        sleep 0.01
    done
    echo "korvalen-slave is not listening on port $port:" >&2
    cat "$log" >&2
    exit 1
}

master() { # korvalen always exits with 10
    echo "\$ korvalen $*"
    ./build/korvalen "$@" || true
    echo
}

await_listen
master -SK127.0.0.1/"$port" -Q
master -SK127.0.0.1/"$port" -FNWRITE 111 222 333
master -SK127.0.0.1/"$port" -Q
kill -TERM "$slave"
wait "$slave" || true
echo "\$ korvalen-slave -SK/$port -LA127.0.0.1  (its output)"
cat "$log"
