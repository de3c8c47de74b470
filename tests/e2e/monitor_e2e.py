#!/usr/bin/python3
"""korvalen -MON on a simulated bus (tests/rig/bus.py): a libmodbus master (rtu_master) and slave
(rtu_slave, unit 1, seeded as rtu_slave.c says) on two ends, korvalen on ./COMA. Whole
transcripts are compared, times masked; the monitor's end must never have written a byte.
Usage: monitor_e2e.py KORVALEN RTU_SLAVE RTU_MASTER [NAMEPART]"""
import os, re, select, signal, subprocess, sys, tempfile, time

KORVALEN, SLAVE, MASTER = map(os.path.abspath, sys.argv[1:4])
BUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "rig", "bus.py")
MASK = re.compile(rb"Compiled at .*|\d{4}-\d\d-\d\dT[\d:.]+Z|\d+\.\d{3}")
# Read, write, exception, a unit nobody is, coils, noise, a request with a spoilt CRC, read.
STEPS = ["R,1,0,2", "W,1,10,7,8", "R,1,60,1", "R,9,0,1", "C,1,0,5", "X,00ff13",
         "X,0103000000029999", "R,1,3,1"]
HEAD = b"\nListening: nothing is sent."


def until(fd, marker, out=b""):
    deadline = time.monotonic() + 10
    while marker not in out and select.select([fd], [], [], deadline - time.monotonic())[0]:
        out += os.read(fd, 4096) or b"\0"
    return out


def run(args, stop=False, steps=STEPS):
    """korvalen's masked (text, records) and exit status for -COMA -MON args, on the bus."""
    with tempfile.TemporaryDirectory() as d:
        bus = subprocess.Popen([sys.executable, BUS, d, "COMA", "MASTER", "SLAVE"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert bus.stdout.readline() == b"READY\n"
        mon = subprocess.Popen([KORVALEN, "-COMA", "-MON", *args], cwd=d, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        text = until((mon.stderr if "-OF" in str(args) else mon.stdout).fileno(), HEAD)
        slave = subprocess.Popen([SLAVE, d + "/SLAVE", "9600", "1"], stdout=subprocess.PIPE)
        try:
            assert slave.stdout.readline() == b"READY\n"
            subprocess.run([MASTER, d + "/MASTER", "9600", *steps], timeout=20, check=True)
            if stop:
                mon.send_signal(signal.SIGINT)
            out, err = mon.communicate(timeout=20)
        finally:
            for p in (mon, slave):
                p.kill()
                p.wait()
        wrote = bus.communicate(b"\n", timeout=10)[0]
    assert wrote.startswith(b"WROTE COMA=0 "), wrote
    text, records = (text + err, out) if "-OF" in str(args) else (text + out, err)
    return MASK.sub(b"<T>", text), MASK.sub(b"<T>", records), mon.returncode


def lines(*shown): return b"".join(b"\n<T> " + s for s in shown)


ECHO = b"KORVALEN v1.5:  <T>\n\nStripped MON from input: "
OPEN = b"\nAbout to listen on port COMA\n\rEnter moddlOpen('COMA')\n\rmoddlOpen: serial connection.  Port == COMA" + HEAD
ALL = lines(b"unit 1 fc 3 start 400001 count 2 values 1000 1001 ok <T> ms",
            b"unit 1 fc 16 start 400011 count 2 values 7 8 ok <T> ms",
            b"unit 1 fc 3 start 400061 count 1 exception 2 <T> ms",
            b"unit 9 fc 3 start 400001 count 1 no answer",
            b"unit 1 fc 1 start 000001 count 5 values 1 0 0 1 0 ok <T> ms",
            b"noise 3 bytes", b"unit 1 fc 3 bad CRC",
            b"unit 1 fc 3 start 400004 count 1 values 1003 ok <T> ms")
STATS = (b"\nMonitor statistics:\n  Unit   1: exchanges 5, exceptions 1, no answers 0, CRC errors "
         b"1, reply ms mean <T>, 99th <T>, max <T>\n  Unit   9: exchanges 1, exceptions 0, no "
         b"answers 1, CRC errors 0, no replies\n  Noise: 1 bursts, 3 bytes")
JSON = b"".join(b'{"time":"<T>","unit":%s,"function":%s,"start":%s,"count":%s,"result":"%s",'
                b'"response_ms":%s,"values":[%s]}\n' % row for row in (
                    (b"1", b"3", b'"400001"', b"2", b"ok", b"<T>", b"1000,1001"),
                    (b"1", b"16", b'"400011"', b"2", b"ok", b"<T>", b"7,8"),
                    (b"1", b"3", b'"400061"', b"1", b"exception 2", b"<T>", b""),
                    (b"9", b"3", b'"400001"', b"1", b"no answer", b"null", b""),
                    (b"1", b"1", b'"000001"', b"5", b"ok", b"<T>", b"1,0,0,1,0"),
                    (b"null", b"null", b"null", b"null", b"noise 3 bytes", b"null", b""),
                    (b"1", b"3", b"null", b"null", b"bad CRC", b"null", b""),
                    (b"1", b"3", b'"400004"', b"1", b"ok", b"<T>", b"1003")))
CSV = b"time,unit,function,start,count,result,response_ms,values\n"
CASES = {
    # Every kind of exchange in text, ended by -RQ (noise is no exchange), with the counts.
    "text_every_kind_and_counts": (["-RQ7", "-STON"], False, (
        ECHO + b"\nNUM_REQUESTS set to 7\nStripped ST from input: ON" + OPEN + ALL + STATS +
        b"\nExiting.\n", b"", 10)),
    # Records of every kind; Ctrl-C ends the run with status 5 and still counts.
    "json_records_ctrl_c": (["-OFJSON", "-ESON", "-STON"], True, (
        ECHO + b"\nStripped OF from input: JSON\nStripped ES from input: ON\nStripped ST from "
        b"input: ON" + OPEN + ALL + STATS + b"\nExiting.\n", JSON, 5)),
    # -ID and -FN select what is shown; -DT reads a write's values in the type; CSV records.
    "csv_filtered_typed": (["-ID1", "-FN16", "-DTINT32", "-OFCSV", "-TROFF", "-RQ1"], False, (
        b"\n", CSV + b"<T>,1,16,400011,2,ok,<T>,458760\n", 10)),
    # A request nobody answers is shown once -RT has passed, with nothing after it; -FNREAD
    # shows reads.
    "unanswered_after_rt": (["-RT50", "-RQ1", "-FNREAD", "-OFCSV", "-TROFF"], False, (
        b"\n", CSV + b"<T>,9,3,400001,1,no answer,,\n", 10), ["R,9,0,1"]),
    # -FNWRITE shows the four writes and no read.
    "writes_filtered": (["-FNWRITE", "-RQ4", "-OFCSV", "-TROFF"], False, (
        b"\n", CSV + b"<T>,1,5,000003,1,ok,<T>,1\n<T>,1,6,400021,1,ok,<T>,5\n"
               b"<T>,1,15,000005,3,ok,<T>,1 0 1\n<T>,1,16,400011,2,ok,<T>,7 8\n", 10),
        ["R,1,0,1", "B,1,2,1", "S,1,20,5", "M,1,4,1,0,1", "W,1,10,7,8"]),
    # A spoilt reply ends the exchange it answers.
    "spoilt_reply_ends_its_exchange": (["-RQ1", "-OFCSV", "-TROFF"], False, (
        b"\n", CSV + b"<T>,5,3,400001,1,bad CRC,,\n", 10),
        ["X,050300000001858e", "X,05030200070000"]),
    # Bits stay bits in any -DT.
    "inputs_untyped": (["-DTHEX", "-RQ1", "-OFCSV", "-TROFF"], False, (
        b"\n", CSV + b"<T>,1,2,100001,3,ok,<T>,0 1 0\n", 10), ["D,1,0,3"]),
}

failed = 0
for name, (args, stop, want, *steps) in CASES.items():
    if len(sys.argv) > 4 and sys.argv[4] not in name:
        continue
    got = run(args, stop, *steps)
    failed += got != want
    print(("ok   " if got == want else "FAIL ") + name)
    if got != want:
        print("  want %r\n  got  %r" % (want, got))
sys.exit(1 if failed else 0)
