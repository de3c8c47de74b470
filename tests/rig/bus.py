#!/usr/bin/python3
"""A bus of pty pairs: what any end writes, every other end hears at once. Links DIR/NAME to
each end's pty; prints READY, then on a line on stdin (or its end) prints how many bytes each end
wrote, as "WROTE NAME=n ...", and exits.
Usage: bus.py DIR NAME..."""
import os, select, sys, time, tty

names, ends = sys.argv[2:], [os.openpty() for _ in sys.argv[2:]]
for (_, slave), name in zip(ends, names):
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), os.path.join(sys.argv[1], name))
masters, wrote = [m for m, _ in ends], [0] * len(ends)
print("READY", flush=True)
while 0 not in (ready := select.select(masters + [0], [], [])[0]):
    for src, fd in enumerate(masters):
        try:
            data = os.read(fd, 4096) if fd in ready else b""
        except OSError:  # nobody holds that end now
            data = b""
            time.sleep(0.005)
        wrote[src] += len(data)
        for dst in masters:
            if dst != fd and data:
                os.write(dst, data)
print("WROTE " + " ".join("%s=%d" % nw for nw in zip(names, wrote)), flush=True)
