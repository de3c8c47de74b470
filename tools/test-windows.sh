#!/usr/bin/env bash
# Cross-builds the Windows .exe files for each target given (i686, x86_64; default both) with
# mingw-w64 and runs every test under wine, in a prefix of the build's own. The wine server is
# started and the prefix booted before ctest, and the server stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(i686 x86_64)
# Wine's mount manager would map this machine's serial devices, the console among them, to
# COM1 and up; the tests make their own COM links and expect no other.
export WINEDEBUG=-all WINEDLLOVERRIDES=mountmgr.sys=d
trap 'wineserver -k 2>/dev/null || true' EXIT
for target in "${targets[@]}"; do
    cmake --preset "windows-$target" >/dev/null
    cmake --build --preset "windows-$target" -j"$(nproc)"
    export WINEPREFIX="$PWD/build-windows-$target/wineprefix"
    mkdir -p "$WINEPREFIX"
    wineserver -k 2>/dev/null || true
    wineserver -w
    wineserver -p >"$WINEPREFIX/wineserver.log" 2>&1
    # Booted with the loader the tests run under: the wine script takes the 32-bit one
    # whenever it is installed, which a kernel without 32-bit support cannot start.
    loader=/usr/lib/wine/wine64
    [ "$target" = x86_64 ] || loader=/usr/lib/wine/wine
    WINELOADER=$loader "$loader" wineboot -i >/dev/null 2>&1
    rm -f "$WINEPREFIX"/dosdevices/com*
    ctest --preset "windows-$target" -j2 --timeout 600
    wineserver -k
    wineserver -w
done
