#!/usr/bin/python3
"""korvalen over a serial line. Per case the rig's relay is the wire between two pty pairs:
korvalen on ./COMA, a peer on ./PEER: rtu_slave (libmodbus, seeded as rtu_slave.c says); a raw
peer writing one reply in pieces; or
none. Whole transcripts are compared, banner date and time masked; the device settings (stty -g)
must be back after each case. A case on simulated hardware preloads the rig's shim, which makes
the pty answer as a kind of UART or USB adapter does, and checks what the shim logged. With
KORVALEN_EMULATOR set (wine), KORVALEN.exe reaches the pty as COM17 through the prefix's
dosdevices link, its CR LF line ends are undone, and neither the second opener, which wine lets
in, nor simulated hardware is tried.
Usage: serial_e2e.py KORVALEN RTU_SLAVE [SHIM]"""
import os, re, select, signal, struct, subprocess, sys, tempfile, threading, time
import termios, tty
MODEM = (termios.TIOCMGET, termios.TIOCMBIS, termios.TIOCMBIC)

from pymodbus.utilities import computeCRC
from windows import RUN, EmulatorFault, emulator_fault, lf_lines, link_port, once_more

BANNER_RE = re.compile(rb"^KORVALEN v1\.5:  Compiled at [A-Z][a-z]{2} [ 1-3]\d \d{4} [\d:]{8}\n")
BANNER = b"KORVALEN v1.5:  Compiled at <DATE> <TIME>\n"
ECHO = {"-SR": b"\nStripped SR from input: ", "-RT": b"\nRECEIVE_TIMEOUT set to ",
        "-RQ": b"\nNUM_REQUESTS set to ", "-TD": b"\nStripped TD from input: ",
        "-B": b"\nStripped BAUD from input: ", "-LF": b"\nStripped LF from input: ",
        "-FR": b"\nStripped FR from input: ", "-SCAN": b"\nStripped SCAN from input: ",
        "-SWEEP": b"\nStripped SWEEP from input: "}
SEED = {0: lambda a: int(a % 3 == 0), 1: lambda a: a % 2, 3: lambda a: -1 - a, 4: lambda a: 1000 + a}
READ_FC = {0: 1, 1: 2, 3: 4, 4: 3}


def frame(*body): return bytes(body) + struct.pack(">H", computeCRC(bytes(body)))  # peer's CRC
def w16(v): return [v >> 8 & 0xFF, v & 0xFF]
def dump(data): return b"(%d) " % len(data) + b"".join(b"%02x " % b for b in data) + b"\n"
def sr(ref, first, *n): return ["-SR%d%05d" % (ref, first)] + ["-NR%d" % k for k in n]


def exchange(fc, ref, first, values, shown=None):
    """One answered repetition: (request, [reply as read], the front end's lines for it)."""
    a, n = w16(first - 1), w16(len(values))
    d = ([sum(v << i for i, v in enumerate(values[k:k + 8])) for k in range(0, len(values), 8)]
         if ref < 2 else [b for v in values for b in w16(v & 0xFFFF)])
    if fc in (5, 6):
        req = reply = frame(100, fc, *a, *(d if fc == 6 else [0xFF * values[0], 0]))
    else:
        req, reply = ((frame(100, fc, *a, *n, len(d), *d), frame(100, fc, *a, *n)) if fc > 6 else
                      (frame(100, fc, *a, *n), frame(100, fc, len(d), *d)))
    shown = shown or values
    return req, [reply], (b"\nModbus AL frame received: fc = %2.2x\nModbus AL frame: startreg = %d"
                          b"%5.5d, #regs = %d" % (fc, ref, first, len(shown)) + b"".join(
                              b"\nRegister %d%5.5d: %d" % (ref, first + i, v) for i, v in enumerate(shown)))


def read(ref, first, n, values=None):
    return exchange(READ_FC[ref], ref, first, values or [SEED[ref](first - 1 + i) for i in range(n)])


def noisy(rep):  # a byte ahead of the reply, which the recovery drops
    data, crc = b"\0" + rep[1][0], computeCRC(b"\0" + rep[1][0])
    return rep[0], [data], (b"\n\rmoddlRx: bad CRC: l=%d\n\rTry to strip off first frame.\n\r"
                            b"Tried.  i==%d, crc=%4.4x\n\rmoddlRx: Found Modbus RTU frame after 1 "
                            b"bytes of noise." % (len(data), len(data), (crc & 0xFF) << 8 | crc >> 8)
                            + rep[2])


def reading(ref, first, n): return [(sr(ref, first, n), [read(ref, first, n)])]


def writing(fc, ref, first, values, shown=None):  # the write, then a read back of the same range
    args = ["-FN%d" % fc] + sr(ref, first) + [str(v & 0xFFFF) for v in values]
    back = [int(v != 0) for v in values] if ref == 0 else values
    return [(args, [exchange(fc, ref, first, values, shown)]),
            (sr(ref, first, len(values)), [read(ref, first, len(values), back)])]


def transcript(args, reps, opened=b""):
    """korvalen's whole output for -COMA args; reps None: the open fails; opened: trace lines
    after the open's. A repetition (request, reads (None: not sent), lines[, before it])."""
    port = [a[1:] for a in ["-" + PORT, *args] if a.startswith("-COM")][-1].encode()
    out = BANNER + b"".join(t + a[len(p):].encode() for a in args for p, t in ECHO.items()
                            if a.startswith(p))
    out += b"\nInstall ModPL\nAbout to open ModPL with port %s" % port + (
        b"\n\rEnter moddlOpen('%s')\n\rmoddlOpen: serial connection.  Port == %s" % (port, port)
        + opened if "-PKOFF" not in args else b"")
    if reps is None or isinstance(reps, bytes):  # the open fails, or what follows it
        return out + (reps or b"\nModbus CommStack open failed.") + b"\nExiting.\n"
    if "-FRTCP" in args:
        out += b"\nModbus TCP framing needs a TCP port: the run goes on in RTU framing."
    out += b"\nBuilding request: modslave = 100"
    for i, (req, reads, lines, *before) in enumerate(reps):
        out += (b"\nSending request #%d" % (i + 1) + b"".join(before) + b"\n\rEnter moddlTransmit()."
                b"\n\n\rmoddlTx: about to transmit %d bytes\n\r" % len(req) + dump(req))
        for k, r in enumerate(reads or []):  # a short first read makes the link read once more
            out += (b"\n\rmoddlRx: bad CRC: l=%d\n\rmoddlRx: Maybe fragmented frame: try again"
                    % len(reads[0]) if k else b"")
            out += b"\n\rmoddlRx: Received %d bytes\n\r" % len(r) + dump(r)
        out += lines if reads != [] else b"\n\rReceive error = 0"
    return out + b"\nExiting.\n"


PORT = "COM17" if RUN else "COMA"


def korvalen(args, d, rig=None):
    env = rig and dict(os.environ, LD_PRELOAD=SHIM, KV_RIG_KIND=rig[0], KV_RIG_LOG=d + "/rig.log",
                       KV_RIG_DEV=os.path.realpath(d + "/COMA"),
                       ASAN_OPTIONS="verify_asan_link_order=0", **(rig[3:] or [{}])[0])
    return spawn([*RUN, KORVALEN, "-" + PORT, *args], d, env)


def spawn(argv, cwd, env=None):
    return subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def stop(proc):  # by PID; harmless once it has ended
    proc.kill()
    proc.wait(5)


def read_until(proc, needle, out=b""):
    deadline = time.monotonic() + 10
    while (needle not in out and select.select([proc.stdout], [], [], max(0, deadline - time.monotonic()))[0]
           and (chunk := os.read(proc.stdout.fileno(), 4096))):
        out += chunk
    return out


def finish(proc, got=b""):
    try:
        out, err = proc.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise AssertionError("no end within 20 s; output:\n%r" % (got + proc.communicate()[0]))
    finally:
        stop(proc)
    if emulator_fault(proc.returncode, got + out + err):
        raise EmulatorFault("status %d, output %r" % (proc.returncode, got + out + err))
    assert proc.returncode == 10 and not err, "status %d, stderr %r" % (proc.returncode, err)
    return BANNER_RE.sub(BANNER.replace(b"\\", b"\\\\"), lf_lines(got + out), count=1)


def expect(want, got, cmp=bytes.__eq__):
    assert cmp(got, want), "expected:\n%r\ngot:\n%r" % (want, got)


def raw_peer(path, reply, pieces, gap, baud):  # answers one request, the reply in pieces
    with open(os.open(path, os.O_RDWR | os.O_NOCTTY), "r+b", buffering=0) as line:
        attributes = termios.tcgetattr(line)
        attributes[4] = attributes[5] = getattr(termios, "B%d" % baud)
        termios.tcsetattr(line, termios.TCSANOW, attributes)
        if select.select([line], [], [], 10)[0] and line.read(256):
            for i, n in enumerate(pieces):
                time.sleep(gap if i else 0)
                line.write(reply[sum(pieces[:i]):sum(pieces[:i + 1])])


def toggled(log, baud, most=None):
    """RTS rose before each frame was handed over and fell after its last stop bit, and for one
    frame at least before the slave may answer (3.5 characters, 1.75 ms above 19200 baud, or
    most us), so that a busy machine's late wake-ups are no failure. Each read began after its
    request left."""
    ev = [line.split() for line in open(log)]
    txs = [[int(v) for v in e[1:]] for e in ev if e[0] == "tx"]
    reads, rises, drops = ([int(e[-1]) for e in ev if e[:len(k)] == k]
                           for k in (["read"], ["rts", "1"], ["rts", "0"]))
    late = [drop - tx[3] for tx, drop in zip(txs, drops)]
    assert txs and len(rises) == len(drops) == len(txs) == len(reads), "events %r" % ev
    assert all(r <= tx[1] for r, tx in zip(rises, txs)), "RTS rose late"
    assert 0 <= min(late) <= (most or (1750 if baud > 19200 else 35e6 / baud)), \
        "RTS fell %r us late" % late
    assert all(r >= tx[3] for r, tx in zip(reads, txs)), "a read began before its request left"


def flags(want):  # the RS-485 and serial flags the shim logged in order; at the end, exclusivity
    return lambda log: expect(want, [[int(v) for v in e[1:]] for e in map(str.split, open(log))
                                     if e[0] in ("rs485", "serial", "end")], list.__eq__)


def run_case(d, peer, runs, hold=None, rig=None):
    """Runs korvalen once per run, in order, in directory d, on simulated hardware when rig
    (kind, packet ms, check of the shim's log) is given; a holder (args, needle[, shown[,
    signal]]) keeps the port from that output on until the signal (SIGINT), which must end it
    through the normal close; while it holds, stty -a must show shown."""
    procs = [spawn(["/usr/bin/python3", RELAY, d, str(rig[1] if rig else 0)], d)]
    stty = lambda how="-g": subprocess.run(["stty", "-F", d + "/COMA", how], timeout=5,
                                           check=True, capture_output=True).stdout
    try:
        assert read_until(procs[0], b"READY\n") == b"READY\n", "the relay is not ready"
        before = stty()
        if RUN:
            link_port(PORT, d + "/COMA")
        if peer and peer[0] == "raw":
            threading.Thread(target=raw_peer, daemon=True,
                             args=(d + "/PEER", b"".join(runs[0][1][0][1]), *peer[1:])).start()
        elif peer:
            peer, _, baud = peer.partition("@")
            _, _, line = peer.partition(":")  # and after "/" libmodbus's response time-out
            procs.append(spawn([SLAVE, "PEER", baud or "9600", "100", "-1", *line.split("/")], d))
            assert read_until(procs[-1], b"READY\n").endswith(b"READY\n"), peer + " not ready"
        if hold:
            procs.append(korvalen(hold[0], d, rig))
            got = read_until(procs[-1], hold[1].replace(b"\n", b"\r\n") if RUN else hold[1])
            assert (*hold[2:3], None)[0] in [None, *stty("-a").split()], "stty lacks %r" % (hold,)
        for args, reps, *opened in runs:  # reps may depend on the directory and the holder
            reps = reps(d, procs[-1].pid) if callable(reps) else reps
            expect(transcript(args, reps, *opened), finish(korvalen(args, d, rig)))
        if hold:
            procs[-1].send_signal((*hold[3:], signal.SIGINT)[0])
            out, full = finish(procs[-1], got), transcript(hold[0], [H3, H3])
            expect(full[:full.index(hold[1]) + len(hold[1])], out, bytes.startswith)
            expect(b"\nExiting.\n", out, bytes.endswith)
        if not RUN:  # a Windows program restores what Windows knows of the line, not termios
            expect(before, stty())
        if rig and rig[2]:
            rig[2](d + "/rig.log")
    finally:
        for p in procs:
            stop(p)


H3 = read(4, 11, 3)
OPEN_FAILED = b"\nModbus CommStack open failed."


FAILED = b"\n\rmoddlTransmit Io--FlushWrite\n\rModbus transmit failed."
REOPENED = b"\n\rmoddlTransmit: reopened serial port (%d)"
def write_all(n): return ["-FN16", "-SR400001"] + ["7"] * n


def held(d, pid):  # the open refused by the lock file of the process pid, and why
    lock = "/var/lock/LCK.." + os.path.realpath(d + "/COMA")[5:].replace("/", "_")
    return OPEN_FAILED + b"\nPort COMA: in use by PID %d (lock %s)" % (pid, lock.encode())


CASES = [  # name, peer, [(korvalen args, repetitions; None: the open fails)], holder
    ("reads_holding_registers_fc3", "libmodbus", [(["-SR400011"], [H3])]),
    ("modbus_tcp_framing_is_refused_and_rtu_goes_on", "libmodbus", [(["-FRTCP"], [H3])]),
    ("fn5_sets_a_coil", "libmodbus", writing(5, 0, 2, [1], [1])),
    ("fn15_writes_coils", "libmodbus", writing(15, 0, 11, [1, 1, 0])),
    ("exception_02_past_the_map", "libmodbus", [(sr(4, 50, 2), [(read(4, 50, 2)[0], [frame(
        100, 0x83, 2)], b"\nModbus AL frame received: fc = 83\nModbus PL Exception! EC = 02")])]),
    # The relay garbles 9600 and 19200 8E1 (a pty keeps no parity), so 19200 8N1 finds it; the
    # sweep stops there (-RT: a busy machine's slave may answer past the default time-out).
    # libmodbus answers 17 as most devices do; its RTU framing drops 43.
    ("sweep_finds_the_unit_at_its_rate_and_stops", "libmodbus@19200",
     [(["-PKOFF", "-SCAN99-100", "-SWEEPFIRST", "-RT300"], b"\nScanning units 99 to 100\nFound "
       b"unit 100 at 19200 8N1: register 400011 = 1010\nServer ID: 180, run indicator: ON\n"
       b"Additional data: LMB3.1.6\nNo answer to function 43\nScan done: 1 unit found: 100 at 19200 8N1")]),
    # libmodbus waits 500 ms for unit 99's answer and would swallow the probe of 100 as it.
    ("scan_finds_a_slave_that_waits_for_other_units_answers", "libmodbus:8N1/500",
     [(["-PKOFF", "-SCAN95-105", "-RT300"], b"\nScanning units 95 to 105\nFound unit 100 at 9600 "
       b"8N1: "
       b"register 400011 = 1010\nServer ID: 180, run indicator: ON\nAdditional data: LMB3.1.6\n"
       b"No answer to function 43\nScan done: 1 unit found: 100")]),
    ("silent_slave_receive_error", None, [(["-RT300"], [(H3[0], [], b"")])]),
    ("pieces_5ms_apart_are_one_read", ("raw", (4, 3, 4), 0.005, 1200),
     [(["-B1200", "-RT2000"], [H3])]),
    ("gap_150ms_splits_the_read_link_joins", ("raw", (4, 7), 0.15, 1200),
     [(["-B1200", "-RT2000"], [(H3[0], [H3[1][0][:4], H3[1][0][4:]], H3[2])])]),
    ("sigint_ends_through_close", "libmodbus", [], (["-RQ50"], b"\nSending request #2")),
    ("sigint_ends_a_read_of_a_silent_line", None, [], (["-RT60000"], b"\nSending request #1")),
    # The lock file is read first: the second opener never touches the device.
    ("second_opener_refused", "libmodbus", [([], held)], (["-RQ50"], b"\nSending request #1"),
     ("uart", 0, lambda log: expect(1, sum(e[:4] == "open" for e in open(log)), int.__eq__))),
    ("line_format_8n2_is_held_and_given_back", "libmodbus:8N2", [],
     (["-LF8N2", "-RQ50"], b"\nSending request #2", b"cstopb")),
    ("line_format_8n2_writes_and_reads", "libmodbus:8N2",
     [(["-LF8N2", *args], reps) for args, reps in writing(6, 4, 41, [56])]),
    ("line_format_8e1_writes_and_reads", "libmodbus:8E1",
     [(["-LF8E1", *args], reps) for args, reps in writing(16, 4, 31, [12, -1])]),
    # Simulated hardware: (kind, packet ms, check of the shim's log) as the last element.
    *[("%s_%d_toggles_rts_around_each_frame" % (kind, baud), "libmodbus@%d" % baud,
       [(["-B%d" % baud, "-RQ5", "-TD0"], [H3] * 5)], None,
       (kind, 0, lambda log, baud=baud: toggled(log, baud)))
      for kind in ("uart", "ftdi", "acm", "pl2303") for baud in (9600, 115200)],
    ("uart_dtr_kept_as_the_port_had_it", "libmodbus", [([], [H3])], None,
     ("uart", 0, lambda log: expect([], [e for e in open(log) if e[:3] == "dtr"], list.__eq__))),
    ("ftdi_low_latency_asked_and_given_back", "libmodbus", [([], [H3])], None,
     ("ftdi", 0, flags([[1 << 13], [0], [0, 0, 0]]))),
    ("acm_reply_in_10ms_packets_is_one_read", "libmodbus", reading(4, 11, 12), None, ("acm", 10, None)),
    ("acm_pause_in_a_reply_after_noise_is_waited_out", ("raw", (29, 1), 0.012, 115200),
     [(["-B115200", *sr(4, 11, 12)], [noisy(read(4, 11, 12))])], None, ("acm", 0, None)),
    ("rs485_polarity_kept_and_given_back", "libmodbus@19200", [(["-B19200"], [H3])], None,
     ("rs485", 0, flags([[5, 2, 3], [4, 2, 3], [4, 0, 0]]))),
    ("uart_refuses_a_rate_off_its_divisors", None,
     [(["-B250000"], b"\nBaud rate 250000 refused: the port runs it as 115200")], None,
     ("uart", 0, None)),
    ("uart_1200_frame_longer_than_the_time_out_goes_out_whole", "libmodbus@1200",  # 0.9 s
     [(["-B1200", "-RT300", *write_all(50)], [exchange(16, 4, 1, [7] * 50)])], None,
     ("uart", 0, lambda log: toggled(log, 1200))),
    ("acm_921600_rts_falls_after_the_last_stop_bit_of_255_bytes", "libmodbus@921600",
     [(["-B921600", "-RQ3", "-TD0", *write_all(123)], [(exchange(16, 4, 1, [7] * 123)[0], [frame(
         100, 0x90, 2)], b"\nModbus AL frame received: fc = 90\nModbus PL Exception! EC = 02")] * 3)],
     None, ("acm", 0, lambda log: toggled(log, 921600, 1e9))),  # never early, however busy
    ("uart_modem_line_errors_once_are_retried", "libmodbus", [(["-RQ2"], [H3] * 2)], None,
     ("uart", 0, lambda log: expect(4, sum(e[:3] == "rts" for e in open(log)), int.__eq__),
      {"KV_RIG_FAIL": "%d:5:0 %d:5:0 %d:5:0" % MODEM})),
    ("uart_modem_lines_that_keep_failing_say_rts_is_not_toggled", "libmodbus",
     [([], [H3], b"\n\rmoddlOpen: the port's modem lines fail: RTS is not toggled while they do")],
     None, ("uart", 0, lambda log: expect([], [e for e in open(log) if e[:3] == "rts"], list.__eq__),
            {"KV_RIG_FAIL": "%d:5:999" % termios.TIOCMGET})),
    ("uart_pulled_out_is_reopened_before_the_next_request", "libmodbus",
     [(["-RQ4"], [H3, (H3[0], None, b"\n\rmoddlTransmit broke" + FAILED),
                  (H3[0], None, b"\n\rmoddlTransmit failed" + FAILED, REOPENED % 1),
                  (*H3, REOPENED % 0)])], None, ("uart", 0, None, {"KV_RIG_GONE": "2"})),
    ("sighup_ends_through_close", "libmodbus", [], (["-RQ50"], b"\nSending request #2", None,
                                                    signal.SIGHUP), ("rs485", 0, None)),
]

if __name__ == "__main__":
    KORVALEN, SLAVE, SHIM = (map(os.path.abspath, sys.argv[1:4]) if len(sys.argv) > 3 else
                             (*map(os.path.abspath, sys.argv[1:3]), None))
    RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "rig", "relay.py")
    passed = failed = 0
    for name, *case in CASES:
        if (RUN or not SHIM) and case[3:]:
            continue
        with tempfile.TemporaryDirectory(prefix="korvalen-serial-") as tmp:
            try:
                once_more(name, lambda: run_case(tempfile.mkdtemp(dir=tmp), *case))
                passed += 1
                print("PASS", name, flush=True)
            except Exception as exc:  # pylint: disable=broad-except
                failed += 1
                print("FAIL %s: %s: %s" % (name, type(exc).__name__, exc), flush=True)
    print("e2e_serial: %d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)
