// Socket driver: frames unchanged over one blocking TCP connection, and the listener of a
// server that serves many. Every sockets failure is announced on standard output with its
// error number and mapped to a common result code; reads and writes wait at most one time-out,
// which the control operation sets for both. A write is tried at once and waits only when it
// would block, and only a wait that lasts writes standard output first.
#include "stack/drivers/port.h"
#include "stack/trace/trace.h"

#include <cstdio>
#include <cstring>

namespace {

SocketState &state(PortChannel *channel) {
    return channel->driver.socket;
}

int32_t mapSockError(long n) {
    switch (n) {
    case plat::wsaEmfile:
    case plat::wsaEnobufs:
        return IoNoResources;
    case plat::wsaEaddrnotavail:
    case plat::wsaEnetunreach:
    case plat::wsaEhostdown:
    case plat::wsaEhostunreach:
        return IoNotFound;
    case plat::wsaEconnrefused:
        return IoAccessDenied;
    case plat::wsaEfault:
    case plat::wsaEnotsock:
        return IoNoOperation;
    case plat::wsaEtimedout:
        return IoTimeout;
    case plat::wsaEnetreset:
    case plat::wsaEconnaborted:
    case plat::wsaEconnreset:
    case plat::wsaEdiscon:
        return IoBroken;
    case plat::wsaEinval:
    case plat::wsaEnotconn:
    case plat::wsaEshutdown:
    case plat::wsaNotinitialised:
        return IoNotOpen;
    case plat::wsaEisconn:
        return IoAlreadyOpen;
    case plat::wsaEaddrinuse:
        return IoAddressInUse;
    case plat::wsaEnetdown:
    case plat::wsaSysnotready:
        return IoNetworkDown;
    default:
        return IoNetworkError;
    }
}

// Printed always, not through the trace switch, and without a line break.
int32_t errorReport(int32_t *lastError, long n) {
    *lastError = static_cast<int32_t>(n);
    traceReport("wsockerror = %ld", n);
    return mapSockError(n);
}

int32_t socketErrorReport(PortChannel *channel, long n) {
    return errorReport(&state(channel).lastSockError, n);
}

int32_t socketErrorReport(PortChannel *channel) {
    return socketErrorReport(channel, plat::wsaGetLastError());
}

// Lets a person watching the console see earlier output before a wait that can last.
void flushBeforeWait() {
    fflush(stdout);
}

plat::TimeVal timeVal(uint32_t ms) {
    return plat::TimeVal{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
}

// Calls wait(ms) for a brief while, then, if nothing came, flushes and waits the rest of ms.
template <typename Wait> int waitBriefThenFlush(uint32_t ms, Wait wait) {
    const uint32_t brief = ms < plat::briefWaitMs ? ms : plat::briefWaitMs;
    int r = brief > 0 ? wait(brief) : 0;
    if (r == 0 && (ms > brief || brief == 0)) {
        flushBeforeWait();
        r = wait(ms - brief);
    }
    return r;
}

void closeQuietly(plat::Socket *s) {
    if (*s != plat::invalidSocket) {
        (void)plat::closeSocket(*s);
        *s = plat::invalidSocket;
    }
}

int32_t socketOpen(PortChannel *channel) {
    SocketState &st = state(channel);
    st.lastSockError = 0;
    st.dataSocket = plat::invalidSocket;
    int32_t result = IoOk;
    if (st.isServer) {
        st.listenSocket = plat::sockCreate();
        if (st.listenSocket == plat::invalidSocket) {
            result = socketErrorReport(channel);
        } else if (plat::sockBind(st.listenSocket, &st.sockAddress) < 0 ||
                   plat::sockListen(st.listenSocket, 1) == plat::socketError) {
            result = socketErrorReport(channel);
        } else {
            flushBeforeWait();
            st.dataSocket = plat::sockAccept(st.listenSocket);
            if (st.dataSocket == plat::invalidSocket)
                result = socketErrorReport(channel);
        }
        if (result != IoOk)
            closeQuietly(&st.listenSocket);
    } else {
        st.dataSocket = plat::sockCreate();
        if (st.dataSocket == plat::invalidSocket) {
            result = socketErrorReport(channel);
        } else {
            flushBeforeWait();
            if (plat::sockConnect(st.dataSocket, &st.sockAddress) == plat::socketError) {
                result = socketErrorReport(channel);
                closeQuietly(&st.dataSocket);
            }
        }
    }
    if (result != IoOk) {
        st.connected = 0;
        return result;
    }
    (void)plat::sockSetDontLinger(st.dataSocket);
    st.connected = 1;
    return IoOk;
}

int32_t socketClose(PortChannel *channel) {
    SocketState &st = state(channel);
    if (!st.connected)
        return IoNotOpen;
    // a server drops only its listening socket here; the connection goes at release
    plat::Socket *s = st.isServer ? &st.listenSocket : &st.dataSocket;
    int32_t result = IoOk;
    if (plat::closeSocket(*s) == plat::socketError)
        result = socketErrorReport(channel);
    *s = plat::invalidSocket;
    st.connected = 0;
    return result;
}

uint32_t timeoutMs(const SocketState &st) {
    return static_cast<uint32_t>(st.sockTimeout.tvSec * 1000 + st.sockTimeout.tvUsec / 1000);
}

void setTimeoutMs(SocketState &st, uint32_t ms) {
    st.sockTimeout.tvSec = static_cast<long>(ms / 1000);
    st.sockTimeout.tvUsec = static_cast<long>((ms % 1000) * 1000);
}

int32_t socketControl(PortChannel *channel, int32_t request, ControlArg arg) {
    SocketState &st = state(channel);
    switch (request) {
    case GetReadTimeout:
    case GetWriteTimeout:
        *arg.out = timeoutMs(st);
        return IoOk;
    case SetReadTimeout:
    case SetWriteTimeout:
        setTimeoutMs(st, arg.value);
        return IoOk;
    case GetReportWord1:
        *arg.out = st.reportWord1;
        return IoOk;
    case GetReportWord2:
        *arg.out = st.reportWord2;
        return IoOk;
    case SetReportWord1:
    case SetReportWord2:
        return IoFailed;
    default:
        return IoUnknownRequest;
    }
}

// Waits for the data socket for the whole time-out: IoOk ready, else the result.
int32_t waitReady(PortChannel *channel, bool forWrite) {
    SocketState &st = state(channel);
    const int r = waitBriefThenFlush(timeoutMs(st), [&](uint32_t ms) {
        const plat::TimeVal timeout = timeVal(ms);
        return plat::sockSelect(st.dataSocket, forWrite, &timeout);
    });
    if (r == 0)
        return IoTimeout;
    if (r == plat::socketError)
        return socketErrorReport(channel);
    return IoOk;
}

int32_t socketRead(PortChannel *channel, uint8_t *buffer, uint32_t size, uint32_t *count) {
    *count = 0;
    SocketState &st = state(channel);
    if (!st.connected)
        return IoNotOpen;
    int n = 0;
    if (timeoutMs(st) == 0) {
        // A time-out of 0 takes what has come without a wait.
        n = plat::sockRecvNow(st.dataSocket, buffer, size);
        if (n < 0 && plat::wsaGetLastError() == plat::wsaEwouldblock)
            return IoTimeout;
    } else {
        const int32_t result = waitReady(channel, false);
        if (result != IoOk)
            return result;
        n = plat::sockRecv(st.dataSocket, buffer, size);
    }
    if (n == 0)
        return IoBroken;
    if (n < 0)
        return socketErrorReport(channel);
    *count = static_cast<uint32_t>(n);
    return IoOk;
}

// Sends what an earlier write kept: IoOk once nothing is kept, IoTimeout while some still is,
// else the report's result.
int32_t sendUnsent(PortChannel *channel) {
    SocketState &st = state(channel);
    const int n = plat::sockSendNow(st.dataSocket, st.unsent + st.unsentAt, st.unsentLength);
    if (n < 0) {
        if (plat::wsaGetLastError() == plat::wsaEwouldblock)
            return IoTimeout;
        st.unsentLength = 0;
        return socketErrorReport(channel);
    }
    st.unsentAt = uint16_t(st.unsentAt + n);
    st.unsentLength = uint16_t(st.unsentLength - n);
    return st.unsentLength == 0 ? IoOk : IoTimeout;
}

// Keeps bytes for a later write to send first: IoOk, or IoBroken when they cannot all be kept.
int32_t keepUnsent(SocketState &st, const uint8_t *bytes, uint32_t size) {
    if (size > sizeof st.unsent)
        return IoBroken;
    memcpy(st.unsent, bytes, size);
    st.unsentAt = 0;
    st.unsentLength = uint16_t(size);
    return IoOk;
}

int32_t socketWrite(PortChannel *channel, const uint8_t *buffer, uint32_t size, uint32_t *count) {
    *count = 0;
    SocketState &st = state(channel);
    if (!st.connected)
        return IoNotOpen;
    // Nothing new goes before the rest of the frame already begun.
    if (st.unsentLength > 0) {
        const int32_t result = sendUnsent(channel);
        if (result != IoOk)
            return result;
    }
    const bool neverWaits = timeoutMs(st) == 0;
    // Sent at once as a rule: the wait for room comes only when the send would block.
    uint32_t sent = 0;
    while (sent < size) {
        const int n = plat::sockSendNow(st.dataSocket, buffer + sent, size - sent);
        if (n < 0 && plat::wsaGetLastError() != plat::wsaEwouldblock)
            return socketErrorReport(channel);
        sent += n > 0 ? uint32_t(n) : 0u;
        if (sent < size && neverWaits) {
            const int32_t kept = keepUnsent(st, buffer + sent, size - sent);
            *count = kept == IoOk ? size : 0;
            return kept;
        }
        const int32_t result = sent < size ? waitReady(channel, true) : IoOk;
        // Part of a frame on the wire and no way to finish it: the stream is out of step.
        if (result != IoOk)
            return sent > 0 ? IoBroken : result;
    }
    *count = size;
    return IoOk;
}

// Leading decimal digits, as atoi takes them, cut to 16 bits.
uint16_t portNumber(const char *text) {
    uint32_t value = 0;
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    for (; *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (negative)
        value = 0u - value;
    return static_cast<uint16_t>(value);
}

// Starts the sockets interface for one user: 0, or the report's result with it ended again.
int32_t startup(int32_t *lastError) {
    const int started = plat::wsaStartup(0x0101);
    *lastError = started;
    if (started == 0)
        return IoOk;
    const int32_t result = errorReport(lastError, started);
    (void)plat::wsaCleanup();
    return result;
}

sockaddr_in socketAddress(const char *portNumberText, uint32_t address) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(portNumber(portNumberText));
    return a;
}

uint32_t listenAddress(const char *hostText) {
    return hostText ? plat::inetAddr(hostText) : htonl(INADDR_ANY);
}

int32_t install(PortChannel *channel, const char *portNumberText, uint32_t address) {
    SocketState &st = state(channel);
    // release closes whatever these hold, so a channel never opened must hold nothing
    st.dataSocket = plat::invalidSocket;
    st.unsentLength = 0;
    st.sockTimeout.tvSec = 0;
    st.sockTimeout.tvUsec = 200000;
    const int32_t started = startup(&st.lastSockError);
    if (started != IoOk)
        return started;
    st.sockAddress = socketAddress(portNumberText, address);
    channel->table = PortDriver{socketOpen, socketClose, socketControl, socketRead, socketWrite};
    return IoOk;
}

} // namespace

int32_t socketInstallClient(PortChannel *channel, const char *portNumberText,
                            const char *hostText) {
    SocketState &st = state(channel);
    st.connected = 0;
    st.listenSocket = plat::invalidSocket;
    st.isServer = 0;
    st.lastSockError = 0;
    const uint32_t address = plat::inetAddr(hostText);
    return install(channel, portNumberText, address);
}

int32_t socketInstallServer(PortChannel *channel, const char *portNumberText,
                            const char *hostText) {
    SocketState &st = state(channel);
    st.connected = 0;
    st.listenSocket = plat::invalidSocket;
    st.isServer = 1;
    st.lastSockError = 0;
    return install(channel, portNumberText, listenAddress(hostText));
}

int32_t socketResolve(const char *hostText, char *dotted, uint32_t size) {
    int32_t ignored = 0;
    if (startup(&ignored) != IoOk)
        return IoNotFound;
    uint32_t address = 0;
    const bool found = plat::resolveIpv4(hostText, &address);
    (void)plat::wsaCleanup();
    if (!found)
        return IoNotFound;
    const uint32_t a = ntohl(address);
    snprintf(dotted, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255u, (a >> 8) & 255u, a & 255u);
    return IoOk;
}

void socketOpenFailure(const PortChannel *channel, const char *portText, char *text,
                       uint32_t size) {
    const SocketState &st = channel->driver.socket;
    const char *host = portText[0] == '@' ? portText + 1 : portText;
    const char *port = portText + strlen(portText) + 1;
    const char *what = nullptr;
    // A server's words name its port, or the address when that is what is wrong.
    const char *named = host;
    if (!st.isServer) {
        switch (st.lastSockError) {
        case plat::wsaEconnrefused:
            what = "connection refused by %s/%s";
            break;
        case plat::wsaEtimedout:
            what = "no answer from %s/%s";
            break;
        case plat::wsaEnetunreach:
        case plat::wsaEhostunreach:
        case plat::wsaEhostdown:
            what = "%s/%s cannot be reached";
            break;
        }
    } else {
        switch (st.lastSockError) {
        case plat::wsaEaddrinuse:
            what = "port %s is in use";
            break;
        case plat::wsaEacces:
            what = "port %s needs rights this user lacks";
            break;
        case plat::wsaEaddrnotavail:
            what = "address %s is not one of this machine's";
            break;
        }
        if (st.lastSockError != plat::wsaEaddrnotavail)
            named = port;
    }
    text[0] = '\0';
    if (what)
        snprintf(text, size, what, named, port);
}

int32_t socketRelease(PortChannel *channel) {
    SocketState &st = state(channel);
    (void)socketClose(channel);
    (void)plat::wsaCleanup();
    // no system clean-up here releases sockets, so whatever the channel holds goes now
    closeQuietly(&st.dataSocket);
    closeQuietly(&st.listenSocket);
    return IoOk;
}

int32_t socketListen(SocketListener *listener, const char *portNumberText, const char *hostText) {
    listener->socket = plat::invalidSocket;
    const int32_t started = startup(&listener->lastSockError);
    if (started != IoOk)
        return started;
    const sockaddr_in address = socketAddress(portNumberText, listenAddress(hostText));
    // Masters that connect at once wait in the queue for their turn, not refused.
    constexpr int backlog = 16;
    listener->socket = plat::sockCreate();
    if (listener->socket != plat::invalidSocket &&
        plat::sockBind(listener->socket, &address) == 0 &&
        plat::sockListen(listener->socket, backlog) == 0)
        return IoOk;
    const int32_t result = errorReport(&listener->lastSockError, plat::wsaGetLastError());
    closeQuietly(&listener->socket);
    (void)plat::wsaCleanup();
    return result;
}

int32_t socketAccept(SocketListener *listener, PortChannel *channel) {
    const plat::Socket accepted = plat::sockAcceptNow(listener->socket);
    if (accepted == plat::invalidSocket) {
        const long error = plat::wsaGetLastError();
        return error == plat::wsaEwouldblock ? IoTimeout
                                             : errorReport(&listener->lastSockError, error);
    }
    SocketState &st = state(channel);
    // As a client's connection, which its channel closes and releases.
    if (install(channel, "0", htonl(INADDR_ANY)) != IoOk) {
        (void)plat::closeSocket(accepted);
        return IoNoResources;
    }
    st.isServer = 0;
    st.listenSocket = plat::invalidSocket;
    st.dataSocket = accepted;
    st.reportWord1 = st.reportWord2 = 0;
    (void)plat::sockSetDontLinger(accepted);
    // A peer gone without a word (a cable pulled, a host powered off) is found and dropped.
    constexpr uint32_t keepAliveIdleS = 20, keepAliveIntervalS = 5;
    (void)plat::sockSetKeepAlive(accepted, keepAliveIdleS, keepAliveIntervalS);
    st.connected = 1;
    return IoOk;
}

int32_t socketWaitAny(SocketListener *listener, PortChannel *const *channels, uint32_t n,
                      uint32_t timeoutMs, uint8_t *ready) {
    plat::Socket sockets[plat::sockWaitMost];
    uint32_t entry[plat::sockWaitMost];
    uint8_t got[plat::sockWaitMost] = {};
    uint8_t forWrite[plat::sockWaitMost] = {};
    if (n >= plat::sockWaitMost)
        return IoNoResources;
    uint32_t m = 0;
    ready[0] = 0;
    sockets[m] = listener->socket, entry[m++] = 0;
    for (uint32_t i = 0; i < n; ++i) {
        ready[1 + i] = 0;
        const SocketState &st = state(channels[i]);
        // One that keeps part of a frame waits for room to send it, and reads nothing before.
        if (st.connected)
            forWrite[m] = st.unsentLength > 0, sockets[m] = st.dataSocket, entry[m++] = 1 + i;
    }
    const int r = waitBriefThenFlush(
        timeoutMs, [&](uint32_t ms) { return plat::sockWaitAny(sockets, m, got, ms, forWrite); });
    if (r == 0)
        return IoTimeout;
    if (r == plat::socketError) {
        const long error = plat::wsaGetLastError();
        return error == plat::wsaEintr ? IoAborted : errorReport(&listener->lastSockError, error);
    }
    for (uint32_t j = 0; j < m; ++j)
        ready[entry[j]] = got[j];
    return IoOk;
}

void socketUnlisten(SocketListener *listener) {
    if (listener->socket != plat::invalidSocket) {
        (void)plat::closeSocket(listener->socket);
        listener->socket = plat::invalidSocket;
        (void)plat::wsaCleanup();
    }
}
