#!/usr/bin/env bash
# Builds in the given directory (default build) and runs every test. KORVALEN_SANITIZE=ON
# builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKORVALEN_SANITIZE="${KORVALEN_SANITIZE:-OFF}" \
    -DKORVALEN_TESTS=ON >/dev/null
cmake --build "$dir" -j"$(nproc)"
clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h')
ctest --test-dir "$dir" --no-tests=error --output-on-failure -j2 --timeout 300
