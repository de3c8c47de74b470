#!/bin/sh
# Builds the link benchmark optimised and runs it: link layer over loopback TCP against a
# minimal raw client, same peer, same bytes. Usage: tools/bench.sh [exchanges]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
if grep -q '^add_subdirectory(tools)' "$root/CMakeLists.txt"; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVALEN_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target bench_link >/dev/null
    exec "$build/tools/bench_link" "${1:-20000}"
fi
# the tools directory is not yet part of the root build: compile the stack in directly
mkdir -p "$build"
c++ -std=c++17 -O2 -Wall -Wextra -Werror -Wshadow -I"$root" -o "$build/bench_link" \
    "$root/tools/bench_link.cpp" "$root"/stack/al/*.cpp "$root"/stack/dl/*.cpp \
    "$root"/stack/drivers/*.cpp "$root/app/trace.cpp" -pthread
exec "$build/bench_link" "${1:-20000}"
