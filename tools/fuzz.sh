#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in the given directory (default build-fuzz) and runs
# each from its seed corpus for a bounded number of runs. Exits non-zero on the first crash;
# the reproducer is left in the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}
runs=${FUZZ_RUNS:-20000}
seconds=${FUZZ_SECONDS:-30}
targets=(${FUZZ_TARGETS:-fuzz_rx fuzz_decode fuzz_args fuzz_typed fuzz_ident fuzz_monitor})
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
    -DKORVALEN_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
for t in "${targets[@]}"; do
    seeds=tests/fuzz/corpus/${t#fuzz_}
    work=$dir/corpus-$t
    mkdir -p "$work" "$dir/crash-$t"
    echo "== $t"
    "$dir/tests/fuzz/$t" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$dir/crash-$t/" "$work" "$seeds" 2>&1 | tail -n 12
done
