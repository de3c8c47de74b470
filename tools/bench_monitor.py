#!/usr/bin/python3
"""Line monitor benchmark: floods a pty pair with back-to-back exchanges (a read of 10 holding
registers and its reply, 33 bytes on the wire, no pause anywhere) at the byte rate of a
saturated 115200 baud line (11520 bytes/s, three exchanges at a time), while korvalen -MON listens on
the other end with CSV records. Prints the monitor's CPU share (utime + stime from /proc over the
wall time it ran) and whether every exchange was decoded.

Usage: bench_monitor.py KORVALEN [SECONDS]"""
import os, subprocess, sys, tempfile, time, tty

from bench_slave import crc16 as crc


def main():
    korvalen, seconds = os.path.abspath(sys.argv[1]), float(sys.argv[2]) if len(sys.argv) > 2 else 10
    exchanges = [crc([1, 3, 0, i, 0, 10]) + crc([1, 3, 20] + [i & 0xFF] * 20) for i in range(256)]
    master, slave = os.openpty()
    tty.setraw(slave)
    with tempfile.TemporaryDirectory() as d:
        os.symlink(os.ttyname(slave), os.path.join(d, "COMA"))
        records = open(os.path.join(d, "records.csv"), "w+")
        mon = subprocess.Popen([korvalen, "-COMA", "-MON", "-B115200", "-OFCSV", "-TROFF"],
                               cwd=d, stdout=records, stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # the open, before the first byte
        ticks = os.sysconf("SC_CLK_TCK")
        cpu = lambda: sum(int(f) for f in open("/proc/%d/stat" % mon.pid).read()
                          .rsplit(")", 1)[1].split()[11:13]) / ticks
        stream = b"".join(exchanges[i % 256] for i in range(int(seconds * 11520 / 33)))
        start, used0 = time.monotonic(), cpu()
        # Writes of whole exchanges, so that a stall of this writer on a busy machine is a
        # pause between frames, as on a real line, never one inside a frame.
        for at in range(0, len(stream), 99):  # 3 exchanges every 8.6 ms: 11520 bytes/s
            os.write(master, stream[at:at + 99])
            time.sleep(max(0, start + (at + 99) / 11520 - time.monotonic()))
        time.sleep(0.3)
        wall, used = time.monotonic() - start, cpu() - used0
        mon.terminate()
        mon.wait(timeout=10)
        records.seek(0)
        out = records.read().splitlines()[1:]
    sent = len(stream) // 33
    ok = sum(1 for line in out if ",ok," in line)
    print("bytes %d in %.1f s (%.0f bytes/s); exchanges sent %d, decoded ok %d, other lines %d"
          % (len(stream), wall, len(stream) / wall, sent, ok, len(out) - ok))
    print("monitor CPU: %.2f s of %.1f s wall = %.2f %% of one core" % (used, wall, 100 * used / wall))
    for line in [x for x in out if ",ok," not in x][:5]:
        print("  " + line)
    return 0 if ok == sent and len(out) == sent else 1


if __name__ == "__main__":
    sys.exit(main())
