// The serial driver on a real pty the test makes; the device is reached through a link in the
// working directory, as a user reaches /dev/ttyUSB0 through COM5. A row's outcome is its
// results and values in order.
#include "stack/drivers/interrupt.h"
#include "stack/drivers/port.h"
#include "tests/support/support.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// A pty whose device side is linked as COMT in a fresh working directory.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char dir[32] = "/tmp/korvalen-serial-XXXXXX";
    char *home = getcwd(nullptr, 0);
    Pty() {
        grantpt(master), unlockpt(master);
        (void)!chdir(mkdtemp(dir)), (void)!symlink(ptsname(master), "COMT");
    }
    ~Pty() { close(master), unlink("COMT"), (void)!chdir(home), rmdir(dir), free(home); }
};

// The UUCP lock file of the pty's device.
std::string lockOf(const Pty &pty) {
    std::string lock = "/var/lock/LCK.." + std::string(ptsname(pty.master) + 5);
    return lock[lock.rfind('/')] = '_', lock;
}

// Runs op on a channel installed on COMT, not yet opened; releases it afterwards.
std::function<std::string()> serial(std::function<void(PortChannel &, Pty &, Steps &)> op) {
    return [=] {
        Pty pty;
        PortChannel ch{};
        Steps steps;
        serialInstall(&ch, "COMT");
        op(ch, pty, steps);
        serialRelease(&ch);
        return std::string(steps);
    };
}

uint32_t get(PortChannel &ch, int32_t request) {
    uint32_t v = 0;
    return ioControl(&ch, request, &v), v;
}

// SetLineSettings with this word: its result, data bits, RTS, DTR, CTS, DSR sensitivity and
// DSR handshake, then GetLineSettings over a word whose high half and RTS field are set.
std::function<std::string()> word(uint32_t w) {
    return serial([=](PortChannel &ch, Pty &, Steps &s) {
        // Bits above the parity check are the caller's, and kept.
        uint32_t in = w, back = 0xFFFF0000u | (w & line::rtsMask);
        const plat::Dcb &d = ch.driver.serial.lineState;
        s << ioControl(&ch, SetLineSettings, &in) << d.byteSize << d.fRtsControl << d.fDtrControl
          << d.fOutxCtsFlow << d.fDsrSensitivity << d.fOutxDsrFlow
          << ioControl(&ch, GetLineSettings, &back) << back;
    });
}

// Opens COMT, then a second channel on this name: both results and both errors.
std::function<std::string()> openBeside(std::string name) {
    return serial([=](PortChannel &held, Pty &, Steps &s) {
        PortChannel other{};
        serialInstall(&other, name.c_str());
        s << ioOpen(&held) << ioOpen(&other) << held.driver.serial.lastError
          << other.driver.serial.lastError;
        serialRelease(&other);
    });
}

// A read of up to size bytes with these time-outs while the peer writes (delay ms, bytes;
// "close" hangs up): result and count, then the close and whether the lock file is gone.
std::function<std::string()> reading(std::vector<std::pair<int, std::string>> chunks,
                                     uint32_t charMs, uint32_t totalMs, uint32_t size = 16) {
    return serial([=](PortChannel &ch, Pty &pty, Steps &s) {
        ioControl(&ch, SetCharTimeout, charMs), ioControl(&ch, SetReadTimeout, totalMs);
        const std::string lock = lockOf(pty);
        s << ioOpen(&ch);
        std::thread peer([&] {
            for (const auto &[delay, bytes] : chunks) {
                usleep(useconds_t(delay) * 1000);
                if (bytes == "close")
                    close(std::exchange(pty.master, -1));
                else
                    (void)!write(pty.master, bytes.data(), bytes.size());
            }
        });
        uint8_t buffer[16];
        uint32_t count = 99;
        s << ioRead(&ch, buffer, size, &count) << count;
        peer.join();
        s << ioClose(&ch) << (access(lock.c_str(), F_OK) != 0);
    });
}

// In a child with a private /dev and /sys/class/tty, so that no test reaches a port of this
// machine: ttyKV0, ttyS4 and ttyS255 are serial devices backed by hardware (a sysfs device
// link), tty is not; all lead to the pty. COM5 in the working directory links to nothing. The
// open results of COMttykv0, COMtty and COM5, of COM5 once that link is gone, and of COM256.
// What run answers in a child of this process.
std::string inChild(const std::function<std::string()> &run) {
    int out[2];
    (void)!pipe(out);
    if (fork() == 0) {
        const std::string text = run();
        (void)!write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    char text[160] = {};
    (void)!read(out[0], text, sizeof text - 1);
    close(out[0]), wait(nullptr);
    return text;
}

void privateDev(PortChannel &, Pty &pty, Steps &s) {
    s.text += inChild([&] {
        char dev[] = "/tmp/korvalen-dev-XXXXXX";
        const std::string dir = mkdtemp(dev), node = dir + "/kvpty";
        bool ok = unshare(CLONE_NEWNS) == 0 &&
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("tmpfs", dev, "tmpfs", 0, nullptr) == 0 &&
                  mount("tmpfs", "/sys/class/tty", "tmpfs", 0, nullptr) == 0 &&
                  close(open(node.c_str(), O_CREAT | O_WRONLY, 0600)) == 0 &&
                  mount(ptsname(pty.master), node.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                  symlink("/nonexistent", "COM5") == 0;
        for (std::string entry : {"ttyKV0", "ttyS4", "ttyS255", "tty"}) {
            const std::string sys = "/sys/class/tty/" + entry;
            ok = ok && symlink("kvpty", (dir + "/" + entry).c_str()) == 0 &&
                 (entry == "tty" ||
                  (mkdir(sys.c_str(), 0755) == 0 && symlink("/", (sys + "/device").c_str()) == 0));
        }
        std::string results = ok && mount(dev, "/dev", nullptr, MS_MOVE, nullptr) == 0 ? "" : "no ";
        for (const char *name : {"COMttykv0", "COMtty", "COM5", "COM5", "COM256"}) {
            const plat::Handle h = plat::createFile(name);
            results += (h == plat::invalidHandleValue ? str(plat::getLastError()) : "0") + " ";
            if (h != plat::invalidHandleValue)
                plat::closeHandle(h);
            else if (name[3] == '5')
                unlink("COM5");
        }
        return results;
    });
}

// A device an earlier program left "almost raw" (no line editing, but CR mapped, the eighth
// bit stripped and FF marked): every byte of 64 0d ff 0a is read as sent, and the device gets
// those flags back at close.
void almostRaw(PortChannel &ch, Pty &pty, Steps &s) {
    termios t{};
    tcgetattr(pty.master, &t);
    t.c_lflag = t.c_oflag = t.c_cc[VMIN] = t.c_cc[VTIME] = 0;
    t.c_iflag = ICRNL | ISTRIP | PARMRK | BRKINT, t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(pty.master, TCSANOW, &t);
    ioControl(&ch, SetReadTimeout, uint32_t(500)), ioControl(&ch, SetCharTimeout, uint32_t(50));
    uint8_t b[8] = {};
    uint32_t n = 0;
    s << ioOpen(&ch) << write(pty.master, "\x64\x0d\xff\x0a", 4) << ioRead(&ch, b, 8, &n)
      << hex(b, n).c_str() << ioClose(&ch);
    tcgetattr(pty.master, &t);
    s << (t.c_iflag == (ICRNL | ISTRIP | PARMRK | BRKINT));
}

// A UUCP lock file naming a live process (init), in text or in the old binary form, refuses the
// open; one naming a process that is gone is taken over, names this one while the port is open,
// and goes at close. One without a PID is held while it is young (its maker writes PID 1
// meanwhile: refused, and why), and taken over once it is two seconds old.
void lockFiles(PortChannel &ch, Pty &pty, Steps &s) {
    const std::string lock = lockOf(pty);
    const auto holder = [&](long pid, bool binary = false) {
        FILE *f = fopen(lock.c_str(), "w");
        const int32_t word = int32_t(pid);
        return f && (binary ? fwrite(&word, 4, 1, f) : fprintf(f, "%10ld\n", pid)) && !fclose(f);
    };
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    s << holder(1) << ioOpen(&ch) << ch.driver.serial.lastError << holder(1, true) << ioOpen(&ch)
      << holder(gone) << ioOpen(&ch);
    FILE *f = fopen(lock.c_str(), "r");
    long pid = 0;
    s << (f && fscanf(f, "%ld", &pid) == 1 && pid == getpid()) << ioClose(&ch)
      << (access(lock.c_str(), F_OK) == 0);
    f ? fclose(f) : 0, close(open(lock.c_str(), O_CREAT | O_WRONLY, 0644));
    std::thread maker([&] { usleep(200000), holder(1); });
    s << ioOpen(&ch)
      << (serialOpenFailure(&ch) == "Port COMT: in use by PID 1 (lock " + lock + ")");
    maker.join();
    const timeval old[2] = {{time(nullptr) - 2, 0}, {time(nullptr) - 2, 0}};
    (void)!truncate(lock.c_str(), 0), utimes(lock.c_str(), old);
    s << ioOpen(&ch) << ioClose(&ch);
    unlink(lock.c_str());
}

// As nobody, who may not open the pty (root's): why the open failed.
void asNobody(PortChannel &ch, Pty &pty, Steps &s) {
    chmod(pty.dir, 0755);
    s.text +=
        inChild([&] { return setuid(65534) ? "" : str(ioOpen(&ch)) + serialOpenFailure(&ch); });
}

// In a child holding the port at 19200: a second stop signal while the first is handled ends
// it at once, after one call has given the device its own rate back and its lock file is gone.
void forcedExit(PortChannel &ch, Pty &pty, Steps &s) {
    termios before{}, after{};
    tcgetattr(pty.master, &before);
    const pid_t child = fork();
    if (child == 0) {
        ioControl(&ch, SetBaud, uint32_t(19200)), ioOpen(&ch), interruptCatchSignals();
        raise(SIGINT), raise(SIGTERM);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    tcgetattr(pty.master, &after);
    s << WIFSIGNALED(status) << WTERMSIG(status) << (cfgetospeed(&after) == cfgetospeed(&before))
      << (access(lockOf(pty).c_str(), F_OK) != 0);
}

// In a child: a stop requested before a 3 s wait begins ends that wait at once, since what
// wakes the waits stays set.
std::string stopBeforeTheWait() {
    const pid_t child = fork();
    if (child == 0) {
        interruptInit(), interruptRequest();
        const auto start = std::chrono::steady_clock::now();
        interruptWaitMs(3000);
        _exit(std::chrono::steady_clock::now() - start < std::chrono::seconds(1) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return str(WIFEXITED(status)) + " " + str(WEXITSTATUS(status));
}

// Baud 12345, two stop bits and the parity check set while closed: open, the rate and format
// read back (8 data bits, no parity, two stop bits: 0x80; the check), whether the device has two
// stop bits, INPCK and no XON/XOFF, 19200 applied at once; after close, whether the device is as
// before.
void givenBack(PortChannel &ch, Pty &pty, Steps &s) {
    termios before{}, during{}, after{};
    tcgetattr(pty.master, &before);
    uint32_t w = line::openDefault | 2u << line::stopBitsShift | line::parityCheckMask;
    ioControl(&ch, SetLineSettings, &w), ioControl(&ch, SetBaud, uint32_t(12345));
    s << ioOpen(&ch) << get(ch, GetBaud) << (get(ch, GetLineSettings) & 0x100FF);
    tcgetattr(pty.master, &during);
    s << ((during.c_cflag & CSTOPB) != 0) << ((during.c_iflag & INPCK) != 0)
      << ((during.c_iflag & (IXON | IXOFF)) == 0) << ioControl(&ch, SetBaud, uint32_t(19200))
      << get(ch, GetBaud) << ioClose(&ch);
    tcgetattr(pty.master, &after);
    s << (after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
          cfgetospeed(&after) == cfgetospeed(&before));
}

// A write reaches the peer whole; input waiting before FlushRead is gone after it.
void writeAndFlush(PortChannel &ch, Pty &pty, Steps &s) {
    ioControl(&ch, SetWriteTimeout, uint32_t(500)), ioControl(&ch, SetReadTimeout, uint32_t(50));
    uint8_t buffer[8] = {};
    uint32_t count = 99;
    s << ioOpen(&ch) << write(pty.master, "stale", 5);
    usleep(20000);
    s << ioControl(&ch, FlushRead, uint32_t(0)) << ioRead(&ch, buffer, 8, &count)
      << ioWrite(&ch, reinterpret_cast<const uint8_t *>("frame"), 5, &count) << count
      << read(pty.master, buffer, sizeof buffer) << std::string(buffer, buffer + 5).c_str();
}

INSTANTIATE_TEST_SUITE_P(
    SerialControl, Rows,
    testing::Values(
        Row{"InstallDefaultsQueuesKeepTheirSizeAndUnknownRequestsAnswerFour",
            serial([](PortChannel &ch, Pty &, Steps &s) {
                uint32_t w = 0; // CTS handshake, DTR on; RTS handshake leaves its field
                s << get(ch, GetBaud) << get(ch, GetWriteTimeout) << get(ch, GetCharTimeout)
                  << ioControl(&ch, GetLineSettings, &w) << w
                  << ioControl(&ch, SetInQueueSize, uint32_t(4096)) << get(ch, GetInQueueSize)
                  << get(ch, GetOutQueueSize);
                for (int32_t request : {0, 1, 6, 255, 268, 512, -1})
                    s << ioControl(&ch, request, uint32_t(0));
            }),
            "9600 4294967295 100 0 16640 15 1024 1024 4 4 4 4 4 4 4 "},
        Row{"OpenDefaultIs8N1RtsToggleDtrOff", word(0x2000), "0 8 3 0 0 0 0 0 4294844416 "},
        Row{"DataBitsFieldOneIsSeven", word(0x0001), "0 7 0 0 0 0 0 0 4294836225 "},
        Row{"FieldThreeKeepsRtsDtrAndDsr", word(0xFC00), "0 8 2 1 0 0 0 0 4294864896 "},
        Row{"CtsHandshakeAndDsrSensitivity", word(0x0500), "0 8 0 0 1 1 0 0 4294837504 "},
        Row{"DsrHandshakeReadsTwo", word(0x0800), "0 8 0 0 0 0 1 0 4294838272 "}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    SerialOpen, Rows,
    testing::Values(Row{"ClosedPortRefusesIoThenOpenTwiceIsAlreadyOpen",
                        serial([](PortChannel &ch, Pty &, Steps &s) {
                            uint8_t b[4];
                            uint32_t n = 55;
                            s << ioRead(&ch, b, 4, &n) << ioWrite(&ch, b, 4, &n) << n
                              << ioControl(&ch, FlushRead, uint32_t(0)) << ioClose(&ch)
                              << ioOpen(&ch) << ioOpen(&ch) << ioClose(&ch) << ioClose(&ch)
                              << serialRelease(&ch);
                        }),
                        "9 9 55 5 9 0 10 0 9 0 "},
                    Row{"ComZeroIsNotFound", openBeside("COM0"), "0 2 0 2 "},
                    Row{"Com257IsNotFound", openBeside("COM257"), "0 2 0 2 "},
                    Row{"NamesReachOnlyHardwareAndALinkToNothingIsFinal", serial(privateDev),
                        "0 2 2 0 0 "},
                    Row{"NameFillingTheFieldIsRefused",
                        openBeside(std::string(serialPortNameSize, 'C')), "0 15 0 123 "},
                    Row{"SettingsApplyAtOpenAndTheDeviceIsGivenBack", serial(givenBack),
                        "0 12345 65664 1 1 1 0 19200 0 1 "},
                    Row{"WriteReachesThePeerAndFlushDiscardsInput", serial(writeAndFlush),
                        "0 5 0 6 0 5 5 frame "},
                    Row{"AlmostRawDeviceReadsEveryByteAndGetsItsFlagsBack", serial(almostRaw),
                        "0 4 0  64 0d ff 0a 0 1 "},
                    Row{"LockOfALiveProcessRefusesAStaleOneIsTakenOver", serial(lockFiles),
                        "1 3 5 1 3 1 0 1 0 0 3 1 0 0 "},
                    Row{"NoRightsSayPermissionDenied", serial(asNobody),
                        "3Port COMT: permission denied: is the user in group dialout?"},
                    Row{"SecondStopGivesTheDeviceBackAndEnds", serial(forcedExit), "1 15 1 1 "},
                    Row{"StopBeforeAWaitEndsItAtOnce", stopBeforeTheWait, "1 0"}),
    rowName);

// Margins are wide: gaps of 0 or 10 ms against 100 ms, and 400 ms against 50 ms.
INSTANTIATE_TEST_SUITE_P(
    SerialRead, Rows,
    testing::Values(
        Row{"ByteCountEndsTheRead", reading({{0, "abcdefgh"}}, 100, 2000, 7), "0 0 7 0 1 "},
        Row{"ShortGapIsOneRead", reading({{0, "abc"}, {10, "defg"}}, 100, 2000), "0 0 7 0 1 "},
        Row{"LongGapSplitsTheRead", reading({{0, "abc"}, {400, "defg"}}, 50, 2000), "0 0 3 0 1 "},
        Row{"SilenceTimesOut", reading({}, 5, 100), "0 6 0 0 1 "},
        Row{"VanishedPeerIsBroken", reading({{20, "close"}}, 5, 2000), "0 7 0 7 1 "},
        Row{"BytesBeforeAHangUpAreKept", reading({{0, "abc"}, {30, "close"}}, 100, 2000),
            "0 0 3 7 1 "}),
    rowName);

} // namespace
