"""What the end-to-end scripts need to run a Windows build: KORVALEN_EMULATOR (wine's loader)
runs its .exe files; their standard output is in text mode, so every line ends in CR LF, which
lf_lines() checks and undoes; a COM port is a link in the wine prefix's dosdevices folder."""
import os, re

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
