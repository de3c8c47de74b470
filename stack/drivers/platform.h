// The operating-system layer under the port drivers. The drivers are written against the
// communications device and Windows Sockets interfaces; this module supplies the handful of
// types, calls and error numbers they use. On Windows it forwards to the real calls; on Linux
// it stands in for them, so the driver logic keeps its results, its printed error numbers and
// its timing. Only this header and its halves know which system they run on. Nothing above
// stack/drivers/ includes it.
#pragma once

#include <cstdint>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <linux/serial.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

namespace plat {

// ---- Communications device interface ------------------------------------------------------

using Handle = intptr_t;
constexpr uint32_t maxPath = 260;
constexpr Handle invalidHandleValue = -1;

// System error numbers the serial driver maps.
constexpr uint32_t errorFileNotFound = 2;
constexpr uint32_t errorAccessDenied = 5;
constexpr uint32_t errorInvalidHandle = 6;
constexpr uint32_t errorNoData = 232;
constexpr uint32_t errorOperationAborted = 995;
// Numbers the Linux half produces beside those; the driver maps them to "any other failure".
constexpr uint32_t errorInvalidFunction = 1;
constexpr uint32_t errorGenFailure = 31;
constexpr uint32_t errorInvalidParameter = 87;
constexpr uint32_t errorInvalidName = 123;
// What Windows answers for a USB adapter pulled out under an open handle.
constexpr uint32_t errorBadCommand = 22;
constexpr uint32_t errorDeviceNotConnected = 1167;

constexpr uint32_t dcbLength = 28;

enum DtrControl : uint32_t { DtrControlDisable = 0, DtrControlEnable = 1, DtrControlHandshake = 2 };
enum RtsControl : uint32_t {
    RtsControlDisable = 0,
    RtsControlEnable = 1,
    RtsControlHandshake = 2,
    RtsControlToggle = 3
};

#ifdef _WIN32
// Windows keeps the line state in its own block, which the fields here mirror. A device that
// refuses to toggle RTS has it toggled by the writes.
struct NativeLine {
    uint8_t softToggle;
    uint8_t hasModem; // the device has modem lines and a wire (a pty under wine has neither)
    uint8_t modemFault;
};
#else
// What a Linux device holds beyond the device control block's fields: its own termios
// (kernel layout, so that any rate can be set), its modem lines and its RS-485 mode. A
// block read from a device carries them, so that writing it back restores the device
// exactly; a block that never was read has none, and the device's own state is the base.
struct NativeTermios {
    uint32_t iflag, oflag, cflag, lflag;
    uint8_t line;
    uint8_t cc[19];
    uint32_t ispeed, ospeed;
};

struct NativeLine {
    NativeTermios tio;
    serial_rs485 rs485;
    serial_struct serial; // the driver's own settings: its kind, low latency
    int32_t modemLines;
    uint8_t hasTio;
    uint8_t hasRs485;   // the device has the kernel's RS-485 mode
    uint8_t hasModem;   // the device has modem lines and a wire (a pty has neither)
    uint8_t hasSerial;  // the driver reports its settings (a pty does not)
    uint8_t usb;        // sysfs, or failing that the driver's unknown port type, says USB
    uint8_t modemFault; // the modem lines failed twice with an error other than "none here"
};
#endif

// The device control block: the line state of a serial port.
struct Dcb {
    uint32_t dcbLength;
    uint32_t baudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t xonLim;
    uint16_t xoffLim;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t stopBits;
    char xonChar;
    char xoffChar;
    char errorChar;
    char eofChar;
    char evtChar;
    NativeLine native;
};

// The time n characters take on the line in nanoseconds, exact at any rate: start, data, parity
// and stop bits (one and a half at five data bits). wireUs rounds it up.
inline long long wireNs(const Dcb &d, long long n) {
    const uint32_t halfBits = 2u + 2u * d.byteSize + (d.parity ? 2u : 0u) +
                              (d.stopBits == 0   ? 2u
                               : d.stopBits == 1 ? 3u
                                                 : 4u);
    return n * halfBits * 500000000LL / (d.baudRate ? d.baudRate : 1);
}

inline long long wireUs(const Dcb &d, long long n) {
    return (wireNs(d, n) + 999) / 1000;
}

// The longest a transmitter may keep RTS up after a frame's last stop bit: the slave may answer
// after 3.5 character times, and after 1.75 ms above 19200 baud.
inline long long answerGapUs(const Dcb &d) {
    return d.baudRate > 19200 ? 1750 : wireNs(d, 7) / 2000;
}

// Device time-outs in milliseconds.
struct CommTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

// What bounds a write of size bytes, in microseconds: its total time-out, but never less than
// the frame's own time on the line and a margin (a USB adapter's start, a busy host), so that
// no time-out cuts a long frame at a low rate; 0 for no bound.
constexpr long long writeMarginUs = 100000;
inline long long writeBoundUs(const Dcb &d, const CommTimeouts &t, uint32_t size) {
    const uint64_t perByte = uint64_t(t.writeTotalTimeoutMultiplier) * size;
    const uint64_t total = perByte < (uint64_t(1) << 40) ? perByte : uint64_t(1) << 40;
    if (total == 0 && t.writeTotalTimeoutConstant == 0)
        return 0;
    const long long ms = static_cast<long long>(total + t.writeTotalTimeoutConstant);
    const long long frame = wireUs(d, size) + writeMarginUs;
    return ms * 1000 > frame ? ms * 1000 : frame;
}

// The communications device calls; each answers false on failure and keeps the system error
// (Windows numbering) for getLastError. A name that fills maxPath without its end is refused
// with errorInvalidName. On Windows, COM<n> opens \\.\COM<n>, so that COM10 and above work,
// and any other name goes to the system as it stands. On Linux a port name resolves, in this
// order, to a file of that name in the working directory (a link such as COM5 ->
// /dev/ttyUSB0; a link to nothing is "not found" and nothing else is tried), to
// /dev/ttyS<n-1> for COM<n> with n from 1 to 256, or to the /dev entry that COM<name> names
// without regard to case, if it is a serial device backed by hardware; the file in the working
// directory is looked for by the name as typed first (typed, which Windows ignores), then by
// portName. The UUCP lock file (/var/lock/LCK..name, by the device's real name) is taken
// before the device is opened, so a port another program holds is never touched; the open is
// then exclusive and never waits on a modem line.
Handle createFile(const char *portName, const char *typed = nullptr);
// Why the last createFile, or a call on the device after it, failed with error: "Port NAME: "
// and the reason in words, with the fix where there is one, cut to size.
void openFailureText(uint32_t error, char *text, uint32_t size);
bool closeHandle(Handle h);
uint32_t getLastError();
bool setupComm(Handle h, uint32_t inQueue, uint32_t outQueue);
bool getCommState(Handle h, Dcb *dcb);
bool setCommState(Handle h, const Dcb *dcb);
// A Linux device keeps no time-outs: setting checks the handle, reading back leaves the
// record as it is, and reads and writes are handed the time-outs to apply. A Windows device
// keeps them, and reads and writes ignore what they are handed.
bool getCommTimeouts(Handle h, CommTimeouts *timeouts);
bool setCommTimeouts(Handle h, const CommTimeouts *timeouts);
constexpr uint32_t purgeTxClear = 0x4;
constexpr uint32_t purgeRxClear = 0x8;
bool purgeComm(Handle h, uint32_t flags);
// The line state to put back, in one call of the stop module, when a second stop request ends
// the process before the port is closed; null forgets it.
void keepForForcedExit(Handle h, const Dcb *saved);
// Reads end when size bytes have arrived, when more than the interval passes between two
// bytes, or at the total time-out; a signal ends the wait. A device that delivers received
// bytes in packets (a USB adapter) has the interval raised to its packet time, so that a reply
// is not split. Writes are done when the last bit has left the line (a pty has none), bounded
// by the write time-out; the count is what left. With RTS toggled and no RS-485 mode in the
// device, RTS is raised for the write and dropped once the last bit has left, before the
// slave may answer.
bool readFile(Handle h, const Dcb &line, const CommTimeouts &timeouts, uint8_t *buffer,
              uint32_t size, uint32_t *count);
bool writeFile(Handle h, const Dcb &line, const CommTimeouts &timeouts, const uint8_t *bytes,
               uint32_t size, uint32_t *count);

// ---- Sockets -----------------------------------------------------------------------------

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket invalidSocket = INVALID_SOCKET;
#else
using Socket = int;
constexpr Socket invalidSocket = -1;
#endif
constexpr int socketError = -1;

struct TimeVal {
    long tvSec;
    long tvUsec;
};

// Sockets error numbers as the socket driver reports and maps them.
constexpr long wsaEintr = 10004;
constexpr long wsaEbadf = 10009;
constexpr long wsaEacces = 10013;
constexpr long wsaEfault = 10014;
constexpr long wsaEinval = 10022;
constexpr long wsaEmfile = 10024;
constexpr long wsaEwouldblock = 10035;
constexpr long wsaEinprogress = 10036;
constexpr long wsaEalready = 10037;
constexpr long wsaEnotsock = 10038;
constexpr long wsaEmsgsize = 10040;
constexpr long wsaEafnosupport = 10047;
constexpr long wsaEaddrinuse = 10048;
constexpr long wsaEaddrnotavail = 10049;
constexpr long wsaEnetdown = 10050;
constexpr long wsaEnetunreach = 10051;
constexpr long wsaEnetreset = 10052;
constexpr long wsaEconnaborted = 10053;
constexpr long wsaEconnreset = 10054;
constexpr long wsaEnobufs = 10055;
constexpr long wsaEisconn = 10056;
constexpr long wsaEnotconn = 10057;
constexpr long wsaEshutdown = 10058;
constexpr long wsaEtimedout = 10060;
constexpr long wsaEconnrefused = 10061;
constexpr long wsaEhostdown = 10064;
constexpr long wsaEhostunreach = 10065;
constexpr long wsaSysnotready = 10091;
constexpr long wsaNotinitialised = 10093;
constexpr long wsaEdiscon = 10101;

// Start-up and clean-up of the sockets interface: Linux needs neither, so there they answer 0
// and do nothing; the driver still calls them in order.
int wsaStartup(uint16_t version);
int wsaCleanup();

// The sockets error number of the last failed call below, in Windows numbering.
long wsaGetLastError();

// Blocking TCP over IPv4. Each answers as its Windows Sockets namesake does: invalidSocket or
// socketError on failure, with the error number kept for wsaGetLastError. No call raises
// SIGPIPE, and sockets are not inherited by child processes.
Socket sockCreate();
int sockBind(Socket s, const sockaddr_in *address);
int sockListen(Socket s, int backlog);
Socket sockAccept(Socket s);
// Gives up after boundMs with a time-out (10060), as a Windows connect does after about 21 s.
constexpr long long connectBoundMs = 21000;
int sockConnect(Socket s, const sockaddr_in *address, long long boundMs = connectBoundMs);
int sockSetDontLinger(Socket s);
// A wait this short is over before anyone could watch it, so the socket driver writes standard
// output out only before a longer one. Windows waits whole: there a short select costs more
// than the write it would save.
#ifdef _WIN32
constexpr uint32_t briefWaitMs = 0;
#else
constexpr uint32_t briefWaitMs = 5;
#endif
// Waits until s is readable (or writable); 1 ready, 0 time-out, socketError on failure. The
// time-out is read, never rewritten. Accept, connect and this wait end at once, failing with
// 10004, when the run is being stopped.
int sockSelect(Socket s, bool forWrite, const TimeVal *timeout);
int sockRecv(Socket s, uint8_t *buffer, uint32_t size);
int sockSend(Socket s, const uint8_t *bytes, uint32_t size);
// Receive or send what can go at once, never waiting: the count, or socketError with 10035
// when nothing could.
int sockRecvNow(Socket s, uint8_t *buffer, uint32_t size);
int sockSendNow(Socket s, const uint8_t *bytes, uint32_t size);
// Takes a connection already waiting on the listening socket s, never waiting: invalidSocket
// with 10035 when none is. The connection is not inherited.
Socket sockAcceptNow(Socket s);
// Waits until one of the n sockets (at most sockWaitMost) is readable (writable where
// forWrite[i] is set; forWrite may be null), has failed or was closed, for at most timeoutMs
// (-1: no bound), and sets ready[i] for those. 1 something is ready, 0 time-out, socketError on
// failure (10004 once the run is being stopped).
constexpr uint32_t sockWaitMost = 64;
int sockWaitAny(const Socket *s, uint32_t n, uint8_t *ready, long long timeoutMs,
                const uint8_t *forWrite = nullptr);
// TCP keepalive on a connection: the first probe after idleS seconds without traffic, then one
// every intervalS seconds; the system drops a peer that answers none of them (Windows sends
// its own number of probes). 0, or socketError.
int sockSetKeepAlive(Socket s, uint32_t idleS, uint32_t intervalS);
int closeSocket(Socket s);
// Dotted IPv4 text to an address in network order; 0xFFFFFFFF when it does not parse.
uint32_t inetAddr(const char *text);
// A host name's first IPv4 address, in network order, as the system's resolver gives it (hosts
// file, then its name servers); false when it has none. Needs the sockets interface started.
// The one call both systems spell alike.
inline bool resolveIpv4(const char *host, uint32_t *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return false;
    *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

} // namespace plat
