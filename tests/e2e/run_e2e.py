#!/usr/bin/python3
"""End-to-end runs of the korvalen binary against real Modbus RTU-over-TCP peers.

Usage: run_e2e.py <path to korvalen>

Every peer is tests/e2e/slave.py (pymodbus store and RTU framer); every process
started here is stopped by PID in a finally block, and every wait is bounded.
Whole transcripts are compared byte for byte with the build date, build time
and TCP port masked. Ends with "e2e: N passed, M failed"; exit status 1 on any
failure.
"""

import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback

from slave import crc16  # the peers and the checks share one CRC

HERE = os.path.dirname(os.path.abspath(__file__))
SLAVE = os.path.join(HERE, "slave.py")
PYTHON = "/usr/bin/python3"
KORVALEN = ""
TMP = tempfile.mkdtemp(prefix="korvalen-e2e-")

BANNER_RE = re.compile(rb"KORVALEN v1\.5:  Compiled at [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                       rb"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n")
BANNER = b"KORVALEN v1.5:  Compiled at <DATE> <TIME>\n"

PROCS = []


def frame(*body):
    c = crc16(bytes(body))
    return bytes(body) + bytes([c & 0xFF, c >> 8])


def dumpline(data):
    return b"(%d) " % len(data) + b"".join(b"%02x " % b for b in data) + b"\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(3)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(3)


class Peer:
    """A slave.py process; READY line read with a bounded wait."""

    def __init__(self, mode, *extra):
        self.dumpfile = os.path.join(TMP, "store-%d-%d.json" % (os.getpid(), time.monotonic_ns()))
        self.proc = subprocess.Popen(
            [PYTHON, SLAVE, mode, "--dump", self.dumpfile, "--lifetime", "30", *extra],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        PROCS.append(self.proc)
        line = read_line(self.proc.stdout, 10)
        if not line.startswith(b"READY "):
            raise AssertionError("peer did not become ready: %r" % line)
        self.port = int(line.split()[1])

    def store(self):
        with open(self.dumpfile, encoding="ascii") as f:
            return json.load(f)

    def wait_store(self, key, value, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            snap = self.store()
            if snap[key] >= value:
                return snap
            time.sleep(0.02)
        return self.store()

    def close(self):
        stop(self.proc)


def read_line(stream, timeout):
    fd = stream.fileno()
    buf = b""
    deadline = time.monotonic() + timeout
    while not buf.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        buf += chunk
    return buf


class Run:
    """korvalen with stdout on a pipe; output chunks are timestamped."""

    def __init__(self, args):
        self.start = time.monotonic()
        self.proc = subprocess.Popen([KORVALEN, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        PROCS.append(self.proc)
        self.chunks = []
        self.out = b""

    def wait_for(self, needle, timeout):
        """Reads until needle is in the output; returns its time since start, or None."""
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while needle not in self.out:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 4096)
            if not chunk:
                return None
            self.chunks.append((time.monotonic() - self.start, chunk))
            self.out += chunk
        return self.time_of(needle)

    def time_of(self, needle):
        seen = b""
        for t, chunk in self.chunks:
            seen += chunk
            if needle in seen:
                return t
        return None

    def finish(self, timeout=15):
        self.wait_for(b"\x00never\x00", timeout)
        try:
            self.proc.wait(timeout=3)
        except subprocess.TimeoutExpired:
            stop(self.proc)
            raise AssertionError("korvalen did not end in time; output:\n%s" % show(self.out))
        self.elapsed = time.monotonic() - self.start
        err = self.proc.stderr.read()[:2000]
        if self.proc.returncode != 10:
            raise AssertionError("exit status %d, expected 10; stderr %r" % (
                self.proc.returncode, err))
        if err:
            raise AssertionError("output on standard error: %r" % err)
        return self.out


def korvalen(args, timeout=15):
    run = Run(args)
    try:
        return run.finish(timeout)
    finally:
        stop(run.proc)


def show(data):
    return data.decode("latin-1").encode("unicode_escape").decode("ascii").replace(
        "\\n", "\\n\n")


def mask(out, port):
    out = BANNER_RE.sub(BANNER.replace(b"\\", b"\\\\"), out, count=1)
    return out.replace(b"%d" % port, b"<PORT>")


def expect_same(expected, actual):
    if expected != actual:
        n = next((i for i in range(min(len(expected), len(actual)))
                  if expected[i] != actual[i]), min(len(expected), len(actual)))
        raise AssertionError("transcript differs at byte %d\n--- expected:\n%s\n--- actual:\n%s"
                             % (n, show(expected), show(actual)))


def expect_in(needle, out):
    if needle not in out:
        raise AssertionError("missing %r in output:\n%s" % (needle, show(out)))


def expect_not_in(needle, out):
    if needle in out:
        raise AssertionError("unexpected %r in output:\n%s" % (needle, show(out)))


def registers(ref_type, first, values):
    """The register listing as the front end prints it."""
    return b"".join(b"\nRegister %d%5.5d: %d" % (ref_type, first + i, v)
                    for i, v in enumerate(values))


def sk(port):
    return "-SK127.0.0.1/%d" % port


# ---------------------------------------------------------------- tests

TESTS = []


def test(fn):
    TESTS.append(fn)
    return fn


@test
def client_read_holding_transcript_is_exact():
    peer = Peer("serve")
    try:
        out = mask(korvalen([sk(peer.port), "-SR400002"]), peer.port)
    finally:
        peer.close()
    request = frame(100, 3, 0, 1, 0, 3)
    reply = frame(100, 3, 6, 0, 2, 0xFF, 0xFF, 0x80, 0)
    expected = (BANNER
                + b"\nStripped SR from input: 400002"
                + b"\nInstall ModPL"
                + b"\nAbout to open ModPL with port 127.0.0.1/<PORT>"
                + b"\n\rEnter moddlOpen('127.0.0.1/<PORT>')"
                + b"\n\rmoddlCreateSocket: client socket.  Port == <PORT>"
                + b"\nBuilding request: modslave = 100"
                + b"\nSending request #1"
                + b"\n\rEnter moddlTransmit()."
                + b"\n\n\rmoddlTx: about to transmit 8 bytes\n\r" + dumpline(request)
                + b"\n\rmoddlRx: Received 11 bytes\n\r" + dumpline(reply)
                + b"\nModbus AL frame received: fc = 03"
                + b"\nModbus AL frame: startreg = 400002, #regs = 3"
                + b"\nRegister 400002: 2\nRegister 400003: -1\nRegister 400004: -32768"
                + b"\nExiting.\n")
    expect_same(expected, out)


@test
def client_exception_reply_transcript_is_exact():
    peer = Peer("serve")
    try:
        out = mask(korvalen([sk(peer.port), "-SR400031", "-NR1"]), peer.port)
    finally:
        peer.close()
    expected = (BANNER
                + b"\nStripped SR from input: 400031"
                + b"\nInstall ModPL"
                + b"\nAbout to open ModPL with port 127.0.0.1/<PORT>"
                + b"\n\rEnter moddlOpen('127.0.0.1/<PORT>')"
                + b"\n\rmoddlCreateSocket: client socket.  Port == <PORT>"
                + b"\nBuilding request: modslave = 100"
                + b"\nSending request #1"
                + b"\n\rEnter moddlTransmit()."
                + b"\n\n\rmoddlTx: about to transmit 8 bytes\n\r"
                + dumpline(frame(100, 3, 0, 30, 0, 1))
                + b"\n\rmoddlRx: Received 5 bytes\n\r" + dumpline(frame(100, 0x83, 2))
                + b"\nModbus AL frame received: fc = 83"
                + b"\nModbus PL Exception! EC = 02"
                + b"\nExiting.\n")
    expect_same(expected, out)


@test
def refused_connect_transcript_is_exact():
    port = free_port()
    out = mask(korvalen([sk(port)]), port)
    expected = (BANNER
                + b"\nInstall ModPL"
                + b"\nAbout to open ModPL with port 127.0.0.1/<PORT>"
                + b"\n\rEnter moddlOpen('127.0.0.1/<PORT>')"
                + b"\n\rmoddlCreateSocket: client socket.  Port == <PORT>"
                + b"wsockerror = 10061"
                + b"\nModbus CommStack open failed."
                + b"\nExiting.\n")
    expect_same(expected, out)


@test
def client_reads_five_holding_registers_with_reference_numbers():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-SR400001", "-NR5"])
    finally:
        peer.close()
    expect_in(b"\nModbus AL frame received: fc = 03"
              b"\nModbus AL frame: startreg = 400001, #regs = 5"
              + registers(4, 1, [1, 2, -1, -32768, 1234]), out)


@test
def client_reads_input_registers_with_function_4():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-SR300001", "-NR5"])
    finally:
        peer.close()
    expect_in(dumpline(frame(100, 4, 0, 0, 0, 5)), out)
    expect_in(b"\nModbus AL frame received: fc = 04"
              b"\nModbus AL frame: startreg = 300001, #regs = 5"
              + registers(3, 1, [100, 200, 300, -2, 5]), out)


@test
def client_reads_coils_with_function_1():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-SR000001", "-NR10"])
    finally:
        peer.close()
    expect_in(dumpline(frame(100, 1, 0, 0, 0, 10)), out)
    expect_in(b"\nModbus AL frame received: fc = 01"
              b"\nModbus AL frame: startreg = 000001, #regs = 10"
              + registers(0, 1, [1, 0, 1, 1, 0, 0, 0, 0, 1, 1]), out)


@test
def client_reads_discrete_inputs_with_function_2():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-SR100002", "-NR4"])
    finally:
        peer.close()
    expect_in(dumpline(frame(100, 2, 0, 1, 0, 4)), out)
    expect_in(b"\nModbus AL frame received: fc = 02"
              b"\nModbus AL frame: startreg = 100002, #regs = 4"
              + registers(1, 2, [1, 1, 0, 1]), out)


def write_run(args, key, index, values, fc_text, header):
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), *args])
        store = peer.wait_store("requests", 1)
    finally:
        peer.close()
    expect_in(b"\nModbus AL frame received: fc = " + fc_text, out)
    expect_in(header, out)
    got = store[key][index:index + len(values)]
    if got != values:
        raise AssertionError("store %s[%d:] is %r, expected %r" % (key, index, got, values))


@test
def write_registers_arrive_in_the_store():
    write_run(["-FNWRITE", "-SR400006", "111", "222", "333"], "hr", 5, [111, 222, 333],
              b"10", b"\nModbus AL frame: startreg = 400006, #regs = 3")


@test
def write_fn16_sends_write_multiple_registers():
    write_run(["-FN16", "-SR400009", "4", "65535"], "hr", 8, [4, 65535], b"10",
              b"\nModbus AL frame: startreg = 400009, #regs = 2")


@test
def write_fn6_sends_write_single_register():
    write_run(["-FN6", "-SR400010", "4321"], "hr", 9, [4321], b"06",
              b"\nModbus AL frame: startreg = 400010, #regs = 1")


@test
def write_fn5_sets_one_coil():
    write_run(["-FN5", "-SR000005", "7"], "co", 4, [1], b"05",
              b"\nModbus AL frame: startreg = 000005, #regs = 1")


@test
def write_fn5_with_zero_clears_one_coil():
    write_run(["-FN5", "-SR000001", "0"], "co", 0, [0], b"05",
              b"\nModbus AL frame: startreg = 000001, #regs = 1")


@test
def write_fn15_sets_several_coils():
    write_run(["-FN15", "-SR000011", "1", "1", "0", "1", "1"], "co", 10, [1, 1, 0, 1, 1],
              b"0f", b"\nModbus AL frame: startreg = 000011, #regs = 5")


@test
def write_to_input_registers_is_refused_before_the_wire():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-FNWRITE", "-SR300001", "5", "-RQ2"])
        store = peer.store()
    finally:
        peer.close()
    if out.count(b"\n\rModbus transmit failed.") != 2:
        raise AssertionError("expected two failed transmits:\n%s" % show(out))
    if store["requests"] != 0:
        raise AssertionError("the peer saw %d requests" % store["requests"])


@test
def silent_slave_times_out_after_receive_timeout_then_repeats():
    peer = Peer("silent")
    try:
        run = Run([sk(peer.port), "-RT300", "-RQ2"])
        try:
            out = run.finish()
        finally:
            stop(run.proc)
    finally:
        peer.close()
    if out.count(b"\n\rReceive error = 0") != 2:
        raise AssertionError("expected two receive errors:\n%s" % show(out))
    expect_in(b"\n\rReceive error = 0\nSending request #2", out)
    sent = run.time_of(b"\nSending request #1")
    failed = run.time_of(b"\n\rReceive error = 0")
    # 100 ms default request spacing (counted from the open) plus the 300 ms time-out.
    if sent is None or failed is None or not 0.37 <= failed - sent <= 0.9:
        raise AssertionError("first time-out took %r s after the send" % (
            None if sent is None or failed is None else failed - sent))
    if not 0.55 <= run.elapsed <= 3.0:
        raise AssertionError("two time-outs took %.3f s" % run.elapsed)
    print("  first time-out %.3f s after the send, run %.3f s" % (failed - sent, run.elapsed))


@test
def five_requests_share_one_connection():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-RQ5", "-TD0", "-SR400001", "-NR2"])
        store = peer.wait_store("requests", 5)
    finally:
        peer.close()
    expect_in(b"\nNUM_REQUESTS set to 5", out)
    if out.count(b"\nModbus AL frame: startreg = 400001, #regs = 2") != 5:
        raise AssertionError("expected five replies:\n%s" % show(out))
    expect_in(b"\nSending request #5", out)
    expect_not_in(b"\nSending request #6", out)
    if store["connections"] != 1 or store["requests"] != 5:
        raise AssertionError("peer saw %d connections, %d requests" % (
            store["connections"], store["requests"]))


@test
def rq0_opens_and_sends_nothing():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-RQ0"])
        store = peer.wait_store("connections", 1)
    finally:
        peer.close()
    expect_in(b"\nNUM_REQUESTS set to 0", out)
    expect_in(b"\nBuilding request: modslave = 100\nExiting.\n", out)
    expect_not_in(b"Sending request", out)
    if store["connections"] != 1 or store["requests"] != 0:
        raise AssertionError("peer saw %d connections, %d requests" % (
            store["connections"], store["requests"]))


@test
def rdoff_keeps_header_and_drops_register_lines():
    peer = Peer("serve")
    try:
        out = korvalen([sk(peer.port), "-RDOFF"])
    finally:
        peer.close()
    expect_in(b"\nModbus AL frame: startreg = 400011, #regs = 3\nExiting.\n", out)
    expect_not_in(b"\nRegister ", out)


@test
def pkoff_silences_link_trace_and_keeps_results():
    peer = Peer("serve")
    try:
        out = mask(korvalen([sk(peer.port), "-PKOFF", "-SR400003", "-NR2"]), peer.port)
    finally:
        peer.close()
    expected = (BANNER
                + b"\nStripped SR from input: 400003"
                + b"\nInstall ModPL"
                + b"\nAbout to open ModPL with port 127.0.0.1/<PORT>"
                + b"\nBuilding request: modslave = 100"
                + b"\nSending request #1"
                + b"\nModbus AL frame received: fc = 03"
                + b"\nModbus AL frame: startreg = 400003, #regs = 2"
                + b"\nRegister 400003: -1\nRegister 400004: -32768"
                + b"\nExiting.\n")
    expect_same(expected, out)


def raw_run(args, *peer_args):
    peer = Peer("raw", *peer_args)
    try:
        return korvalen([sk(peer.port), "-SR400001", "-NR1", *args])
    finally:
        peer.close()


REPLY_ONE = frame(100, 3, 2, 0, 1)


@test
def reply_split_four_plus_three_is_joined():
    out = raw_run([], "--split", "4,3", "--gap", "80")
    expect_in(b"\n\rmoddlRx: Received 4 bytes\n\r" + dumpline(REPLY_ONE[:4])
              + b"\n\rmoddlRx: bad CRC: l=4"
              + b"\n\rmoddlRx: Maybe fragmented frame: try again"
              + b"\n\rmoddlRx: Received 3 bytes\n\r" + dumpline(REPLY_ONE[4:])
              + b"\nModbus AL frame received: fc = 03"
              + b"\nModbus AL frame: startreg = 400001, #regs = 1\nRegister 400001: 1", out)


@test
def reply_split_four_one_two_is_given_up():
    out = raw_run([], "--split", "4,1,2", "--gap", "80")
    expect_in(b"\n\rmoddlRx: bad CRC: l=4"
              + b"\n\rmoddlRx: Maybe fragmented frame: try again"
              + b"\n\rmoddlRx: Received 1 bytes\n\r" + dumpline(REPLY_ONE[4:5])
              + b"\n\rmoddlRx: bad CRC: l=5"
              + b"\n\rmoddlRx: Couldn't make sense of frame.  l==5"
              + b"\n\rReceive error = 0\nExiting.\n", out)


@test
def noise_byte_before_an_eight_byte_reply_is_dropped():
    out = raw_run(["-FN6", "4321"], "--prefix", "55")
    reply = frame(100, 6, 0, 0, 0x10, 0xE1)
    expect_in(b"\n\rmoddlRx: Received 9 bytes\n\r" + dumpline(b"\x55" + reply)
              + b"\n\rmoddlRx: bad CRC: l=9"
              + b"\n\rmoddlRx: Found Modbus RTU frame in last 8 bytes."
              + b"\nModbus AL frame received: fc = 06"
              + b"\nModbus AL frame: startreg = 400001, #regs = 1\nRegister 400001: 4321", out)


@test
def two_replies_in_one_read_keep_the_second():
    stale = frame(100, 3, 2, 0, 9)
    out = raw_run([], "--prefix", stale.hex())
    expect_in(b"\n\rmoddlRx: Received 14 bytes\n\r" + dumpline(stale + REPLY_ONE)
              + b"\n\rmoddlRx: bad CRC: l=14"
              + b"\n\rTry to strip off first frame."
              + b"\n\rTried.  i==7, crc=0000"
              + b"\n\rCRC Check found end of first frame.  Copy 7 remaining bytes."
              + b"\nModbus AL frame received: fc = 03"
              + b"\nModbus AL frame: startreg = 400001, #regs = 1\nRegister 400001: 1", out)


@test
def client_rebuilds_after_peer_closes_mid_frame():
    peer = Peer("raw", "--truncate-first", "4")
    try:
        out = mask(korvalen([sk(peer.port), "-SR400001", "-NR1", "-RQ2"]), peer.port)
        store = peer.wait_store("requests", 1)
    finally:
        peer.close()
    expect_in(b"\n\rmoddlRx: Received 4 bytes\n\r" + dumpline(REPLY_ONE[:4])
              + b"\n\rmoddlRx: bad CRC: l=4"
              + b"\n\rmoddlRx: Maybe fragmented frame: try again"
              + b"\n\rmoddlRx: broke\n\r"
              + b"moddlRx: Close socket\n\r"
              + b"moddlRx: recreate socket (1)\n\r"
              + b"\n\rmoddlCreateSocket: client socket.  Port == <PORT>"
              + b"moddlRx: Socket re-created.  Open now (1)\n\r"
              + b"moddlRx: reopened socket (0)\n\r"
              + b"\n\rReceive error = 0"
              + b"\nSending request #2", out)
    tail = out.split(b"\nSending request #2", 1)[1]
    expect_in(b"\nModbus AL frame: startreg = 400001, #regs = 1\nRegister 400001: 1"
              b"\nExiting.\n", tail)
    if store["connections"] != 2:
        raise AssertionError("peer saw %d connections" % store["connections"])


@test
def default_read_transcript_with_silent_peer_is_exact():
    peer = Peer("silent")
    try:
        out = mask(korvalen([sk(peer.port), "-RT300", "-RQ2", "-TD0"]), peer.port)
    finally:
        peer.close()
    one = (b"\n\rEnter moddlTransmit()."
           + b"\n\n\rmoddlTx: about to transmit 8 bytes\n\r"
           + dumpline(frame(100, 3, 0, 10, 0, 3))
           + b"\n\rReceive error = 0")
    expected = (BANNER
                + b"\nRECEIVE_TIMEOUT set to 300"
                + b"\nNUM_REQUESTS set to 2"
                + b"\nStripped TD from input: 0"
                + b"\nInstall ModPL"
                + b"\nAbout to open ModPL with port 127.0.0.1/<PORT>"
                + b"\n\rEnter moddlOpen('127.0.0.1/<PORT>')"
                + b"\n\rmoddlCreateSocket: client socket.  Port == <PORT>"
                + b"\nBuilding request: modslave = 100"
                + b"\nSending request #1" + one
                + b"\nSending request #2" + one
                + b"\nExiting.\n")
    expect_same(expected, out)


@test
def sending_request_reaches_a_pipe_at_once():
    peer = Peer("silent")
    try:
        run = Run([sk(peer.port), "-RT2000"])
        try:
            seen = run.wait_for(b"\nSending request #1", 1.5)
        finally:
            stop(run.proc)
    finally:
        peer.close()
    if seen is None or seen >= 1.5:
        raise AssertionError("\"Sending request #1\" not readable within 1.5 s; got:\n%s"
                             % show(run.out))
    print("  \"Sending request #1\" read from the pipe after %.3f s" % seen)


def server_run(args, sessions, answers):
    port = free_port()
    run = Run(["-SK/%d" % port, *args])
    peer = None
    try:
        peer = Peer("connect", "--port", str(port), "--sessions", sessions)
        out = run.finish()
        store = peer.wait_store("requests", answers)
    finally:
        stop(run.proc)
        if peer:
            peer.close()
    return mask(out, port), store


@test
def server_channel_transcript_is_exact():
    out, store = server_run(["-SR400002", "-NR2"], "0", 1)
    expected = (BANNER
                + b"\nStripped SR from input: 400002"
                + b"\nInstall ModPL"
                + b"\nAbout to open ModPL with port /<PORT>"
                + b"\n\rEnter moddlOpen('/<PORT>')"
                + b"\n\rmoddlCreateSocket: server socket.  Port == <PORT>"
                + b"\nBuilding request: modslave = 100"
                + b"\nSending request #1"
                + b"\n\rEnter moddlTransmit()."
                + b"\n\n\rmoddlTx: about to transmit 8 bytes\n\r"
                + dumpline(frame(100, 3, 0, 1, 0, 2))
                + b"\n\rmoddlRx: Received 9 bytes\n\r"
                + dumpline(frame(100, 3, 4, 0, 2, 0xFF, 0xFF))
                + b"\nModbus AL frame received: fc = 03"
                + b"\nModbus AL frame: startreg = 400002, #regs = 2"
                + b"\nRegister 400002: 2\nRegister 400003: -1"
                + b"\nExiting.\n")
    expect_same(expected, out)
    if store["requests"] != 1:
        raise AssertionError("peer answered %d requests" % store["requests"])


@test
def server_channel_write_reaches_the_connected_peer():
    out, store = server_run(["-FNWRITE", "-SR400002", "9", "65527", "-RQ2", "-TD0"], "0", 2)
    if out.count(b"\nModbus AL frame received: fc = 10") != 2:
        raise AssertionError("expected two write replies:\n%s" % show(out))
    if store["hr"][1:3] != [9, 65527]:
        raise AssertionError("store holds %r" % store["hr"][1:3])


@test
def server_channel_rebuilds_after_peer_disconnects():
    out, store = server_run(["-RQ3", "-SR400001", "-NR1"], "1,0", 2)
    rebuild = (b"\n\rmoddlRx: broke\n\r"
               b"moddlRx: Close socket\n\r"
               b"moddlRx: recreate socket (1)\n\r"
               b"\n\rmoddlCreateSocket: server socket.  Port == <PORT>"
               b"moddlRx: Socket re-created.  Open now (1)\n\r"
               b"moddlRx: reopened socket (0)\n\r"
               b"\n\rReceive error = 0"
               b"\nSending request #3")
    expect_in(rebuild, out)
    if out.count(b"\nModbus AL frame: startreg = 400001, #regs = 1\nRegister 400001: 1") != 2:
        raise AssertionError("expected replies to requests 1 and 3:\n%s" % show(out))
    tail = out.split(b"\nSending request #3", 1)[1]
    expect_in(b"\nModbus AL frame received: fc = 03", tail)
    if store["connections"] < 2 or store["requests"] != 2:
        raise AssertionError("peer saw %d connections, %d requests" % (
            store["connections"], store["requests"]))


@test
def mbpoll_reads_the_same_slave_through_a_pty():
    """Interop: a third-party RTU master sees the seeded store the korvalen tests rely on."""
    if not (os.path.exists("/usr/bin/mbpoll") and os.path.exists("/usr/bin/socat")):
        print("  (skipped: mbpoll or socat missing)")
        return
    peer = Peer("serve")
    link = os.path.join(TMP, "pty%d" % peer.port)
    bridge = None
    try:
        bridge = subprocess.Popen(["/usr/bin/socat", "PTY,raw,echo=0,link=" + link,
                                   "TCP:127.0.0.1:%d" % peer.port],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        PROCS.append(bridge)
        deadline = time.monotonic() + 5
        while not os.path.exists(link) and time.monotonic() < deadline:
            time.sleep(0.02)
        res = subprocess.run(["/usr/bin/mbpoll", "-m", "rtu", "-a", "100", "-r", "1", "-c", "3",
                              "-t", "4", "-b", "9600", "-P", "none", "-1", "-o", "2", link],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=15)
    finally:
        if bridge:
            stop(bridge)
        peer.close()
    out = res.stdout
    for needle in (b"[1]: \t1", b"[2]: \t2", b"[3]: \t65535 (-1)"):
        expect_in(needle, out)


def main():
    global KORVALEN
    if len(sys.argv) != 2:
        print("usage: run_e2e.py <path to korvalen>")
        return 2
    KORVALEN = os.path.abspath(sys.argv[1])
    only = os.environ.get("E2E_ONLY", "")
    passed = failed = 0
    start = time.monotonic()
    try:
        for fn in TESTS:
            if only and only not in fn.__name__:
                continue
            t0 = time.monotonic()
            try:
                fn()
                passed += 1
                print("PASS %s (%.2f s)" % (fn.__name__, time.monotonic() - t0), flush=True)
            except Exception as exc:  # pylint: disable=broad-except
                failed += 1
                print("FAIL %s: %s" % (fn.__name__, exc), flush=True)
                if not isinstance(exc, AssertionError):
                    traceback.print_exc(file=sys.stdout)
    finally:
        for proc in PROCS:
            stop(proc)
        shutil.rmtree(TMP, ignore_errors=True)
    print("total %.1f s" % (time.monotonic() - start))
    print("e2e: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
