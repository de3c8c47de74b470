"""What the end-to-end scripts need to run a Windows build: KORVALEN_EMULATOR (wine's loader)
runs its .exe files; their standard output is in text mode, so every line ends in CR LF, which
lf_lines() checks and undoes; a COM port is a link in the wine prefix's dosdevices folder."""
import os, re, signal

RUN = os.environ.get("KORVALEN_EMULATOR", "").split()


def lf_lines(out):
    """The output as the program wrote it: a Windows build's with CR LF undone."""
    if not RUN:
        return out
    assert not re.search(b"(?<!\r)\n", out), "a line without CR LF: %r" % out[-3000:]
    return out.replace(b"\r\n", b"\n")


def link_port(port, device):
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", port.lower())
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(device, link)


class EmulatorFault(Exception):
    """Wine, not the program, ended a run: on a loaded machine its server has killed (SIGKILL) a
    program slow to finish exiting, and ended one with status 1 before its first line."""


def emulator_fault(status, output):
    return bool(RUN) and (status == -signal.SIGKILL or status == 1 and not output)


def once_more(name, row):
    """row(), run once more, in full, where it met an EmulatorFault."""
    try:
        return row()
    except EmulatorFault as fault:
        print("RERUN %s: %s" % (name, fault), flush=True)
        return row()
