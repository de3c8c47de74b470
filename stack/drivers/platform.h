// The operating-system layer under the port drivers. The drivers are written against the
// communications device and Windows Sockets interfaces; on Linux this module supplies the
// handful of types, calls and error numbers they use, so the driver logic keeps its results,
// its printed error numbers and its timing. Nothing above stack/drivers/ includes it.
#pragma once

#include <cstdint>
#include <netinet/in.h>

namespace plat {

// ---- Communications device interface ------------------------------------------------------

using Handle = intptr_t;
constexpr Handle invalidHandleValue = -1;

// System error numbers the serial driver maps.
constexpr uint32_t errorFileNotFound = 2;
constexpr uint32_t errorAccessDenied = 5;
constexpr uint32_t errorInvalidHandle = 6;
constexpr uint32_t errorNoData = 232;
constexpr uint32_t errorOperationAborted = 995;

constexpr uint32_t dcbLength = 28;

enum DtrControl : uint32_t { DtrControlDisable = 0, DtrControlEnable = 1, DtrControlHandshake = 2 };
enum RtsControl : uint32_t {
    RtsControlDisable = 0,
    RtsControlEnable = 1,
    RtsControlHandshake = 2,
    RtsControlToggle = 3
};

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
};

// Device time-outs in milliseconds.
struct CommTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

// ---- Sockets -----------------------------------------------------------------------------

using Socket = int;
constexpr Socket invalidSocket = -1;
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

// Start-up and clean-up of the sockets interface: Linux needs neither, so they answer 0 and
// do nothing; the driver still calls them in order.
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
int sockConnect(Socket s, const sockaddr_in *address);
int sockSetDontLinger(Socket s);
// Waits until s is readable (or writable); 1 ready, 0 time-out, socketError on failure. The
// time-out is read, never rewritten.
int sockSelect(Socket s, bool forWrite, const TimeVal *timeout);
int sockRecv(Socket s, uint8_t *buffer, uint32_t size);
int sockSend(Socket s, const uint8_t *bytes, uint32_t size);
int closeSocket(Socket s);
// Dotted IPv4 text to an address in network order; 0xFFFFFFFF when it does not parse.
uint32_t inetAddr(const char *text);

} // namespace plat
