#!/usr/bin/env bash
# Installs the build tools and the real peers the tests run against (Debian packages).
# Idempotent: packages already present are not fetched again.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev clang-format socat python3-pymodbus
          python3-serial libmodbus-dev mbpoll clang-14 libclang-rt-14-dev strace dpkg-dev
          man-db)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
