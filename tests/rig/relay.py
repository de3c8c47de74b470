#!/usr/bin/python3
"""A serial line between two pty pairs, for programs that need a wire: the program under test
opens DIR/COMA, its peer DIR/PEER. Each byte takes one character time of its sender's end (10
bits at the rate read with tcgetattr on that end's pty master); bytes sent while the two ends run
different rates arrive garbled. With PACKET_MS, bytes towards COMA are handed over at the end of
the period they arrive in, as a USB adapter's latency timer does. Prints READY once both links
exist; runs until killed.
Usage: relay.py DIR [PACKET_MS]"""
import os, select, sys, termios, time, tty


def char_time(fd):
    speed = termios.tcgetattr(fd)[5]
    rates = {getattr(termios, "B%d" % r): r for r in (1200, 2400, 4800, 9600, 19200, 38400,
                                                      57600, 115200)}
    return 10.0 / rates.get(speed, 9600)


def relay(directory, packet=0.0):
    ends = [os.openpty() for _ in range(2)]
    for (_, slave), name in zip(ends, ("COMA", "PEER")):
        tty.setraw(slave)
        os.symlink(os.ttyname(slave), os.path.join(directory, name))
    masters = [m for m, _ in ends]
    due = [[], []]  # per destination: (time, byte), in order
    free = [0.0, 0.0]  # when each sender's line is free again
    print("READY", flush=True)
    while True:
        now = time.monotonic()
        waits = [q[0][0] - now for q in due if q]
        readable = select.select(masters, [], [], max(0, min(waits)) if waits else None)[0]
        now = time.monotonic()
        for src, fd in enumerate(masters):
            if fd not in readable:
                continue
            try:
                data = os.read(fd, 4096)
            except OSError:  # nobody holds that end now; it may be opened again
                data = b""
                time.sleep(0.005)
            # What the line sends without a pause arrives whole once its last byte is through,
            # or in the packets its bytes fall in: a relay that is late itself splits nothing.
            dst, c = 1 - src, char_time(fd)
            garble = termios.tcgetattr(fd)[5] != termios.tcgetattr(masters[dst])[5]
            start, free[src] = max(free[src], now), max(free[src], now) + len(data) * c
            if not (packet and dst == 0):
                due[dst] = [(free[src], b) for _, b in due[dst]]
            for i, b in enumerate(data):
                at = ((start + (i + 1) * c) // packet + 1) * packet if packet and dst == 0 else \
                    free[src]
                due[dst].append((at, (b ^ 0x5A) if garble else b))
        for dst, queue in enumerate(due):
            ready = bytes(b for at, b in queue if at <= now)
            if ready:
                del queue[:len(ready)]
                os.write(masters[dst], ready)


if __name__ == "__main__":
    relay(sys.argv[1], float(sys.argv[2]) / 1000 if len(sys.argv) > 2 else 0.0)
