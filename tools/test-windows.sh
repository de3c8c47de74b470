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
    # Some kernels run no 32-bit program (no IA32 emulation): the build is then all there is.
    if [ "$target" = i686 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "test-windows: this machine runs no 32-bit program; the i686 build is not run" >&2
        continue
    fi
    export WINEPREFIX="$PWD/build-windows-$target/wineprefix"
    mkdir -p "$WINEPREFIX"
    wineserver -k 2>/dev/null || true
    wineserver -w
    # In the foreground, in this script's session. As a daemon it leads a session of its own,
    # and as it opens the files its clients open, the first pty a test opened as a COM port
    # became its controlling terminal: each hang-up of it then made the server dump every object
    # it held (over 100 MB of log in one run), stalling every program under test meanwhile.
    wineserver -f -p >"$WINEPREFIX/wineserver.log" 2>&1 &
    for _ in $(seq 50); do wineserver -k0 2>/dev/null && break; sleep 0.1; done
    # Booted by the target's own loader: the wineboot script takes the 32-bit one wherever it is
    # installed, also where it cannot run.
    "/usr/lib/wine/$([ "$target" = i686 ] && echo wine || echo wine64)" wineboot -i >/dev/null 2>&1
    rm -f "$WINEPREFIX"/dosdevices/com*
    # One suite at a time: each runs several programs at once already, and wine under more load
    # than that has been seen to take over 20 s to end a program that had already finished.
    ctest --preset "windows-$target" --timeout 600
    wineserver -k
    wineserver -w
    wait
done
