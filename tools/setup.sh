#!/usr/bin/env bash
# Installs the build tools and the real peers the tests run against (Debian packages), and
# the cross-compilers and wine for the Windows builds (wine32 is an i386 package).
# Idempotent: packages already present are not fetched again.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libgmock-dev googletest clang-format socat
          python3-pymodbus python3-serial libmodbus-dev mbpoll clang-14 libclang-rt-14-dev strace
          dpkg-dev man-db g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
          wine32:i386)
export DEBIAN_FRONTEND=noninteractive
fresh=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    fresh=1
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $fresh -eq 1 ]; then
    apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
