#!/usr/bin/python3
"""korvalen-slave end to end: korvalen against it over TCP both ways and a socat pty pair,
mbpoll and pymodbus as other masters, a long run that must not grow, the command line.
Usage: slave_e2e.py <korvalen-slave> <korvalen>. Processes are stopped by PID, waits bounded.
With KORVALEN_EMULATOR set (wine), both .exe files run through it, reach the ptys as COM18 and
COM19 through the prefix's dosdevices links, are stopped with Ctrl-C, and their CR LF line ends
are undone."""

import contextlib, errno, os, re, select, shutil, signal, socket, subprocess, sys, tempfile, time

from pymodbus.utilities import computeCRC
from windows import RUN, EmulatorFault, emulator_fault, lf_lines, link_port, once_more
SLAVE, KORVALEN = ([*RUN, os.path.abspath(a)] for a in sys.argv[1:3])
PORTS = ("COM18", "COM19") if RUN else ("COMA", "COMB")
TMP = tempfile.mkdtemp(prefix="slave-e2e-")
PROCS = []
MASTER = ["-PKOFF", "-RT2000", "-TD0"]

# korvalen runs (after MASTER); needles ("|" between them) in their output and in the slave's.
# Each row runs over every transport against a fresh, seeded slave.
ROWS = [
    ("fc3_reads_seeded_holding", [[]], "Register 400011: 11|Register 400013: 13",
     "unit 100, fc 03, address 400011, count 3: answered"),
    ("fc4_reads_input_as_minus_n", [["-SR300011", "-NR2"]], "300011: -11|300012: -12", "fc 04"),
    ("fc1_reads_odd_coils_on", [["-SR000001", "-NR3"]], "000001: 1|000002: 0|000003: 1", "fc 01"),
    ("fc2_reads_even_inputs_on", [["-SR100001", "-NR2"]], "100001: 0|100002: 1", "fc 02"),
    ("fc16_write_reads_back", [["-FN16", "-SR400101", "7", "8"], ["-SR400101", "-NR2"]],
     "fc = 10|400101: 7|400102: 8", "fc 16, address 400101, count 2: answered"),
    ("fc6_write_reads_back", [["-FN6", "-SR400201", "99"], ["-SR400201", "-NR1"]],
     "fc = 06|400201: 99", "fc 06, address 400201, count 1: answered"),
    ("fc5_write_reads_back", [["-FN5", "-SR000002", "1"], ["-SR000002", "-NR1"]],
     "fc = 05|000002: 1", "fc 05, address 000002, count 1: answered"),
    ("fc15_write_reads_back", [["-FN15", "-SR000001", "0", "0", "0"], ["-SR000001", "-NR3"]],
     "fc = 0f|000001: 0|000003: 0", "fc 15, address 000001, count 3: answered"),
    ("last_register_is_served", [["-SR465536", "-NR1"]], "465536: 0", "count 1: answered"),
    ("past_the_image_is_exception_2", [["-SR465536", "-NR2"]], "fc = 83|EC = 02",
     "count 2: exception 02"),
    ("125_registers_are_served", [["-NR125", "-RDOFF"]], "#regs = 125", "count 125: answered"),
    ("126_registers_are_exception_3", [["-NR126"]], "EC = 03", "count 126: exception 03"),
    ("quantity_0_is_exception_3", [["-NR0"]], "EC = 03", "count 0: exception 03"),
    ("broadcast_applied_never_answered", [["-ID0", "-TD100", "-FN6", "-SR400301", "55"],
                                          ["-SR400301", "-NR1"]],
     "Broadcast: no reply awaited.|400301: 55",
     "unit 0, fc 06, address 400301, count 1: broadcast, applied"),
    # 22 on 400401 (401: 0x191) leaves 0x95; 23 writes before it reads.
    ("fc22_mask_write_reads_back", [["-FN22", "-SR400401", "0xF2", "0x25"], ["-SR400401", "-NR1"]],
     "fc = 16|400401: 149", "fc 22, address 400401, count 1: answered"),
    ("fc23_writes_then_reads", [["-FN23", "-SR400501", "-NR2", "-WS400502", "7"]],
     "fc = 17|400501: 501|400502: 7", "fc 23, address 400501, count 2: answered"),
    ("fc7_fc8_status_echo_counter_and_exceptions", [["-FN7"], ["-FN8", "0x1234"], ["-FN8", "-SF12"],
     ["-FN8", "-SF2"], ["-PDU1700000000000000000100"]], "Exception status: 00 (bits 7-0: 00000000)"
     "|subfunction 0, data: 1234|subfunction 12, data: 0000|fc = 88|EC = 01|fc = 97|EC = 03",
     "fc 07: answered|fc 08: answered|fc 08: exception 01|fc 23, address 400001, count 0: "
     "exception 03"),
    ("rq_runs_share_one_connection", [["-RQ5", "-RDOFF"]],
     "Sending request #5\nModbus AL frame received: fc = 03", "Request 5: unit 100, fc 03"),
]

# The slave's command line: arguments, exit status, needle in its output.
CLI = [([], 0, "KORVALEN-SLAVE [-COMx | -SKxxx]"), (["/h", "-?"], 0, "holding\nregister n holds n"),
       (["-XYZ"], 2, "unknown option: '-XYZ'"), (["-ID248"], 2, "unit ID must be 1 to 247"),
       (["-B96X"], 2, "bad baud rate"), (["-LF9N1"], 2, "line format is 7 or 8"), (["-PKMAYBE"], 2, "packet dump is ON or OFF"),
       (["-SR200001", "5"], 2, "bad start register"), (["-SR0001", "2"], 2, "coil or input is 0 or 1"),
       (["-SR465536", "1", "2"], 2, "value past the end of the image: '2'"),
       (["65536"], 2, "a value is a number from 0 to 65535"), (["-DTALL"], 2, "data type is INT16"),
       (["-WOABDC"], 2, "word order is ABCD, CDAB"),
       (["-DTUINT16", "-1"], 2, "not a value of UINT16: '-1'"),
       (["-SR000001", "1", "-DTINT32"], 2, "coils and inputs take no data type but INT16: '1'"),
       (["-DTFLOAT64", "-SR465534", "1"], 2, "value past the end of the image: '1'"),
       (["-comnosuch"], 1, "cannot open port 'COMNOSUCH'"),
       (["-SK/{busy}"], 1, "cannot open port '/"),
       (["--HeLp"], 0, "KORVALEN-SLAVE [-COMx"), (["--x"], 2, "unknown option: '--X'"),
       (["-XYZ", "--vERSION"], 0, "KORVALEN-SLAVE v1.5:  Compiled at "),
       (["-ES0x100"], 2, "exception status is 0 to 255"), (["-ES"], 2, "0x00 to 0xFF"),
       (["-FRX"], 2, "the framing is TCP or RTU"), (["-RQ5X"], 2, "bad number of requests"),
       (["-LA1.2.3"], 2, "listen address is a dotted IPv4 address"),
       (["-IT86401"], 2, "idle time-out is 0 to 86400"), (["-LA127.0.0.1"], 2, "needs a server"),
       *[(["-ID" + ids], 2, "or a list such as 3,17,200") for ids in ("3,", "5-3", "1-248", ",2")],
       (["-VN" + "x" * 65], 2, "an identity text is 1 to 64 characters"), (["-RV"], 2, "1 to 64"),
       *[(["-fault" + f], 2, "a fault is KIND[=value][@percent], as DELAY=100-300@20: '-FAULT%s'"
          % f.upper()) for f in ("bogus", "delay=5-3", "drop@101", "split=1/5", "noise")],
       (["-FAULTCRC", "-FRTCP"], 2, "the crc fault needs RTU framing"),
       (["-FAULTTID"], 2, "the tid fault needs Modbus TCP framing"),
       (["-SEED4294967296"], 2, "the seed is 0 to 4294967295: '-SEED4294967296'"),
       # the least value of -ID and -B, the most of -RQ, two stop bits, and a negative and a
       # many-bit INT16 seed are taken
       (["-SK/{port}", "-SEC1", "-ID1", "-PKOFF", "-PKON", "-RQ4294967295", "-B1", "-FRRTU",
         "-LF7O2", "-SR400001", "-32768", "65535"], 0, "stopped before a master came")]


def rtu(pdu, unit=100):
    body = bytes([unit]) + bytes.fromhex(pdu)
    return body + computeCRC(body).to_bytes(2, "big")


W16 = rtu("10006400" "0a14" + "".join("%04x" % v for v in range(1, 11)))
R3 = rtu("03000a0003")
# Raw requests over TCP: the pieces (sent 30 ms apart), the reply PDUs expected in order (hex
# prefixes), needles in the slave's log.
RAW = [
    ("fc16_in_9_and_20_bytes_is_applied", [W16[:9], W16[9:], rtu("0300640002")],
     ["100064000a", "030400010002"], "fc 16, address 400101, count 10: answered"),
    ("fc3_a_byte_at_a_time_is_answered", [bytes([b]) for b in R3], ["0306000b000c000d"], ""),
    ("fc6_and_fc3_in_one_write_both_answered", [rtu("0602580309") + rtu("0302580001")],
     ["0602580309", "03020309"], "fc 06, address 400601, count 1: answered"),
    ("twelve_reads_in_one_write_all_answered", [rtu("03000a0001") * 12], ["0302000b"] * 12,
     "Request 12: unit 100, fc 03"),
    ("out_of_range_and_inconsistent_get_exception_3",
     [rtu("01000007d0") + rtu("01000007d1") + rtu("0f000007b1f7" + "00" * 247) +
      rtu("100000007cf8" + "00" * 248) + rtu("10000000020200" "05"), rtu("81000000")],
     ["01fa", "8103", "8f03", "9003", "9003", "8101"],
     "count 2001: exception 03|count 124: exception 03|count 2: exception 03|fc 129: exception 01"),
    ("broadcast_read_is_not_answered", [rtu("03000a0001", 0), R3], ["0306000b"],
     "unit 0, fc 03, address 400011, count 1: broadcast, not answered"),
]


def reply_pdus(sock, n, timeout=5, mbap_framing=False):
    """The PDUs of n RTU (or MBAP) replies read from sock, as hex."""
    buf, pdus, deadline = b"", [], time.monotonic() + timeout
    while len(pdus) < n and time.monotonic() < deadline:
        if mbap_framing:
            size = 6 + int.from_bytes(buf[4:6], "big") if len(buf) >= 7 else 0
        else:
            size = 0 if len(buf) < 3 else 5 if buf[1] & 0x80 else 5 + buf[2] if buf[1] < 5 else 8
        if size and len(buf) >= size:
            pdus.append((buf[7:size] if mbap_framing else buf[1:size - 2]).hex())
            buf = buf[size:]
            continue
        sock.settimeout(max(deadline - time.monotonic(), 0.01))
        buf += sock.recv(1024) or b""
    return pdus


def mbap(pdu, unit=100, transaction=1):
    body = bytes([unit]) + bytes.fromhex(pdu)
    return transaction.to_bytes(2, "big") + b"\0\0" + len(body).to_bytes(2, "big") + body


def raw_row(pieces, expected, needles):
    peer = TcpServer()
    with socket.create_connection(("127.0.0.1", peer.port), timeout=5) as sock:
        for piece in pieces:
            sock.sendall(piece)
            time.sleep(0.03)
        got = reply_pdus(sock, len(expected))
    assert all(g.startswith(e) for g, e in zip(got, expected)) and len(got) == len(expected), \
        "replies %s, expected %s" % (got, expected)
    expect(needles or "Request 1", peer.close(), "korvalen-slave")


R1, A1 = rtu("0300000001"), rtu("03020001")  # a read of 400001 and its answer, 1
# Faults against a reader that records what came back to each request, sent one at a time: the
# slave's options, the requests, the bytes each got, needles in the slave's log; a fault that
# takes time also gives (least s to the first byte, least s between pieces, pieces).
FAULTS = [
    ("drop_answers_nothing", ["-FAULTDROP", "-FAULTCRC"], [R1], [b""],
     "count 1: not answered, drop\n|faults injected: drop 1, crc 0"),
    ("crc_is_wrong", ["-FAULTCRC"], [R1], [A1[:-1] + b"\x73"], "count 1: answered, crc\n"),
    ("unit_answers_for_another_with_its_crc", ["-FAULTUNIT=7"], [R1], [rtu("03020001", 7)],
     "answered, unit 7"),
    ("twice_sends_the_answer_again", ["-FAULTTWICE"], [R1], [A1 * 2], "answered, twice"),
    ("exception_answers_instead", ["-FAULTEXCEPTION=4", "-FAULTNOISE=1@0"], [R1], [rtu("8304")],
     "exception 04, exception\n|exception 1, noise 0"),
    ("silent_answers_none_of_the_next", ["-FAULTSILENT=2"], [R1] * 4, [A1, b"", b"", A1],
     "Request 2: unit 100, fc 03, address 400001, count 1: not answered, silent|Request 4: unit "
     "100, fc 03, address 400001, count 1: answered\n|faults injected: silent 2\n"),
    ("tid_is_the_transaction_before", ["-FRTCP", "-FAULTTID"], [mbap("0300000001", 100, 256)],
     [mbap("03020001", 100, 255)], "answered, tid"),
    ("unit_over_modbus_tcp", ["-FRTCP", "-FAULTUNIT=0"], [mbap("0300000001")],
     [mbap("03020001", 0)], "answered, unit 0"),
    ("noise_comes_before_it", ["-FRTCP", "-FAULTNOISE=3", "-SEED0"], [mbap("0300000001")],
     [bytes.fromhex("f44fec") + mbap("03020001")], "answered, noise 3"),
    ("delay_holds_it_back_past_the_request_limit", ["-FAULTDELAY=300", "-RQ1"], [R1], [A1],
     "answered, delay 300 ms|stopped (request limit) after 1 request", (0.28, 0, 1)),
    ("split_sends_it_in_pieces_apart", ["-FRTCP", "-FAULTSPLIT=3/150"], [mbap("0300000001")],
     [mbap("03020001")], "answered, split 3/150 ms", (0, 0.13, 3)),
]


def heard(port, requests, window=1.0):
    """Per request: (seconds from the request, bytes) of each piece that came within window."""
    got = []
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        for request in requests:
            sock.sendall(request)
            start, pieces = time.monotonic(), []
            while select.select([sock], [], [], max(start + window - time.monotonic(), 0))[0]:
                if not (piece := sock.recv(4096)):
                    break
                pieces.append((time.monotonic() - start, piece))
            got.append(pieces)
    return got


def fault_row(options, requests, replies, needles, timing=None):
    peer = TcpServer(*options)
    got = heard(peer.port, requests)
    assert [b"".join(p for _, p in pieces) for pieces in got] == replies, got
    first, gap, n = timing or (0, 0, len(got[0]))
    times = [t for t, _ in got[0]] + [first]
    assert len(times) == n + 1 and times[0] >= first and all(
        b - a >= gap for a, b in zip(times, times[1:-1])), "pieces at %s" % times
    if "request limit" in needles:  # it ends by itself: a stop sent first would be the reason
        peer.slave.wait(5)
    expect(needles, peer.close(), "korvalen-slave")


def seed_repeats_the_run_and_an_unseeded_one_prints_its_own():
    """The same requests twice: the second run, seeded with the seed the first printed, gets the
    same answers, the same noise and the same log; some are dropped, some not."""
    faults, runs = ["-FAULTDROP@50", "-FAULTNOISE=2@50", "-FAULTDELAY=0-40@50"], []
    for seed in ([], None):
        peer = TcpServer(*faults, *(seed if seed is not None else ["-SEED" + runs[0][2]]))
        got = [b"".join(p for _, p in pieces) for pieces in heard(peer.port, [R1] * 12, 0.3)]
        log = peer.close()
        runs.append((got, re.findall(r"Request .*\n|faults injected.*", log),
                     re.search(r"unit 100 on /\d+, fault seed (\d+)\n", log).group(1)))
    assert runs[0] == runs[1] and b"" in runs[0][0] and A1 in [g[-7:] for g in runs[0][0]], runs


def delayed_answer_holds_up_no_other_master_and_spins_not():
    """Seed 2 delays the first request by 1.5 s and not the second, from another master; the
    first master waits for it past the idle time-out."""
    peer = TcpServer("-FAULTDELAY=1500@50", "-SEED2", "-IT1")
    with socket.create_connection(("127.0.0.1", peer.port), timeout=5) as first:
        first.sendall(R1)
        time.sleep(0.1)
        before, start = cpu_seconds(peer.slave.pid), time.monotonic()
        assert [b"".join(p for _, p in r) for r in heard(peer.port, [R1], 0.5)] == [A1]
        first.settimeout(3)
        assert first.recv(64) == A1 and time.monotonic() - start > 1.2, "not delayed"
        assert cpu_seconds(peer.slave.pid) - before < 0.3, "spins while an answer waits"
    expect("Request 1: unit 100, fc 03, address 400001, count 1: answered, delay 1500 ms\n"
           "Request 2: unit 100, fc 03, address 400001, count 1: answered\n", peer.close(),
           "korvalen-slave")


def faults_as_the_master_reports_them_on_a_serial_line():
    """A pty at 38400 baud: a split whose gap breaks the frame, which korvalen joins again, and a
    delay past the time-out."""
    for fault, needles in (("-FAULTSPLIT=2/100", "bad CRC: l=6\n\rmoddlRx: Maybe fragmented "
                            "frame: try again|Answered:               1"),
                           ("-FAULTDELAY=500", "Time-outs:              1")):
        peer = Serial(fault)
        expect(needles, peer.master(["-RT300", "-STON"]), "korvalen")
        expect("fault seed", peer.close(), "korvalen-slave")


def output_so_far(proc):
    """What the process has written; its own file offset is left alone."""
    with open("/proc/self/fd/%d" % proc.out.fileno(), "rb") as f:
        return f.read().decode("latin-1")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid, encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def lost_device_is_reported_and_reopened_without_spinning():
    peer = Serial()
    stop(peer.socat, None)
    wait_until(lambda: "lost '%s'" % PORTS[0] in output_so_far(peer.slave), "the loss reported")
    before = cpu_seconds(peer.slave.pid)
    time.sleep(1.5)
    assert cpu_seconds(peer.slave.pid) - before < 0.3, "spins while the device is away"
    peer.socat = start(["/usr/bin/socat", "pty,raw,echo=0,link=COMA", "pty,raw,echo=0,link=COMB"],
                       peer.dir)
    wait_until(lambda: "'%s' is back" % PORTS[0] in output_so_far(peer.slave), "the reopen")
    expect("Register 400011: 11", peer.master(MASTER), "korvalen")
    peer.close()


def eight_masters_at_once_in_either_framing():
    """Eight connections: one idle, one with half a request; the other six are answered at
    once, and the half request once it is whole."""
    for framing, frame in (([], rtu("03000a0001")), (["-FRTCP"], mbap("03000a0001"))):
        peer = ModbusTcpServer() if framing else TcpServer()
        socks = [socket.create_connection(("127.0.0.1", peer.port), timeout=5) for _ in range(8)]
        try:
            socks[1].sendall(frame[:3])
            for sock in socks[2:]:
                sock.sendall(frame)
            got = [reply_pdus(sock, 1, 2, bool(framing)) for sock in socks[2:]]
            socks[1].sendall(frame[3:])
            got.append(reply_pdus(socks[1], 1, 2, bool(framing)))
        finally:
            for sock in socks:
                sock.close()
        assert got == [["0302000b"]] * 7, "%s: %s" % (framing, got)
        expect("Request 7: unit 100, fc 03", peer.close(), "korvalen-slave")


def independent_modbus_tcp_masters_read_and_write():
    """The libmodbus client, pymodbus's default framer and mbpoll -m tcp, units 100 and 255."""
    peer = ModbusTcpServer()
    libmodbus = finish(start([os.environ["KORVALEN_TCP_PEER"], "client", str(peer.port), "100"]))
    expect("client: 100 reads in", libmodbus, "libmodbus client")
    expect(": 11 12 13", libmodbus, "libmodbus client")
    out = finish(start(["/usr/bin/python3", "-c", PYMODBUS, str(peer.port)]))
    expect("[11, 12, 13] 16 [5, 6] 5 [True, True, True, False] 2", out, "pymodbus")
    mbpoll = ["/usr/bin/mbpoll", "-m", "tcp", "-p", str(peer.port), "-t", "4", "-r", "11", "-1"]
    out = finish(start([*mbpoll, "-a", "255", "-c", "2", "127.0.0.1"]))
    out += finish(start([*mbpoll, "-a", "100", "127.0.0.1", "4321"]))
    expect("[11]: \t11|[12]: \t12|Written 1 references", out, "mbpoll")
    expect("unit 255, fc 03, address 400011, count 2: answered|fc 06, address 400011|fc 05, "
           "address 000002|fc 04, address 365536, count 2: exception 02", peer.close(),
           "korvalen-slave")


def libmodbus_random_writes_read_back():
    """libmodbus's writes and read-backs with 1, 3, 5, 6, 15, 16 and 23, seeded; -ES's byte."""
    peer = ModbusTcpServer("-es0xA5")
    out = finish(start([os.environ["KORVALEN_TCP_PEER"], "random", str(peer.port), "5301", "300"]))
    expect("random: 300 rounds ok", out, "libmodbus random writes")
    expect("status: a5 (bits 7-0: 10100101)", peer.master(MASTER + ["-FN7"]), "korvalen")
    expect("Request 2100: unit 100, fc 03", peer.close(), "korvalen-slave")


def full_table_of_silent_masters_turns_no_new_one_away():
    """16 silent masters, half with half a request as one gone without a word leaves it: each of
    16 new masters is answered, and the one silent longest is closed for the first."""
    peer = TcpServer()
    silent = [socket.create_connection(("127.0.0.1", peer.port), timeout=5) for _ in range(16)]
    for sock in silent[8:]:
        sock.sendall(R3[:3])
    for i in range(16):
        with socket.create_connection(("127.0.0.1", peer.port), timeout=5) as sock:
            sock.sendall(R3)
            assert reply_pdus(sock, 1) == ["0306000b000c000d"], "new master %d unanswered" % i
    assert silent[0].recv(1) == b"", "the master silent longest still connected"
    expect("16 masters connected; the one silent for", peer.close(), "korvalen-slave")


def silent_and_unread_masters_close_after_the_idle_time_out_holding_up_no_other():
    """One master sends requests and reads nothing, two are silent (one with half a request)."""
    peer, stalled, sent = TcpServer("-IT2"), socket.socket(), 0
    silent = [socket.create_connection(("127.0.0.1", peer.port), timeout=5) for _ in range(2)]
    silent[1].sendall(R3[:3])
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", peer.port))
    stalled.settimeout(0.5)
    with contextlib.suppress(socket.timeout):
        for sent in range(0, 2000000, 100):
            stalled.sendall(rtu("03000a007d") * 100)
    with socket.create_connection(("127.0.0.1", peer.port), timeout=5) as other:
        other.sendall(R3)
        assert reply_pdus(other, 1) == ["0306000b000c000d"], "the other master unanswered"
    wait_until(lambda: "read no answer for 2 s" in output_so_far(peer.slave), "the close", 10)
    assert [s.recv(1) for s in silent] == [b"", b""], "a silent master still connected"
    got, reply = b"", rtu("03fa" + "".join("%04x" % v for v in range(11, 136)))
    stalled.settimeout(5)
    with contextlib.suppress(ConnectionResetError):
        while piece := stalled.recv(65536):
            got += piece
    # The reset of the close may come mid-answer, where the master's window ended, never later.
    n = len(got) // len(reply)
    assert got[:n * len(reply)] == reply * n and reply.startswith(got[n * len(reply):]) and \
        0 < n < sent, "%d answers to %d requests, then %r" % (n, sent, got[n * len(reply):])
    expect("a master silent for 2 s closed", peer.close(), "korvalen-slave")


def listen_address_keeps_each_server_on_it():
    """-LA127.0.0.2, korvalen-slave's server and korvalen's: 127.0.0.1 is refused."""
    peer, port = TcpServer("-LA127.0.0.2"), free_port()
    master = start([*KORVALEN, "-SK/%d" % port, "-LA127.0.0.2", *MASTER])
    wait_until(lambda: listen_inode(port), "korvalen to listen")
    for listening in (peer.port, port):
        with socket.socket() as sock:
            assert sock.connect_ex(("127.0.0.1", listening)) == errno.ECONNREFUSED, "served"
    start([*SLAVE, "-SK127.0.0.2/%d" % port])
    out = finish(master) + finish(start([*KORVALEN, "-SK127.0.0.2/%d" % peer.port, *MASTER]))
    assert out.count("Register 400011: 11") == 2, out
    expect("unit 100 on @127.0.0.2/", peer.close(), "korvalen-slave")


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def listen_inode(port):
    with open("/proc/net/tcp", encoding="ascii") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return next((r[9] for r in rows if r[3] == "0A" and int(r[1][-4:], 16) == port), None)


def open_files(pid):
    """What the process's descriptors point to; one that closes meanwhile is passed over."""
    files = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            files.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
        except OSError:
            pass
    return files


def wait_until(condition, what, timeout=5):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.01)
    return condition()


def start(args, cwd=TMP):
    """Output goes to a file: a pipe nobody reads until the end would stall a long run."""
    out = tempfile.TemporaryFile(dir=TMP)
    proc = subprocess.Popen(args, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)
    proc.out, proc.windows = out, bool(RUN) and args[0] == RUN[0]
    PROCS.append(proc)
    return proc


def finish(proc, timeout=90, status=None):
    """Output of a process that ends within timeout (long enough for 10,000 requests under wine on
    a busy machine) or is killed; checks its status if given."""
    killed = False
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        killed = True
        proc.kill()
        proc.wait(5)
    proc.out.seek(0)
    out = proc.out.read()
    if not killed and emulator_fault(proc.returncode, out):
        raise EmulatorFault("status %d, output %r" % (proc.returncode, out[-300:]))
    out = (lf_lines(out) if proc.windows else out).decode("latin-1")
    assert status in (None, proc.returncode), "exit status %s:\n%s" % (proc.returncode, out)
    return out


def stop(proc, status=0):
    # nothing is sent to a process that has ended; Windows has no SIGTERM, Ctrl-C stops there.
    # Wine on a loaded machine has taken over 5 s to end a process that had already closed.
    proc.send_signal(signal.SIGINT if proc.windows else signal.SIGTERM)
    return finish(proc, 20 if proc.windows else 5, status)


def stop_left():
    """Stops by PID what a row left running."""
    for proc in PROCS:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)


def expect(needles, out, who):
    for needle in needles.split("|"):
        assert needle in out, "%s output lacks %r:\n%s" % (who, needle, out[-3000:])


class Peer:
    """A slave and what carries its line; close stops both, the slave first, and gives the
    slave's output."""
    slave = socat = None

    def close(self):
        out = stop(self.slave) if self.slave else ""
        if self.socat:
            stop(self.socat, None)
        return out


class TcpServer(Peer):
    """korvalen-slave listens, on the same listening socket for its whole run."""
    framing = []

    def __init__(self, *extra):
        self.port = free_port()
        self.slave = start([*SLAVE, "-SK/%d" % self.port, *self.framing, *extra])
        self.inode = wait_until(lambda: listen_inode(self.port), "the slave to listen")

    def master(self, args):
        out = finish(start([*KORVALEN, "-SK127.0.0.1/%d" % self.port, *self.framing, *args]))
        assert listen_inode(self.port) == self.inode, "the listening socket changed"
        return out


class ModbusTcpServer(TcpServer):
    """The same in Modbus TCP framing, korvalen too."""
    framing = ["-FRTCP"]


class TcpClient(Peer):
    """korvalen listens with -SK/port; the slave connects to it, and again to the next one
    (which may come and go between two looks for its listening socket)."""

    def __init__(self):
        self.port = free_port()

    def master(self, args):
        master = start([*KORVALEN, "-SK/%d" % self.port, *args])
        if self.slave is None:
            wait_until(lambda: listen_inode(self.port), "korvalen to listen")
            self.slave = start([*SLAVE, "-SK127.0.0.1/%d" % self.port])
        return finish(master)


class Serial(Peer):
    """A socat pty pair, COMA and COMB; the slave holds COMA before a master writes to COMB."""

    def __init__(self, *extra):
        self.dir = tempfile.mkdtemp(dir=TMP)
        self.socat = start(["/usr/bin/socat", "pty,raw,echo=0,link=COMA",
                            "pty,raw,echo=0,link=COMB"], self.dir)
        ptys = [os.path.join(self.dir, name) for name in ("COMA", "COMB")]
        wait_until(lambda: all(map(os.path.exists, ptys)), "the pty pair")
        for port, pty in zip(PORTS, ptys) if RUN else ():
            link_port(port, pty)
        self.slave = start([*SLAVE, "-" + PORTS[0], "-B38400", *extra], self.dir)
        wait_until(lambda: os.path.realpath(ptys[0]) in open_files(self.slave.pid),
                   "the slave on COMA")

    def master(self, args, program=(*KORVALEN, "-" + PORTS[1], "-B38400")):
        return finish(start([*program, *args], self.dir))


def matrix_row(transport, runs, master_needles, slave_needles):
    """The log: whole lines, each ended, no loss told on the stop, its count in the last one."""
    peer = transport()
    expect(master_needles, "".join(peer.master(MASTER + args) for args in runs), "korvalen")
    out = peer.close()
    n = out.count("\nRequest ")
    expect(slave_needles + "|\nkorvalen-slave: stopped (signal) after %d request%s\n" % (
        n, "s" * (n != 1)), out, "korvalen-slave")
    # a TCP client loses each korvalen that ends; a serial port is lost only to a stop
    assert transport is TcpClient or "lost '" not in out, out[-500:]
    assert all(line.startswith(("Request ", "korvalen-slave: ")) for line in out.split("\n")
               if "Request " in line), out[-500:]


def cli_row(args, status, needle):
    """{port}: a free port; {busy}: one this test listens on."""
    with socket.create_server(("127.0.0.1", 0)) as busy:
        out = finish(start([*SLAVE, *(a.format(port=free_port(), busy=busy.getsockname()[1])
                                      for a in args)]), 10, status)
    expect(needle, out, "korvalen-slave")


PYMODBUS = """
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.framer.socket_framer import ModbusSocketFramer
c = ModbusTcpClient("127.0.0.1", int(sys.argv[1]), ModbusSocketFramer, timeout=3)
assert c.connect()
print(c.read_holding_registers(10, 3, slave=100).registers, c.write_registers(40, [5, 6],
      slave=100).function_code, c.read_holding_registers(40, 2, slave=100).registers,
      c.write_coil(1, True, slave=100).function_code, c.read_coils(0, 4, slave=100).bits[:4],
      c.read_input_registers(65535, 2, slave=100).exception_code)
"""


def typed_seeds_read_back():
    """The type and order hold for the values before them too; a negative number is a value."""
    peer = TcpServer("-WOCDAB", "-SR400001", "229.87", "-1.25", "-DTFLOAT32", "-SR300001", "1e3")
    out = "".join(peer.master(MASTER + a) for a in (
        ["-DTFLOAT32", "-WOCDAB", "-NR2", "-SR400001"], ["-DTHEX", "-NR2", "-SR400001"],
        ["-DTFLOAT", "-WOCDAB", "-NR1", "-SR300001"]))
    expect("400001: 229.87|400003: -1.25|400001: 0xDEB8|400002: 0x4365|300001: 1000", out,
           "korvalen")
    peer.close()


def several_units_found_by_a_scan_with_their_identity():
    """Units 3, 17 and 200 on one port, one image, one identity; a scan finds each it covers."""
    for transport, scan, found in ((ModbusTcpServer, "-SCAN1-20", "3, 17"),
                                   (Serial, "-SCAN195-205", "200")):
        peer = transport("-ID3,17,200", "-VNAcme Ltd", "-pcPM-7")
        out = peer.master(["-PKOFF", scan])
        expect("Scan done: %s found: %s|Server ID: %s, run indicator: ON|Additional data: Acme Ltd "
               "PM-7 1.5|VendorName: Acme Ltd|MajorMinorRevision: 1.5" % (
                   "2 units" if "," in found else "1 unit", found, found[-3:].strip()), out,
               "korvalen")
        expect("units 3,17,200 on|fc 43: answered", peer.close(), "korvalen-slave")


def vitals(pid):
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        rss = next(line.split()[1] for line in f if line.startswith("VmRSS:"))
    return len(os.listdir("/proc/%d/fd" % pid)), int(rss)


def ten_thousand_requests_leave_memory_and_descriptors_flat():
    peer = TcpServer()
    peer.master(MASTER + ["-RQ1000", "-RDOFF"])
    before = vitals(peer.slave.pid)
    out = peer.master(MASTER + ["-RQ10000", "-RDOFF"])
    after = vitals(peer.slave.pid)
    expect("Sending request #10000\nModbus AL frame received: fc = 03", out, "korvalen")
    expect("stopped (signal) after 11000 requests", peer.close(), "korvalen-slave")
    # Under wine the resident size is wine's as much as the slave's, which allocates nothing.
    assert after[0] == before[0] and (RUN or after[1] <= before[1]), "grew: %s %s" % (before, after)


def main():
    tests = [("%s_over_%s" % (row[0], t.__name__), matrix_row, (t, *row[1:]))
             for row in ROWS for t in (TcpServer, ModbusTcpServer, TcpClient, Serial)]
    tests += [("cli " + " ".join(row[0]), cli_row, row) for row in CLI]
    tests += [(row[0], raw_row, row[1:]) for row in RAW]
    tests += [(row[0], fault_row, row[1:]) for row in FAULTS]
    tests += [(f.__name__, f, ()) for f in (
        typed_seeds_read_back, seed_repeats_the_run_and_an_unseeded_one_prints_its_own,
        faults_as_the_master_reports_them_on_a_serial_line,
        delayed_answer_holds_up_no_other_master_and_spins_not,
        several_units_found_by_a_scan_with_their_identity,
        full_table_of_silent_masters_turns_no_new_one_away,
        silent_and_unread_masters_close_after_the_idle_time_out_holding_up_no_other,
        listen_address_keeps_each_server_on_it,
        eight_masters_at_once_in_either_framing, independent_modbus_tcp_masters_read_and_write,
        libmodbus_random_writes_read_back,
        lost_device_is_reported_and_reopened_without_spinning,
        ten_thousand_requests_leave_memory_and_descriptors_flat)]
    tests = [t for t in tests if os.environ.get("E2E_ONLY", "") in t[0]]
    failed = 0
    for name, fn, args in tests:
        try:
            once_more(name, lambda: (stop_left(), fn(*args)))
            print("PASS", name, flush=True)
        except Exception as exc:  # pylint: disable=broad-except
            failed += 1
            print("FAIL %s: %s" % (name, exc), flush=True)
        stop_left()
    shutil.rmtree(TMP, ignore_errors=True)
    print("slave_e2e: %d passed, %d failed" % (len(tests) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
