#!/usr/bin/python3
"""RTU speed on ptys beside libmodbus, side by side in one run (figures, not a test).

1. The master: korvalen -B115200 -TD0 -PKOFF -RDOFF -RQ<n> and a libmodbus master loop making
   the same reads (3 holding registers from 400011 of unit 100) through the same socat pty
   pair from the same libmodbus RTU slave (tests/e2e/rtu_slave.c), in alternating rounds;
   exchanges per second, the median round of each.
2. The slave: from a request's last byte written to the reply's first byte read, on a fresh
   pty, korvalen-slave against the libmodbus RTU slave, at 9600 and 115200 baud.

Usage: tools/bench_rtu.py [exchanges]   (builds optimised in build-bench; needs socat, cc and
libmodbus's development files)
"""
import os, select, subprocess, sys, tempfile, time

from bench_slave import TMP as SLAVE_TMP, holds, pty_latency  # the slave's latency, measured alike

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
TMP = tempfile.mkdtemp(prefix="bench-rtu-")
PROCS = []

MASTER_C = r"""
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
int main(int argc, char **argv) {
    modbus_t *ctx = modbus_new_rtu(argv[1], atoi(argv[2]), 'N', 8, 1);
    long n = atol(argv[3]), done = 0;
    uint16_t regs[3];
    if (!ctx || modbus_set_slave(ctx, 100) != 0 || modbus_connect(ctx) != 0) return 1;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long i = 0; i < n; ++i)
        done += modbus_read_registers(ctx, 10, 3, regs) == 3;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("%.1f %ld\n", done / (t1.tv_sec - t0.tv_sec + (t1.tv_nsec - t0.tv_nsec) / 1e9), done);
    return 0;
}
"""


def start(args, **kw):
    PROCS.append(subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **kw))
    return PROCS[-1]


def stop(proc):  # by PID
    proc.terminate()
    proc.wait(5)


def build(tools):
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKORVALEN_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "korvalen", "korvalen-slave"],
                   check=True, stdout=subprocess.DEVNULL)
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libmodbus"], check=True,
                           capture_output=True, text=True).stdout.split()
    with open(os.path.join(TMP, "master.c"), "w", encoding="ascii") as f:
        f.write(MASTER_C)
    for name, src in (("rtu_slave", os.path.join(ROOT, "tests/e2e/rtu_slave.c")),
                      ("master", os.path.join(TMP, "master.c"))):
        subprocess.run(["cc", "-O2", "-o", tools[name], src, *flags], check=True)


def master_rates(tools, n, rounds=3):
    """Exchanges per second of korvalen and of the libmodbus loop, the median of the rounds."""
    socat = start(["socat", "pty,raw,echo=0,link=COMA", "pty,raw,echo=0,link=PEER"], cwd=TMP)
    for _ in range(500):
        if os.path.exists(TMP + "/COMA") and os.path.exists(TMP + "/PEER"):
            break
        time.sleep(0.01)
    slave = start([tools["rtu_slave"], "PEER", "115200", "100"], cwd=TMP)
    if not select.select([slave.stdout], [], [], 10)[0] or slave.stdout.readline() != b"READY\n":
        raise SystemExit("rtu_slave did not start")
    ours, theirs = [], []
    try:
        for _ in range(rounds):
            t = time.monotonic()
            out = subprocess.run([tools["korvalen"], "-COMA", "-B115200", "-TD0", "-PKOFF",
                                  "-RDOFF", "-RQ%d" % n], cwd=TMP, capture_output=True,
                                 timeout=300).stdout
            done = out.count(b"\nModbus AL frame: startreg = 400011, #regs = 3")
            ours.append((done / (time.monotonic() - t), done))
            out = subprocess.run([tools["master"], "COMA", "115200", str(n)], cwd=TMP,
                                 capture_output=True, text=True, timeout=300).stdout.split()
            theirs.append((float(out[0]), int(out[1])))
    finally:
        stop(slave)
        stop(socat)
    return sorted(ours)[rounds // 2], sorted(theirs)[rounds // 2]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    tools = {"korvalen": os.path.join(BUILD, "korvalen"), "slave": os.path.join(BUILD,
             "korvalen-slave"), "rtu_slave": os.path.join(TMP, "rtu_slave"),
             "master": os.path.join(TMP, "master")}
    build(tools)
    try:
        (kr, kd), (lr, ld) = master_rates(tools, n)
        print("Master, 115200 baud, socat pty pair, libmodbus RTU slave, %d reads of 3 registers "
              "(median of 3 rounds):" % n)
        print("  korvalen -TD0 -PKOFF -RDOFF  %8.1f exchanges/s (%d answered)" % (kr, kd))
        print("  libmodbus master loop        %8.1f exchanges/s (%d answered)" % (lr, ld))
        print("  ratio korvalen/libmodbus     %8.2f" % (kr / lr))
        print("Slave, pty, request's last byte to reply's first byte, ms (median / 90th pct):")
        for baud in (9600, 115200):
            held = holds(lambda: os.path.realpath(os.path.join(SLAVE_TMP, "COMA")))
            ours = pty_latency([tools["slave"], "-COMA", "-B{baud}"], baud, 300, held)
            theirs = pty_latency([tools["rtu_slave"], "{dev}", "{baud}", "100"], baud, 300, held)
            print("  %6d baud: korvalen-slave %.3f / %.3f, libmodbus %.3f / %.3f"
                  % (baud, *ours, *theirs))
    finally:
        for proc in PROCS:
            if proc.poll() is None:
                stop(proc)


if __name__ == "__main__":
    main()
