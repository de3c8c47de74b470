#!/usr/bin/python3
"""Benchmark of korvalen-slave (a script that reports figures, not a test).

1. Loopback TCP: exchanges per second that korvalen-slave serves to one fast client (raw
   RTU frames over a socket, one request in flight: read 3 holding registers), and the same
   client against a pymodbus TCP server with the RTU framer, in the same run.
2. A pty: the time from a request's last byte to the reply's first byte, korvalen-slave
   against the libmodbus RTU slave (tests/e2e/rtu_slave.c, or RTU_SLAVE_SRC), at 9600 and
   115200 baud.

Usage: tools/bench_slave.py [exchanges]   (builds korvalen-slave optimised in build-bench)
"""

import os
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
TMP = tempfile.mkdtemp(prefix="bench-slave-")
PROCS = []

PYMODBUS_SERVER = """
import asyncio, sys
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusTcpServer
async def main():
    store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, list(range(1, 101))), zero_mode=True)
    server = ModbusTcpServer(ModbusServerContext(slaves={100: store}, single=False),
                             framer=ModbusRtuFramer, address=("127.0.0.1", int(sys.argv[1])))
    await server.serve_forever()
asyncio.run(main())
"""


# The fast client: one connection, one request in flight, whole replies; prints exchanges/s.
CLIENT_C = r"""
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char **argv) {
    const unsigned char req[8] = {100, 3, 0, 10, 0, 3, 0x2c, 0x3c};
    unsigned char rep[64];
    long n = atol(argv[2]);
    struct sockaddr_in a = {AF_INET, htons((unsigned short)atoi(argv[1])), {htonl(0x7f000001)}};
    int s = socket(AF_INET, SOCK_STREAM, 0), on = 1;
    if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) return 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct timespec t0, t1;
    for (long i = -1; i < n; ++i) {
        if (i == 0) clock_gettime(CLOCK_MONOTONIC, &t0);
        if (send(s, req, 8, 0) != 8) return 1;
        for (int got = 0; got < 11;) {
            int r = (int)recv(s, rep + got, sizeof rep - got, 0);
            if (r <= 0) return 1;
            got += r;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("%.0f\n", n / (t1.tv_sec - t0.tv_sec + (t1.tv_nsec - t0.tv_nsec) / 1e9));
    return 0;
}
"""


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes(data) + bytes([crc & 0xFF, crc >> 8])


REQUEST = crc16(bytes([100, 3, 0, 10, 0, 3]))  # 400011..400013 of unit 100, as the C client's
REPLY_LENGTH = 11


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(args, **kw):
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    PROCS.append(proc)
    return proc


def tcp_rate(client, port, exchanges):
    """Exchanges per second of the C client; it is retried while the server comes up."""
    deadline = time.monotonic() + 10
    while True:
        done = subprocess.run([client, str(port), str(exchanges)], capture_output=True,
                              text=True, timeout=120)
        if done.returncode == 0:
            return float(done.stdout)
        if time.monotonic() > deadline:
            raise RuntimeError("no server on port %d" % port)
        time.sleep(0.05)


def pty_latency(program, baud, exchanges, ready):
    """Median and 90th percentile of request-end-to-reply-start times on a fresh pty, in ms."""
    master, slave = os.openpty()
    tty.setraw(slave)
    link = os.path.join(TMP, "COMA")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    proc = start([a.format(dev=os.ttyname(slave), baud=baud) for a in program], cwd=TMP)
    ready(proc, os.ttyname(slave))
    times = []
    try:
        for _ in range(exchanges):
            os.write(master, REQUEST)
            t0 = time.perf_counter()
            if not select.select([master], [], [], 2)[0]:
                raise RuntimeError("no reply from " + program[0])
            times.append((time.perf_counter() - t0) * 1000)
            got = b""
            while len(got) < REPLY_LENGTH and select.select([master], [], [], 2)[0]:
                got += os.read(master, 64)
            termios.tcflush(master, termios.TCIFLUSH)
    finally:
        proc.terminate()
        proc.wait(5)
        os.close(master)
        os.close(slave)
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.9)]


def holds(device):
    def wait(proc, _):
        fds = "/proc/%d/fd/" % proc.pid
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if device() in [os.path.realpath(fds + fd) for fd in os.listdir(fds)]:
                return
            time.sleep(0.01)
        raise RuntimeError("the slave did not open the pty")
    return wait


def main():
    exchanges = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKORVALEN_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "korvalen-slave"], check=True,
                   stdout=subprocess.DEVNULL)
    slave = os.path.join(BUILD, "korvalen-slave")
    rtu_src = os.environ.get("RTU_SLAVE_SRC", os.path.join(ROOT, "tests/e2e/rtu_slave.c"))
    rtu = os.path.join(TMP, "rtu_slave")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libmodbus"], check=True,
                           capture_output=True, text=True).stdout.split()
    subprocess.run(["cc", "-O2", "-o", rtu, rtu_src, *flags], check=True)
    client = os.path.join(TMP, "client")
    with open(client + ".c", "w", encoding="ascii") as f:
        f.write(CLIENT_C)
    subprocess.run(["cc", "-O2", "-o", client, client + ".c"], check=True)
    try:
        ports = free_port(), free_port()
        start([slave, "-SK/%d" % ports[0]])
        start(["/usr/bin/python3", "-c", PYMODBUS_SERVER, str(ports[1])])
        ours = tcp_rate(client, ports[0], exchanges)
        theirs = tcp_rate(client, ports[1], exchanges // 10)
        print("Loopback TCP, one client, read 3 holding registers, one request in flight:")
        print("  korvalen-slave  %8.0f exchanges/s  (%d exchanges)" % (ours, exchanges))
        print("  pymodbus 3.0    %8.0f exchanges/s  (%d exchanges)" % (theirs, exchanges // 10))
        print("  ratio           %8.1f x" % (ours / theirs))
        print("pty, request's last byte to reply's first byte, ms (median / 90th percentile):")
        for baud in (9600, 115200):
            ours = pty_latency([slave, "-COMA", "-B{baud}"], baud, 300,
                               holds(lambda: os.path.realpath(os.path.join(TMP, "COMA"))))
            theirs = pty_latency([rtu, "{dev}", "{baud}", "100"], baud, 300,
                                 holds(lambda: os.path.realpath(os.path.join(TMP, "COMA"))))
            print("  %6d baud: korvalen-slave %.3f / %.3f, libmodbus %.3f / %.3f, ratio %.1f"
                  % (baud, *ours, *theirs, ours[0] / theirs[0]))
    finally:
        for proc in PROCS:
            if proc.poll() is None:
                proc.terminate()
                proc.wait(5)


if __name__ == "__main__":
    main()
