// Linux side of the communications device calls the serial driver makes, on termios. The
// kernel's termios2 carries any baud rate; the device is kept non-blocking and every wait is
// a poll on a monotonic clock, since VTIME's 100 ms steps are far too coarse for a character
// gap of a few milliseconds. Errors are kept in Windows numbering, per thread.
#include "stack/drivers/platform.h"

#include "stack/drivers/interrupt.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace plat {

namespace {

thread_local uint32_t commError = 0;

// What the last failure was, in more detail than the error number keeps: its errno, the port
// as resolved, and a lock file's holder that refused the open.
struct OpenFailure {
    int err;
    long holder;
    char port[128];
    char lock[128];
};
thread_local OpenFailure lastFailure{};

static_assert(sizeof(NativeTermios) == 44, "kernel termios2 layout");
const unsigned long tcGets2 = _IOR('T', 0x2A, NativeTermios);
const unsigned long tcSets2 = _IOW('T', 0x2B, NativeTermios);
constexpr uint32_t baudOther = 0010000; // BOTHER: the rate is in ispeed/ospeed
constexpr uint32_t baudBits = 0010017;  // CBAUD
constexpr uint32_t inputBaudShift = 16; // IBSHIFT
constexpr uint32_t rawLocal = ICANON | ECHO | ECHONL | ISIG | IEXTEN;

uint32_t mapErrno(int e) {
    switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return errorFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return errorAccessDenied;
    case EBADF:
        return errorInvalidHandle;
    case EIO:
    case EPIPE:
        return errorNoData; // the device went away (adapter unplugged, pty peer closed)
    case EINTR:
        return errorOperationAborted;
    case EINVAL:
        return errorInvalidParameter;
    case ENOTTY:
        return errorInvalidFunction;
    default:
        return errorGenFailure;
    }
}

bool fail(int e) {
    commError = mapErrno(e);
    lastFailure.err = e;
    return false;
}

bool fail() {
    return fail(errno);
}

// A pty or a plain UART answers these for RS-485 and modem-line requests it lacks.
bool notSupported(int e) {
    return e == ENOTTY || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP;
}

int fdOf(Handle h) {
    return h >= 0 && h <= INT_MAX ? int(h) : -1;
}

bool validFd(int fd) {
    return fcntl(fd, F_GETFD) >= 0 || fail();
}

// Microseconds: a gap measured in whole milliseconds could end up to 1 ms early.
long long nowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A wait of us microseconds as poll's milliseconds, never shorter.
int pollMs(long long us) {
    const long long ms = (us + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

// The total time-out of a transfer in microseconds; a multiplier cannot overflow it.
long long totalUs(uint32_t multiplier, uint32_t size, uint32_t constant) {
    const uint64_t cap = uint64_t(1) << 40;
    const uint64_t perByte = uint64_t(multiplier) * size;
    return static_cast<long long>(((perByte < cap ? perByte : cap) + constant) * 1000u);
}

void sleepMs(long long ms) {
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// An earlier program may leave a port "almost raw": no echo or line editing, but CR mapped,
// the eighth bit stripped or FF doubled on input. Every byte of a frame must come through.
constexpr uint32_t rawInput = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC;

bool isRaw(const NativeTermios &t) {
    return !(t.lflag & rawLocal) && !(t.iflag & rawInput) && !(t.oflag & OPOST) &&
           (t.cflag & CLOCAL) && (t.cflag & CREAD) && t.cc[VMIN] == 0 && t.cc[VTIME] == 0;
}

void makeRaw(NativeTermios &t) {
    t.iflag &= ~uint32_t(rawInput | IXON);
    t.oflag &= ~uint32_t(OPOST);
    t.lflag &= ~rawLocal;
    t.cflag |= CLOCAL | CREAD;
    t.cc[VMIN] = 0;
    t.cc[VTIME] = 0;
}

uint8_t parityOf(const NativeTermios &t) {
    if (!(t.cflag & PARENB))
        return 0;
    if (t.cflag & CMSPAR)
        return (t.cflag & PARODD) ? 3 : 4;
    return (t.cflag & PARODD) ? 1 : 2;
}

uint8_t byteSizeOf(const NativeTermios &t) {
    return uint8_t(5 + ((t.cflag & CSIZE) >> 4));
}

uint8_t stopBitsOf(const NativeTermios &t) {
    if (!(t.cflag & CSTOPB))
        return 0;
    return byteSizeOf(t) == 5 ? 1 : 2; // two stop bits at five data bits are one and a half
}

// A standard rate keeps its classic code, which every tool reads; any other goes as BOTHER.
uint32_t speedCode(uint32_t baud) {
    static constexpr struct {
        uint32_t baud, code;
    } rates[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},
                 {150, B150},       {200, B200},       {300, B300},        {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const auto &r : rates)
        if (r.baud == baud)
            return r.code;
    return baudOther;
}

void setFlag(uint32_t &flags, uint32_t bit, bool on) {
    flags = on ? (flags | bit) : (flags & ~bit);
}

// Only fields that differ from the base are rewritten, so a block read from a device gives
// that device back exactly the termios it had.
bool encode(const Dcb &d, NativeTermios &t) {
    if (d.fBinary && !isRaw(t))
        makeRaw(t);
    if (d.byteSize != byteSizeOf(t)) {
        if (d.byteSize < 5 || d.byteSize > 8)
            return fail(EINVAL);
        t.cflag = (t.cflag & ~uint32_t(CSIZE)) | (uint32_t(d.byteSize - 5) << 4);
    }
    if (d.parity != parityOf(t)) {
        if (d.parity > 4)
            return fail(EINVAL);
        static constexpr uint32_t bits[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                            PARENB | CMSPAR};
        t.cflag = (t.cflag & ~uint32_t(PARENB | PARODD | CMSPAR)) | bits[d.parity];
    }
    if (d.stopBits != stopBitsOf(t)) {
        if (d.stopBits > 2)
            return fail(EINVAL);
        setFlag(t.cflag, CSTOPB, d.stopBits != 0);
    }
    if (d.baudRate != t.ospeed) {
        t.cflag = (t.cflag & ~(baudBits | (baudBits << inputBaudShift))) | speedCode(d.baudRate);
        t.ispeed = t.ospeed = d.baudRate;
    }
    setFlag(t.iflag, INPCK, d.fParity);
    setFlag(t.cflag, CRTSCTS, d.fOutxCtsFlow || d.fRtsControl == RtsControlHandshake);
    setFlag(t.iflag, IXON, d.fOutX);
    setFlag(t.iflag, IXOFF, d.fInX);
    t.cc[VSTART] = uint8_t(d.xonChar);
    t.cc[VSTOP] = uint8_t(d.xoffChar);
    return true;
}

int modemLines(int fd) {
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -1;
}

// A port without modem lines (a pty) refuses them with ENOTTY or EINVAL; any other error may
// pass (an adapter still settling at open), so the call is made once more before it counts:
// -1 none here, -2 failed twice.
int modemLinesAtOpen(int fd) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int lines = 0;
        if (ioctl(fd, TIOCMGET, &lines) == 0)
            return lines;
        if (notSupported(errno))
            return -1;
    }
    return -2;
}

bool setModemLine(int fd, int line, bool on) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0 || notSupported(errno))
            return true;
    return fail();
}

bool rs485On(const Dcb &d) {
    return d.native.hasRs485 && (d.native.rs485.flags & SER_RS485_ENABLED);
}

// Without RS-485 mode the driver toggles RTS itself; a device without modem lines (a pty)
// has no RTS to toggle.
bool softToggle(const Dcb &d) {
    return d.fRtsControl == RtsControlToggle && !rs485On(d) && d.native.hasModem;
}

// The kernel's RS-485 mode where the device has it, with the polarity and delays the board was
// configured with: only the enable flag is ours. A block read from the device is written back
// as it was. A UART whose driver answers the query but refuses the setting (ENOTTY), like most
// PC ports, is toggled by the writes instead.
bool setRs485(int fd, const Dcb &d) {
    serial_rs485 now{};
    if (ioctl(fd, TIOCGRS485, &now) != 0)
        return notSupported(errno) || fail();
    serial_rs485 r = d.native.hasRs485 ? d.native.rs485 : now;
    setFlag(r.flags, SER_RS485_ENABLED, d.fRtsControl == RtsControlToggle);
    if (std::memcmp(&r, &now, sizeof r) == 0)
        return true;
    return ioctl(fd, TIOCSRS485, &r) == 0 || notSupported(errno) || fail();
}

bool usbAdapter(const Dcb &d) {
    return d.native.usb;
}

// Whether the device open on fd hangs off USB. sysfs knows: the device's subsystem is
// usb-serial (FTDI, PL2303, CP210x) or usb (CDC-ACM), whatever port type its driver reports;
// several report a UART's. A device without a sysfs entry is a USB adapter's when its driver
// does not know its hardware's kind, as FTDI's and CDC-ACM's do not.
bool onUsb(int fd, const NativeLine &n) {
    char link[32], device[256], path[320], subsystem[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t d = readlink(link, device, sizeof device - 1);
    device[d > 0 ? d : 0] = '\0';
    const char *name = std::strrchr(device, '/');
    snprintf(path, sizeof path, "/sys/class/tty/%s/device/subsystem", name ? name + 1 : "");
    const ssize_t s = readlink(path, subsystem, sizeof subsystem - 1);
    if (s <= 0)
        return n.hasSerial && n.serial.type == PORT_UNKNOWN;
    subsystem[s] = '\0';
    const char *bus = std::strrchr(subsystem, '/');
    bus = bus ? bus + 1 : subsystem;
    return std::strcmp(bus, "usb-serial") == 0 || std::strcmp(bus, "usb") == 0;
}

// A USB adapter hands received bytes over in packets: every 16 ms by default (FTDI's latency
// timer), every millisecond with low latency, each a USB frame late and as late again when the
// host is busy. No gap shorter than that may end a read inside a reply.
uint32_t packetGapMs(const Dcb &d) {
    if (!usbAdapter(d))
        return 0;
    return (d.native.serial.flags & ASYNC_LOW_LATENCY) ? 3 : 25;
}

// Low latency is asked of a USB adapter's driver; a block read from the device is written back
// as it was. A driver that refuses keeps its packets, which the read gap allows for.
void setLowLatency(int fd, const Dcb &d) {
    serial_struct now{};
    if (ioctl(fd, TIOCGSERIAL, &now) != 0 || now.type != PORT_UNKNOWN)
        return;
    serial_struct want = now;
    if (d.native.hasSerial)
        want.flags = d.native.serial.flags;
    else
        want.flags |= ASYNC_LOW_LATENCY;
    if (want.flags != now.flags)
        (void)ioctl(fd, TIOCSSERIAL, &want);
}

// Sleeps until the monotonic time until (µs) or a stop request, whichever comes first.
void sleepUntil(long long until) {
    const long long us = until - nowUs();
    if (us <= 0)
        return;
    timespec ts{time_t(us / 1000000), long(us % 1000000) * 1000L};
    pollfd stop{interruptFd(), POLLIN, 0};
    (void)ppoll(&stop, 1, &ts, nullptr);
}

// Waits until the n bytes handed over at start have left the line, within the deadline, and
// answers how many had not. The host's queue (TIOCOUTQ) misses what a USB adapter holds and a
// UART's FIFO, so the wire is timed from the bytes: a USB adapter starts up to a USB frame
// (1 ms) after the write. The line status confirms it where the device reports one, but an
// adapter's may be a packet old, so with RTS toggled the wait ends before the slave may answer:
// 3.5 character times after the last stop bit, 1.75 ms above 19200 baud.
uint32_t waitSent(int fd, const Dcb &d, long long start, uint32_t n, bool toggle,
                  long long deadline) {
    const long long c = wireUs(d, 1), usbFrame = usbAdapter(d) ? 1000 : 0;
    const long long answerGap = answerGapUs(d);
    long long end = start + wireUs(d, n) + usbFrame;
    for (long long now = nowUs(); now < deadline && !interruptRequested(); now = nowUs()) {
        int queued = 0;
        if (now < end) {
            sleepUntil(std::min(end, deadline));
            continue;
        }
        if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
            end = now + wireUs(d, queued) + usbFrame; // still held back, by a handshake for one
            continue;
        }
        unsigned lsr = 0;
        const long long latest = end + (toggle ? answerGap / 2 : answerGap);
        if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT) || now >= latest)
            return 0;
        sleepUntil(std::min({now + c, latest, deadline}));
    }
    const long long left = (end - nowUs() + c - 1) / c;
    return uint32_t(std::clamp<long long>(left, 0, n));
}

// Only a serial device backed by hardware has a device link in sysfs; the console, the
// controlling terminal, ptmx and virtual consoles have none, and never answer to COM<name>.
bool hardwareBacked(const char *entry) {
    char path[300];
    struct stat st;
    return size_t(snprintf(path, sizeof path, "/sys/class/tty/%s/device", entry)) < sizeof path &&
           stat(path, &st) == 0;
}

// Finds the /dev entry whose name equals name without regard to case.
bool findDevice(const char *name, char *path, size_t size) {
    int dir = ::open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    alignas(8) char buffer[4096];
    bool found = false;
    long n;
    while (!found && (n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n && !found;) {
            const char *entry = buffer + at + 19; // d_name behind ino, off, reclen, type
            unsigned short reclen;
            std::memcpy(&reclen, buffer + at + 16, sizeof reclen);
            if (entry[0] != '.' && strcasecmp(entry, name) == 0 && hardwareBacked(entry) &&
                size_t(snprintf(path, size, "/dev/%s", entry)) < size)
                found = true;
            at += reclen;
        }
    }
    ::close(dir);
    return found;
}

int openDevice(const char *path) {
    return ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Where a port name leads, into path: a file in the working directory first, by the name as
// typed and then as given (a link to nothing is final: the adapter is unplugged, and COM<n>
// would reach another port), then COM<n>, then COM<name> in /dev. false with errno ENOENT.
bool resolve(const char *name, const char *typed, char *path, size_t size) {
    struct stat st;
    for (const char *file : {typed, name})
        if (file && file[0] && lstat(file, &st) == 0)
            return size_t(snprintf(path, size, "%s", file)) < size || (errno = ENOENT, false);
    errno = ENOENT;
    if (strncasecmp(name, "COM", 3) != 0)
        return false;
    const char *rest = name + 3;
    size_t digits = strspn(rest, "0123456789");
    if (digits > 0 && rest[digits] == '\0') {
        long n = digits <= 3 ? strtol(rest, nullptr, 10) : 0;
        if (n < 1 || n > 256 || rest[0] == '0')
            return false;
        snprintf(path, size, "/dev/ttyS%ld", n - 1);
        return true;
    }
    if (rest[0] && findDevice(rest, path, size))
        return true;
    errno = ENOENT;
    return false;
}

// The UUCP lock file of a device, as serial programs on Debian name it: /var/lock/LCK..ttyUSB0
// (the real name below /dev with '/' as '_'). false for a device outside /dev.
bool lockPathOf(const char *device, char *path, size_t size) {
    char name[256];
    if (std::strncmp(device, "/dev/", 5) != 0 ||
        size_t(snprintf(name, sizeof name, "%s", device + 5)) >= sizeof name)
        return false;
    for (char *c = name; *c; ++c)
        *c = *c == '/' ? '_' : *c;
    return size_t(snprintf(path, size, "/var/lock/LCK..%s", name)) < size;
}

// The lock file of the device open on fd.
bool lockPath(int fd, char *path, size_t size) {
    char link[32], device[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, device, sizeof device - 1);
    if (n <= 0)
        return false;
    device[n] = '\0';
    // A device that went away (an adapter pulled out, a pty hung up) still names its lock.
    if (n > 10 && std::strcmp(device + n - 10, " (deleted)") == 0)
        device[n - 10] = '\0';
    return lockPathOf(device, path, size);
}

// The PID a lock file names; 0 when it names none. Both the ASCII and the old binary form.
long lockHolder(const char *path) {
    char text[32] = {};
    const int f = ::open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0)
        return 0;
    const ssize_t n = ::read(f, text, sizeof text - 1);
    ::close(f);
    if (n == 4 && !std::memchr(text, '\n', 4)) {
        int32_t binary = 0;
        std::memcpy(&binary, text, 4);
        return binary;
    }
    return n > 0 ? strtol(text, nullptr, 10) : 0;
}

// A lock file made less than a second ago: its maker may not have written its PID yet.
bool justMade(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long long ageMs =
        (now.tv_sec - st.st_mtim.tv_sec) * 1000LL + (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
    return ageMs >= 0 && ageMs < 1000;
}

enum class Lock { None, Made, Ours, Held };

// Takes the lock file at path. A lock held by a live process refuses the open (Held, errno
// EBUSY, the holder kept for the reason); one without a PID that is less than a second old is
// still being made, and is read again until it names a process or has grown old, as the other
// serial programs on Debian do; a stale one is taken over. One this process holds stays as it
// is (Ours). Where locks cannot be made (no lock directory, no right to write there) the port
// is opened unlocked (None), as other programs do.
Lock takeLock(const char *path) {
    char pid[16];
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int f = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (f >= 0) {
            const int len = snprintf(pid, sizeof pid, "%10ld\n", long(getpid()));
            const bool written = ::write(f, pid, size_t(len)) == len;
            ::close(f);
            if (!written)
                return unlink(path), Lock::None;
            interruptRememberLock(path);
            return Lock::Made;
        }
        if (errno != EEXIST)
            return Lock::None;
        const long holder = lockHolder(path);
        if (holder == getpid())
            return Lock::Ours;
        if (holder > 0 && (kill(pid_t(holder), 0) == 0 || errno == EPERM)) {
            lastFailure.holder = holder;
            break;
        }
        if (holder <= 0 && justMade(path)) {
            sleepMs(100);
            continue;
        }
        unlink(path);
    }
    snprintf(lastFailure.lock, sizeof lastFailure.lock, "%.120s", path);
    errno = EBUSY;
    return Lock::Held;
}

void dropLockFile(const char *path) {
    if (lockHolder(path) == getpid())
        unlink(path), interruptRememberLock(nullptr);
}

void dropLock(int fd) {
    char path[300];
    if (lockPath(fd, path, sizeof path))
        dropLockFile(path);
}

} // namespace

uint32_t getLastError() {
    return commError;
}

Handle createFile(const char *portName, const char *typed) {
    lastFailure = OpenFailure{};
    if (!std::memchr(portName, 0, maxPath)) {
        commError = errorInvalidName;
        return invalidHandleValue;
    }
    char path[300], device[PATH_MAX], lock[300];
    const bool found = resolve(portName, typed, path, sizeof path);
    snprintf(lastFailure.port, sizeof lastFailure.port, "%.120s", found ? path : portName);
    // The lock is read by the device's real name before the device is touched: opening a port
    // raises its DTR and RTS, on another program's line as well.
    if (!found || !realpath(path, device)) {
        fail();
        return invalidHandleValue;
    }
    const Lock held = lockPathOf(device, lock, sizeof lock) ? takeLock(lock) : Lock::None;
    if (held == Lock::Held) {
        fail();
        return invalidHandleValue;
    }
    // Root ignores TIOCEXCL, so an advisory lock keeps out a second opener of ours as well, and
    // the lock file keeps out other serial programs, which know neither. Exclusive last, once
    // nothing here can fail any more.
    const int fd = openDevice(path);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY)) {
        const int e = errno;
        if (fd >= 0)
            ::close(fd);
        if (held == Lock::Made)
            dropLockFile(lock);
        fail(e);
        return invalidHandleValue;
    }
    return fd;
}

void openFailureText(uint32_t error, char *text, uint32_t size) {
    const OpenFailure &f = lastFailure;
    char reason[200];
    if (error == errorInvalidName)
        snprintf(reason, sizeof reason, "name too long");
    else if (f.holder > 0)
        snprintf(reason, sizeof reason, "in use by PID %ld (lock %s)", f.holder, f.lock);
    else if (f.lock[0])
        snprintf(reason, sizeof reason, "in use (lock %s names no process yet)", f.lock);
    else if (f.err == ENOENT || f.err == ENODEV || f.err == ENXIO)
        snprintf(reason, sizeof reason, "not found");
    else if (f.err == EACCES || f.err == EPERM)
        snprintf(reason, sizeof reason, "permission denied: is the user in group dialout?");
    else if (f.err == EBUSY)
        snprintf(reason, sizeof reason, "busy: another program has it open exclusively");
    else if (f.err == EWOULDBLOCK)
        snprintf(reason, sizeof reason, "in use by another program (it holds a lock on it)");
    else if (f.err == EIO || f.err == EPIPE)
        snprintf(reason, sizeof reason, "I/O error: the device does not answer");
    else if (f.err == ENOTTY)
        snprintf(reason, sizeof reason, "not a serial port");
    else
        snprintf(reason, sizeof reason, "%s", strerror(f.err));
    snprintf(text, size, "Port %s: %s", f.port[0] ? f.port : "?", reason);
}

bool closeHandle(Handle h) {
    int fd = fdOf(h);
    if (fd < 0)
        return fail(EBADF);
    dropLock(fd);
    (void)ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0 || errno == EINTR || fail();
}

bool setupComm(Handle h, uint32_t, uint32_t) {
    return validFd(fdOf(h));
}

bool getCommTimeouts(Handle h, CommTimeouts *) {
    return validFd(fdOf(h));
}

bool setCommTimeouts(Handle h, const CommTimeouts *) {
    return validFd(fdOf(h));
}

bool getCommState(Handle h, Dcb *d) {
    int fd = fdOf(h);
    NativeTermios t;
    if (ioctl(fd, tcGets2, &t) != 0)
        return fail();
    NativeLine &n = d->native;
    n.tio = t;
    n.hasTio = 1;
    n.hasRs485 = ioctl(fd, TIOCGRS485, &n.rs485) == 0;
    n.modemLines = modemLinesAtOpen(fd);
    n.hasModem = n.modemLines >= 0;
    n.modemFault = n.modemLines == -2;
    n.hasSerial = ioctl(fd, TIOCGSERIAL, &n.serial) == 0;
    n.usb = onUsb(fd, n);

    d->baudRate = t.ospeed;
    d->byteSize = byteSizeOf(t);
    d->parity = parityOf(t);
    d->stopBits = stopBitsOf(t);
    d->fBinary = isRaw(t);
    d->fParity = (t.iflag & INPCK) != 0;
    d->fOutxCtsFlow = (t.cflag & CRTSCTS) != 0;
    d->fOutX = (t.iflag & IXON) != 0;
    d->fInX = (t.iflag & IXOFF) != 0;
    d->xonChar = char(t.cc[VSTART]);
    d->xoffChar = char(t.cc[VSTOP]);
    // RTS and DTR modes are read from the lines where the lines tell; a software toggle shows
    // as RTS off between writes, and a handshake belongs to the kernel.
    const bool rtsOn = n.modemLines > 0 && (n.modemLines & TIOCM_RTS);
    if (rs485On(*d))
        d->fRtsControl = RtsControlToggle;
    else if (d->fRtsControl == RtsControlHandshake && (t.cflag & CRTSCTS))
        ;
    else if (d->fRtsControl == RtsControlToggle && !rtsOn)
        ;
    else if (n.hasModem)
        d->fRtsControl = rtsOn ? RtsControlEnable : RtsControlDisable;
    if (n.hasModem && !(n.modemLines & TIOCM_DTR))
        d->fDtrControl = DtrControlDisable;
    else if (n.hasModem && d->fDtrControl == DtrControlDisable)
        d->fDtrControl = DtrControlEnable;
    return true;
}

bool setCommState(Handle h, const Dcb *d) {
    int fd = fdOf(h);
    NativeTermios t;
    if (d->native.hasTio)
        t = d->native.tio;
    else if (ioctl(fd, tcGets2, &t) != 0)
        return fail();
    if (!encode(*d, t))
        return false;
    if (ioctl(fd, tcSets2, &t) != 0)
        return fail();
    if (!setRs485(fd, *d))
        return false;
    setLowLatency(fd, *d);
    if (!setModemLine(fd, TIOCM_DTR, d->fDtrControl != DtrControlDisable))
        return false;
    if (d->fRtsControl == RtsControlHandshake || rs485On(*d))
        return true;
    return setModemLine(fd, TIOCM_RTS, d->fRtsControl == RtsControlEnable);
}

bool purgeComm(Handle h, uint32_t flags) {
    int fd = fdOf(h);
    if (fd < 0)
        return fail(EBADF);
    if ((flags & purgeRxClear) && tcflush(fd, TCIFLUSH) != 0)
        return fail();
    if ((flags & purgeTxClear) && tcflush(fd, TCOFLUSH) != 0)
        return fail();
    return true;
}

void keepForForcedExit(Handle h, const Dcb *saved) {
    if (saved && saved->native.hasTio)
        interruptRememberDevice(h, tcSets2, &saved->native.tio, sizeof saved->native.tio);
    else
        interruptForgetDevice();
}

bool readFile(Handle h, const Dcb &line, const CommTimeouts &to, uint8_t *buffer, uint32_t size,
              uint32_t *count) {
    *count = 0;
    int fd = fdOf(h);
    if (fd < 0)
        return fail(EBADF);
    const bool hasTotal = to.readTotalTimeoutMultiplier || to.readTotalTimeoutConstant;
    const long long start = nowUs();
    // No byte can come before a USB adapter's next packet: no read gives up sooner.
    const long long total =
        std::max(totalUs(to.readTotalTimeoutMultiplier, size, to.readTotalTimeoutConstant),
                 1000LL * packetGapMs(line));
    const bool atOnce = to.readIntervalTimeout == 0xFFFFFFFFu && !hasTotal;
    const long long gapUs =
        1000LL * (to.readIntervalTimeout ? std::max(to.readIntervalTimeout, packetGapMs(line)) : 0);
    uint32_t got = 0;
    long long lastByte = 0;
    bool interrupted = false, hungUp = false;
    while (got < size) {
        ssize_t r = ::read(fd, buffer + got, size - got);
        if (r > 0) {
            // DSR sensitivity: bytes that arrive while DSR is off are dropped
            int lines = line.fDsrSensitivity ? modemLines(fd) : -1;
            if (lines < 0 || (lines & TIOCM_DSR))
                got += uint32_t(r);
            lastByte = nowUs();
            continue;
        }
        // In raw mode an empty tty reads 0, and so does one that hung up: poll tells which.
        // What came before the device went away is still handed up; the next read fails.
        if ((r < 0 && errno != EAGAIN && errno != EINTR) || hungUp) {
            *count = got;
            return got > 0 || (hungUp ? fail(EIO) : fail());
        }
        interrupted = r < 0 && errno == EINTR;
        if (interrupted || atOnce)
            break;
        // The total time-out runs from the start; the gap only once a byte has come.
        long long now = nowUs(), wait = 0;
        bool bounded = hasTotal;
        if (hasTotal)
            wait = start + total - now;
        if (got > 0 && gapUs) {
            long long gap = lastByte + gapUs - now;
            wait = bounded && wait < gap ? wait : gap;
            bounded = true;
        }
        if (bounded && wait <= 0)
            break;
        interrupted = interruptRequested();
        if (interrupted)
            break;
        pollfd p[2] = {{fd, POLLIN, 0}, {interruptFd(), POLLIN, 0}};
        int pr = ::poll(p, 2, bounded ? pollMs(wait) : -1);
        if (pr == 0)
            continue; // the next pass finds the time-out, or a wait left to do
        if (pr < 0 && errno != EINTR)
            return fail();
        if (p[0].revents & POLLNVAL)
            return fail(EBADF);
        hungUp = (p[0].revents & (POLLHUP | POLLERR)) != 0;
    }
    // A signal ends the wait: the run is being stopped.
    if (got == 0 && interrupted)
        return fail(EINTR);
    *count = got;
    return true;
}

bool writeFile(Handle h, const Dcb &line, const CommTimeouts &to, const uint8_t *bytes,
               uint32_t size, uint32_t *count) {
    *count = 0;
    int fd = fdOf(h);
    if (fd < 0)
        return fail(EBADF);
    const long long bound = writeBoundUs(line, to, size);
    const bool hasTotal = bound > 0;
    const long long deadline = nowUs() + bound;
    const bool toggle = softToggle(line);
    if (toggle && !setModemLine(fd, TIOCM_RTS, true))
        return false;
    uint32_t sent = 0;
    long long handedOver = 0; // when the first bytes were in the kernel's hands
    bool ok = true;
    while (sent < size && ok) {
        const long long wait = hasTotal ? deadline - nowUs() : INT_MAX * 1000LL;
        if (wait <= 0)
            break;
        if (interruptRequested()) {
            ok = fail(EINTR);
            break;
        }
        // DSR output handshake: hold the write while DSR is off
        int lines = line.fOutxDsrFlow ? modemLines(fd) : -1;
        if (lines >= 0 && !(lines & TIOCM_DSR)) {
            sleepMs(1);
            continue;
        }
        ssize_t r = ::write(fd, bytes + sent, size - sent);
        if (r > 0) {
            handedOver = sent ? handedOver : nowUs();
            sent += uint32_t(r);
            continue;
        }
        pollfd p[2] = {{fd, POLLOUT, 0}, {interruptFd(), POLLIN, 0}};
        if ((r < 0 && errno != EAGAIN && errno != EINTR) ||
            (::poll(p, 2, pollMs(wait)) < 0 && errno != EINTR))
            ok = fail();
    }
    // The reply time-out starts once the request has left, so the write lasts until then.
    const uint32_t unsent =
        line.native.hasModem && sent > 0
            ? waitSent(fd, line, handedOver, sent, toggle, hasTotal ? deadline : LLONG_MAX)
            : 0;
    if (toggle)
        setModemLine(fd, TIOCM_RTS, false);
    if (!ok)
        return false;
    *count = sent - unsent;
    return true;
}

} // namespace plat
