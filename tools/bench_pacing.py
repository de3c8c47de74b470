#!/usr/bin/python3
"""Reports korvalen's time per request at -TD5 and -TD1 (pacing in whole milliseconds) against
korvalen-slave on loopback TCP: the Linux build, and the Windows builds under wine where they
have been built (tools/test-windows.sh). The time runs from request 1 to request 401 as the
program announces them, so start-up is left out."""
import os, select, subprocess, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT = os.environ.get("KORVALEN_BENCH_PORT", "1610")
os.environ.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mountmgr.sys=d",
                  WINEPREFIX=os.path.join(ROOT, "build-windows-i686", "wineprefix"))


def per_request(command, td):
    """ms from "Sending request #1" to "#401", read as the output comes."""
    run = subprocess.Popen(command + ["-SK127.0.0.1/" + PORT, "-RQ401", "-TD%d" % td, "-PKOFF",
                                      "-RDOFF"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    out, seen, deadline = b"", {}, time.monotonic() + 60
    while len(seen) < 2 and time.monotonic() < deadline:
        if select.select([run.stdout], [], [], 1)[0]:
            out += os.read(run.stdout.fileno(), 65536)
            for n in (1, 401):
                if n not in seen and b"Sending request #%d\n" % n in out.replace(b"\r", b""):
                    seen[n] = time.monotonic()
    run.wait(60)
    return (seen[401] - seen[1]) * 1000 / 400 if len(seen) == 2 else float("nan")


slave = subprocess.Popen([os.path.join(ROOT, "build", "korvalen-slave"), "-SK/" + PORT],
                         stdout=subprocess.DEVNULL)
try:
    time.sleep(0.3)
    runs = [[os.path.join(ROOT, "build", "korvalen")]]
    for arch, loader in (("i686", "wine"), ("x86_64", "wine64")):
        exe = os.path.join(ROOT, "build-windows-" + arch, "korvalen.exe")
        if os.path.exists(exe):
            runs.append(["/usr/lib/wine/" + loader, exe])
    for command in runs:
        for td in (5, 1):
            print("%-70s -TD%d: %.2f ms per request" % (" ".join(command), td,
                                                         per_request(command, td)), flush=True)
finally:
    slave.terminate()
    slave.wait(5)
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL, check=False)
