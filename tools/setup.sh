#!/usr/bin/env bash
# Installs what building and running the two programs needs (cmake, g++, make). With "test" it
# installs the rest of what the tests need as well: GoogleTest, the real peers, clang with its
# sanitizers, the package tools, and the cross-compilers and wine for the Windows builds
# (wine32 is an i386 package). Idempotent: packages already present are not fetched again.
set -euo pipefail
packages=(cmake g++ make)
# The build alone needs nothing a package merely recommends; the test set is taken as Debian
# composes it.
extra=(--no-install-recommends)
if [ "${1:-}" = test ]; then
    packages+=(libgtest-dev libgmock-dev googletest clang-format socat python3-pymodbus
               python3-serial libmodbus-dev mbpoll clang-14 libclang-rt-14-dev strace dpkg-dev
               man-db mandoc g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386)
    extra=()
elif [ $# -gt 0 ]; then
    echo "usage: $0 [test]" >&2
    exit 2
fi
export DEBIAN_FRONTEND=noninteractive
fresh=0
if [ "${1:-}" = test ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
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
    apt-get install -y -qq "${extra[@]}" "${missing[@]}" >/dev/null
fi
