// Simulated serial hardware, preloaded into the program under test: the serial ioctls on one
// pty (KV_RIG_DEV) are answered as a kind of device does (KV_RIG_KIND, see kinds), the modem
// lines kept, and the wire timed exactly from each write at the pty's rate, a USB adapter
// sending up to a USB frame (1 ms) late. KV_RIG_LOG gets, in microseconds of the monotonic
// clock: "open T", "rts LEVEL T", "tx N CALLED START END", "read T" (the first after a write),
// "rs485 FLAGS BEFORE AFTER", "serial FLAGS" and at exit "end RS485FLAGS SERIALFLAGS
// EXCLUSIVE". Faults: KV_RIG_FAIL "REQUEST:ERRNO:N ..." fails an ioctl with ERRNO on its next
// N calls, or on every other call from the first (N 0); KV_RIG_GONE N pulls the device out at
// the Nth write: reads and writes fail with EIO, and so does the next open (ENOENT).
// KV_RIG_HOSTS "NAME=ADDRESS ..." is the only name service a process asks: every other name is
// not found, and no query leaves the machine.
#include <algorithm>
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <netdb.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// uart: a 16550 whose driver answers the RS-485 query but refuses the setting, with an exact
// line status and rates that divide a 115200 baud base; ftdi: a line status a 16 ms latency
// period old, low latency on request; acm: no line status, low latency ignored; rs485: a kernel
// RS-485 port configured active-low (RTS low while sending), delays 2 and 3 ms; pl2303: a USB
// adapter whose driver reports a UART's type and no line status, told by its sysfs subsystem.
struct Kind {
    const char *name;
    int type, usbUs;
    bool lsr, lsrCached, lowLatency, rs485Get, rs485Set, usbSerial;
} constexpr kinds[] = {{"uart", PORT_16550A, 0, true, false, false, true, false, false},
                       {"ftdi", PORT_UNKNOWN, 1000, true, true, true, false, false, false},
                       {"acm", PORT_UNKNOWN, 1000, false, false, false, false, false, false},
                       {"rs485", PORT_16550A, 0, true, false, false, true, true, false},
                       {"pl2303", PORT_16550A, 1000, false, false, false, false, false, true}};

struct Rig {
    const Kind *kind = nullptr;
    dev_t rdev = 0;
    FILE *log = nullptr;
    int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_DTR; // DTR high, as a tty's open leaves it
    serial_rs485 rs485{};
    serial_struct serial{};
    long long wireEnd = 0;
    bool readSeen = true;
    bool exclusive = false; // a port left exclusive refuses every opener but root
    char sysfs[300] = "";   // the device's subsystem link in sysfs
    long faults[8][3]{};    // request, errno, count
    int goneAt = 0, writes = 0;
    bool gone = false;
} rig;

long long now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

template <typename F> F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int realIoctl(int fd, unsigned long request, void *arg) {
    static auto f = real<int (*)(int, unsigned long, ...)>("ioctl");
    return f(fd, request, arg);
}

__attribute__((constructor)) void start() {
    const char *kind = getenv("KV_RIG_KIND"), *dev = getenv("KV_RIG_DEV");
    struct stat st;
    for (const Kind &k : kinds)
        rig.kind = kind && strcmp(kind, k.name) == 0 ? &k : rig.kind;
    if (!rig.kind || !dev || stat(dev, &st) != 0)
        return;
    rig.rdev = st.st_rdev;
    rig.log = fopen(getenv("KV_RIG_LOG"), "a");
    setvbuf(rig.log, nullptr, _IOLBF, 0);
    rig.serial.type = rig.kind->type;
    rig.serial.baud_base = 115200;
    if (rig.kind->rs485Set)
        rig.rs485 = serial_rs485{SER_RS485_RTS_AFTER_SEND, 2, 3, {}};
    snprintf(rig.sysfs, sizeof rig.sysfs, "/sys/class/tty/%s/device/subsystem",
             strrchr(dev, '/') + 1);
    const char *faults = getenv("KV_RIG_FAIL");
    for (int i = 0, n = 0; faults && i < 8 &&
                           sscanf(faults, " %ld:%ld:%ld%n", &rig.faults[i][0], &rig.faults[i][1],
                                  &rig.faults[i][2], &n) == 3;
         ++i, faults += n)
        ;
    rig.goneAt = atoi(getenv("KV_RIG_GONE") ? getenv("KV_RIG_GONE") : "0");
}

__attribute__((destructor)) void finish() {
    if (rig.log)
        fprintf(rig.log, "end %u %d %d\n", rig.rs485.flags, rig.serial.flags, rig.exclusive);
}

bool ours(int fd) {
    struct stat st;
    return rig.log && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rig.rdev;
}

// The time of n characters of 10 bits at the pty's rate, in microseconds rounded up.
long long wireUs(int fd, long long n) {
    termios2 t{};
    realIoctl(fd, TCGETS2, &t);
    return t.c_ospeed ? (n * 10000000000LL / t.c_ospeed + 999) / 1000 : n * 1000;
}

int failWith(int error) {
    errno = error;
    return -1;
}

// An injected fault for this request, if one is due: errno set. Alternating faults keep their
// turn in the sign of count.
bool faulted(unsigned long request) {
    for (long *f : rig.faults)
        if (f[0] == long(request) && f[2] <= 0 && (f[2] = ~f[2]) < 0)
            return errno = int(f[1]), true;
        else if (f[0] == long(request) && f[2] > 0)
            return f[0] = --f[2] ? f[0] : 0, errno = int(f[1]), true;
    return false;
}

int rigIoctl(int fd, unsigned long request, void *arg) {
    const Kind &k = *rig.kind;
    const long long t = now();
    if (faulted(request))
        return -1;
    switch (request) {
    case TIOCMGET:
        return *static_cast<int *>(arg) = rig.lines, 0;
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: {
        const int was = rig.lines, v = *static_cast<int *>(arg);
        rig.lines = request == TIOCMBIS ? was | v : request == TIOCMBIC ? was & ~v : v;
        if ((was ^ rig.lines) & TIOCM_RTS)
            fprintf(rig.log, "rts %d %lld\n", (rig.lines & TIOCM_RTS) != 0, t);
        if ((was ^ rig.lines) & TIOCM_DTR)
            fprintf(rig.log, "dtr %d %lld\n", (rig.lines & TIOCM_DTR) != 0, t);
        return 0;
    }
    case TIOCGRS485:
        return k.rs485Get ? (*static_cast<serial_rs485 *>(arg) = rig.rs485, 0) : failWith(ENOTTY);
    case TIOCSRS485:
        if (!k.rs485Set)
            return failWith(ENOTTY);
        rig.rs485 = *static_cast<serial_rs485 *>(arg);
        fprintf(rig.log, "rs485 %u %u %u\n", rig.rs485.flags, rig.rs485.delay_rts_before_send,
                rig.rs485.delay_rts_after_send);
        return 0;
    case TIOCSERGETLSR: // sampled once a latency period by an adapter
        if (!k.lsr)
            return failWith(ENOTTY);
        return *static_cast<unsigned *>(arg) =
                   (k.lsrCached ? t - t % 16000 : t) >= rig.wireEnd ? TIOCSER_TEMT : 0,
                                     0;
    case TIOCOUTQ: // the bytes not yet in a UART's FIFO; an adapter takes all at once
        return *static_cast<int *>(arg) = int(std::max(
                   0LL, k.usbUs ? 0 : (rig.wireEnd - t) / std::max(1LL, wireUs(fd, 1)) - 16)),
                                0;
    case TIOCEXCL:
    case TIOCNXCL:
        rig.exclusive = request == TIOCEXCL;
        return realIoctl(fd, request, arg);
    case TIOCGSERIAL:
        return *static_cast<serial_struct *>(arg) = rig.serial, 0;
    case TIOCSSERIAL:
        if (k.lowLatency)
            rig.serial.flags = static_cast<serial_struct *>(arg)->flags;
        fprintf(rig.log, "serial %d\n", rig.serial.flags);
        return 0;
    case TCSETS2: {
        // A UART runs its clock's divisors of the baud base, whatever was asked.
        auto *tio = static_cast<termios2 *>(arg);
        if (k.type == PORT_16550A && tio->c_ospeed) {
            const unsigned divisor = unsigned(std::lround(115200.0 / tio->c_ospeed));
            tio->c_ospeed = tio->c_ispeed = 115200 / (divisor ? divisor : 1);
        }
        return realIoctl(fd, request, arg);
    }
    default:
        return realIoctl(fd, request, arg);
    }
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return ours(fd) ? rigIoctl(fd, request, arg) : realIoctl(fd, request, arg);
}

// An open of the device is logged, and refused while it is pulled out.
extern "C" int open(const char *path, int flags, ...) {
    static auto f = real<int (*)(const char *, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(args, mode_t) : 0;
    va_end(args);
    struct stat st;
    if (rig.log && stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rig.rdev) {
        fprintf(rig.log, "open %lld\n", now());
        if (rig.gone)
            return rig.gone = false, failWith(ENOENT);
    }
    return f(path, flags, mode);
}

extern "C" ssize_t readlink(const char *path, char *buffer, size_t size) {
    static auto f = real<ssize_t (*)(const char *, char *, size_t)>("readlink");
    if (!rig.log || !rig.kind->usbSerial || strcmp(path, rig.sysfs) != 0)
        return f(path, buffer, size);
    return ssize_t(snprintf(buffer, size, "../../../bus/usb-serial"));
}

extern "C" ssize_t write(int fd, const void *bytes, size_t n) {
    static auto f = real<ssize_t (*)(int, const void *, size_t)>("write");
    const long long called = now();
    if (ours(fd) && (rig.gone || ++rig.writes == rig.goneAt)) {
        rig.gone = true;
        return failWith(EIO);
    }
    const ssize_t r = f(fd, bytes, n);
    if (r > 0 && ours(fd)) {
        const long long from = std::max(called + rig.kind->usbUs, rig.wireEnd);
        rig.wireEnd = from + wireUs(fd, r);
        rig.readSeen = false;
        fprintf(rig.log, "tx %zd %lld %lld %lld\n", r, called, from, rig.wireEnd);
    }
    return r;
}

extern "C" ssize_t read(int fd, void *buffer, size_t n) {
    static auto f = real<ssize_t (*)(int, void *, size_t)>("read");
    if (ours(fd) && rig.gone)
        return failWith(EIO);
    if (!rig.readSeen && ours(fd)) {
        rig.readSeen = true;
        fprintf(rig.log, "read %lld\n", now());
    }
    return f(fd, buffer, n);
}

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **found) {
    static auto f =
        real<int (*)(const char *, const char *, const addrinfo *, addrinfo **)>("getaddrinfo");
    const char *hosts = getenv("KV_RIG_HOSTS");
    if (!hosts || !node)
        return f(node, service, hints, found);
    // Names know no case.
    const size_t n = strlen(node);
    for (const char *at = hosts; at; at = strchr(at, ' '), at = at ? at + 1 : at) {
        if (strncasecmp(at, node, n) == 0 && at[n] == '=') {
            char address[16]{};
            sscanf(at + n + 1, "%15[0-9.]", address);
            addrinfo numeric = hints ? *hints : addrinfo{};
            numeric.ai_flags |= AI_NUMERICHOST;
            return f(address, service, &numeric, found);
        }
    }
    return EAI_NONAME;
}
