#!/bin/bash
# Builds optimised and benchmarks over loopback TCP, each pair side by side in one run, in
# alternating rounds (the median of each reported) so that drift of the machine's speed hits
# both alike:
#  1. the link layer in process against a minimal raw client (bench_link);
#  2. korvalen -RQN -TD0 -PKOFF -RDOFF (RTU over TCP) against the raw client, both reading from
#     korvalen-slave;
#  3. korvalen -FRTCP the same against libmodbus's client loop, both reading from libmodbus's
#     Modbus TCP server;
#  4. libmodbus's client loop served by korvalen-slave -FRTCP against it served by libmodbus's
#     server.
# A ratio above 1.00 means korvalen's side is the faster. Usage: tools/bench.sh [exchanges]
set -euo pipefail
n=${1:-20000}
rounds=${BENCH_ROUNDS:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target bench_link korvalen korvalen-slave tcp_peer >/dev/null
"$build/tools/bench_link" "$n"

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT
free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Starts korvalen-slave as a TCP server with these options; its port in $port once it listens.
slave() {
    port=$(free_port)
    "$build/korvalen-slave" -SK/"$port" "$@" >/dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.05
    done
}
ms() { # milliseconds the command takes, its output dropped
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000))
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$(((${#@} + 1) / 2))p"; }
# pair LABEL-A LABEL-B 'command A' 'command B': medians, rates and the ratio A/B of the rates.
pair() {
    local a=() b=()
    for _ in $(seq "$rounds"); do
        a+=("$(ms bash -c "$3")")
        b+=("$(ms bash -c "$4")")
    done
    local ma mb
    ma=$(median "${a[@]}")
    mb=$(median "${b[@]}")
    awk -v la="$1" -v lb="$2" -v ma="$ma" -v mb="$mb" -v n="$n" -v ra="${a[*]}" -v rb="${b[*]}" \
        'BEGIN { printf "%-34s %8.0f exchanges/s  (ms per round: %s)\n", la, n / ma * 1000, ra;
                 printf "%-34s %8.0f exchanges/s  (ms per round: %s)\n", lb, n / mb * 1000, rb;
                 printf "%-34s %8.2f x\n\n", "ratio", mb / ma }'
}

slave
rtu=$port
slave -FRTCP
mbap=$port
"$build/tests/tcp_peer" server >"$build/tcp_peer.port" &
pids+=($!)
for _ in $(seq 100); do [ -s "$build/tcp_peer.port" ] && break; sleep 0.05; done
lib=$(cut -d' ' -f2 "$build/tcp_peer.port")
run="-RQ$n -TD0 -PKOFF -RDOFF"
echo "== $n exchanges a round, $rounds rounds, 3 holding registers read over 127.0.0.1"
pair "korvalen, RTU over TCP" "raw C client, RTU over TCP" \
    "'$build/korvalen' -SK127.0.0.1/$rtu $run" "'$build/tools/bench_link' raw $rtu $n"
pair "korvalen -FRTCP" "libmodbus client" \
    "'$build/korvalen' -SK127.0.0.1/$lib -FRTCP $run" "'$build/tests/tcp_peer' client $lib $n"
pair "korvalen-slave -FRTCP serving" "libmodbus server serving" \
    "'$build/tests/tcp_peer' client $mbap $n" "'$build/tests/tcp_peer' client $lib $n"
