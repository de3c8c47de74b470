#!/usr/bin/python3
"""How late RTS falls after a frame's last stop bit on the simulated hardware of the serial
tests (tests/rig): 20 reads each at 9600, 19200 and 115200 baud on a 16550, an FTDI-like and a
CDC-ACM adapter, against the libmodbus RTU slave, beside the bound (3.5 characters, 1.75 ms above
19200 baud). Usage: tools/bench_rts.py [BUILD_DIR]"""
import os, statistics, sys, tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import serial_e2e as rig  # noqa: E402

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build"))
rig.KORVALEN, rig.SLAVE = build + "/korvalen", build + "/tests/rtu_slave"
rig.SHIM, rig.RELAY = build + "/tests/librig_shim.so", os.path.join(TOP, "tests", "rig", "relay.py")
for kind in ("uart", "ftdi", "acm"):
    for baud in (9600, 19200, 115200):
        late = []

        def edges(log):
            events = [line.split() for line in open(log)]
            ends = [int(e[4]) for e in events if e[0] == "tx"]
            drops = [int(e[2]) for e in events if e[:2] == ["rts", "0"]]
            late.extend(drop - end for end, drop in zip(ends, drops))
        with tempfile.TemporaryDirectory() as d:
            rig.run_case(d, "libmodbus@%d" % baud, [(["-B%d" % baud, "-RQ20", "-TD0"], [rig.H3] * 20)],
                         None, (kind, 0, edges))
        print("%-5s %6d baud: RTS falls %4d / %4d / %4d us (min / median / max) after the last "
              "stop bit; bound %d us" % (kind, baud, min(late), statistics.median(late), max(late),
                                          1750 if baud > 19200 else 35e6 / baud))
