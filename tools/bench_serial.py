#!/usr/bin/python3
"""Serial benchmark on a socat pty pair against the libmodbus RTU slave; prints figures.

Usage: bench_serial.py KORVALEN RTU_SLAVE [EXCHANGES]

1. Read-end latency: korvalen runs under strace; per exchange, from the end of the read() that
   returned the reply's last bytes to the next write() (the front end's next line), which
   follows at once when the read ends. The time-out argument of the first poll() after the last
   byte is the character time-out in use. strace slows every system call a little.
2. Exchanges per second: korvalen -TD0 -PKOFF -RDOFF -RQ<n> and mbpoll (RTU, its fastest poll
   rate of 10 ms) reading the same three registers of the same slave, one after the other.
"""
import os, re, select, statistics, subprocess, sys, tempfile, time

LINE = re.compile(r"^\d+\s+(\d+\.\d+) (\w+)\((.*)\) = (-?\d+).*<([\d.]+)>$")


class Bench:
    def __init__(self, baud):
        self.dir = tempfile.TemporaryDirectory(prefix="korvalen-bench-")
        self.d, self.baud, self.procs = self.dir.name, baud, []
        self.spawn(["socat", "pty,raw,echo=0,link=COMA", "pty,raw,echo=0,link=PEER"])
        for _ in range(500):
            if os.path.exists(self.d + "/COMA") and os.path.exists(self.d + "/PEER"):
                break
            time.sleep(0.01)
        slave = self.spawn([SLAVE, "PEER", str(baud), "100"])
        if not select.select([slave.stdout], [], [], 10)[0] or slave.stdout.readline() != b"READY\n":
            raise SystemExit("rtu_slave did not start")

    def spawn(self, argv):
        self.procs.append(subprocess.Popen(argv, cwd=self.d, stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL))
        return self.procs[-1]

    def close(self):
        for p in self.procs:  # by PID
            p.kill()
            p.wait(5)
        self.dir.cleanup()

    def korvalen(self, n, prefix=()):
        return subprocess.run([*prefix, KORVALEN, "-COMA", "-B%d" % self.baud, "-TD0", "-PKOFF",
                               "-RDOFF", "-RQ%d" % n], cwd=self.d, capture_output=True,
                              timeout=120).stdout

    def latency(self, n):
        """Median and spread of the read-end latency and the character time-out, in ms."""
        trace = self.d + "/strace.txt"
        self.korvalen(n, ["strace", "-f", "-ttt", "-T", "-o", trace, "-e",
                          "trace=read,write,poll,ppoll,pselect6,clock_nanosleep"])
        port, last_read, lat, gaps = None, None, [], []
        with open(trace, encoding="latin-1") as f:
            for start, call, args, ret, dur in (m.groups() for m in map(LINE.match, f) if m):
                fd = args.split(",")[0]
                if call == "write" and last_read:  # the first write after the reply ends the read
                    lat.append((float(start) - last_read) * 1000)
                    last_read = None
                if call == "write" and port is None and fd not in ("1", "2"):
                    port = fd  # the first request
                elif call == "read" and fd == port and int(ret) > 0:
                    last_read, first_poll = float(start) + float(dur), True
                elif call == "poll" and last_read and first_poll:
                    gaps.append(int(args.rsplit(",", 1)[1]))
                    first_poll = False
        return lat, statistics.median(gaps)

    def rate_korvalen(self, n):
        t = time.monotonic()
        done = self.korvalen(n).count(b"\nModbus AL frame: startreg = 400011, #regs = 3")
        return done / (time.monotonic() - t), done

    def rate_mbpoll(self, n):
        t, done = time.monotonic(), 0
        p = self.spawn(["stdbuf", "-oL", "mbpoll", "-m", "rtu", "-b", str(self.baud), "-P", "none",
                        "-a", "100", "-r", "11", "-c", "3", "-l", "10", "COMA"])
        while done < n and select.select([p.stdout], [], [], 10)[0]:
            line = p.stdout.readline()
            if not line:
                break
            done += line.startswith(b"[13]:")
        return done / (time.monotonic() - t), done


def main():
    global KORVALEN, SLAVE
    KORVALEN, SLAVE = map(os.path.abspath, sys.argv[1:3])
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    print("read-end latency (strace), 50 exchanges:")
    for baud in (9600, 115200):
        b = Bench(baud)
        try:
            lat, gap = b.latency(50)
        finally:
            b.close()
        med = statistics.median(lat)
        print("  %6d baud: character time-out %d ms; latency median %.2f ms (%+.2f), min %.2f, "
              "max %.2f; %d of %d reads ended before the time-out" % (
                  baud, gap, med, med - gap, min(lat), max(lat), sum(x < gap for x in lat), len(lat)))
    print("exchanges per second, %d reads of 3 holding registers:" % n)
    for baud in (9600, 115200):
        b = Bench(baud)
        try:
            (kr, kd), (mr, md) = b.rate_korvalen(n), b.rate_mbpoll(n)
        finally:
            b.close()
        print("  %6d baud: korvalen %.1f/s (%d done), mbpoll -l 10 %.1f/s (%d done), ratio "
              "korvalen/mbpoll %.2f" % (baud, kr, kd, mr, md, kr / mr))


if __name__ == "__main__":
    main()
