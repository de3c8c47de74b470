// Windows half of the sockets calls the socket driver makes: the Windows Sockets calls
// themselves, with their own error numbers. Every wait is a select in slices of at most
// stopSliceMs, so a stop request (the console control handler) ends it soon, with 10004.
#include "stack/drivers/platform.h"

#include "stack/drivers/interrupt.h"

#include <mstcpip.h>

#include <algorithm>
#include <chrono>

namespace plat {

namespace {

constexpr long long stopSliceMs = 50;

int fail(long error) {
    WSASetLastError(int(error));
    return socketError;
}

// The monotonic clock the stack's clock reads, finer than the tick count's 15.6 ms steps.
long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until the n sockets are readable (writable where forWrite[i] is set), or have failed, for
// at most timeoutMs (-1: no bound), sets ready[i] for those, in select calls of at most
// stopSliceMs so that a stop ends it soon. 1 ready, 0 time-out, socketError on failure or once
// the run is being stopped.
int waitSliced(const Socket *s, uint32_t n, uint8_t *ready, const uint8_t *forWrite,
               long long timeoutMs) {
    const long long deadline = nowMs() + std::max(timeoutMs, 0LL);
    for (bool first = true;; first = false) {
        if (interruptRequested())
            return fail(wsaEintr);
        const long long left = timeoutMs < 0 ? stopSliceMs : std::max(deadline - nowMs(), 0LL);
        if (left == 0 && !first)
            return 0;
        const long long slice = std::min(left, stopSliceMs);
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (uint32_t i = 0; i < n; ++i) {
            FD_SET(s[i], forWrite && forWrite[i] ? &writable : &readable);
            FD_SET(s[i], &failed);
        }
        timeval tv{long(slice / 1000), long(slice % 1000 * 1000)};
        // Windows' select refuses three empty sets; a wait on nothing is a sleep.
        const int r = n == 0 ? (interruptWaitMs(uint32_t(slice)), 0)
                             : ::select(0, &readable, &writable, &failed, &tv);
        if (r < 0)
            return socketError;
        for (uint32_t i = 0; i < n; ++i)
            ready[i] = r > 0 && (FD_ISSET(s[i], &readable) || FD_ISSET(s[i], &writable) ||
                                 FD_ISSET(s[i], &failed));
        if (r > 0)
            return 1;
    }
}

int waitFor(Socket s, bool forWrite, long long timeoutMs) {
    uint8_t ready = 0;
    const uint8_t write = forWrite ? 1 : 0;
    return waitSliced(&s, 1, &ready, &write, timeoutMs);
}

} // namespace

int wsaStartup(uint16_t version) {
    WSADATA data;
    return WSAStartup(version, &data);
}
int wsaCleanup() {
    return WSACleanup() == 0 ? 0 : socketError;
}
long wsaGetLastError() {
    return WSAGetLastError();
}

// Every socket is left non-blocking for its whole life, and so is every connection accepted
// from one: each wait is a select of its own, and a receive or send that must not wait is one
// call, where a select before it would cost as much again.
Socket sockCreate() {
    Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
    u_long on = 1;
    // not inherited by a child process
    if (s != invalidSocket) {
        SetHandleInformation(HANDLE(s), HANDLE_FLAG_INHERIT, 0);
        ::ioctlsocket(s, FIONBIO, &on);
    }
    return s;
}

int sockBind(Socket s, const sockaddr_in *address) {
    return ::bind(s, reinterpret_cast<const sockaddr *>(address), sizeof *address);
}

int sockListen(Socket s, int backlog) {
    return ::listen(s, backlog);
}

Socket sockAccept(Socket s) {
    for (;;) {
        if (waitFor(s, false, -1) == socketError)
            return invalidSocket;
        // A connection reset before the accept means waiting again.
        Socket a = ::accept(s, nullptr, nullptr);
        const long error = WSAGetLastError();
        if (a != invalidSocket) {
            SetHandleInformation(HANDLE(a), HANDLE_FLAG_INHERIT, 0);
            return a;
        }
        if (error != wsaEwouldblock && error != wsaEconnreset)
            return fail(error), invalidSocket;
    }
}

int sockConnect(Socket s, const sockaddr_in *address, long long boundMs) {
    int r = ::connect(s, reinterpret_cast<const sockaddr *>(address), sizeof *address);
    long error = r == 0 ? 0 : WSAGetLastError();
    if (error == wsaEwouldblock) {
        const int ready = waitFor(s, true, boundMs);
        error = ready == 0 ? wsaEtimedout : ready < 0 ? WSAGetLastError() : 0;
        int soError = 0;
        int len = sizeof soError;
        if (ready > 0 &&
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soError), &len) == 0)
            error = soError;
    }
    return error == 0 ? 0 : fail(error);
}

int sockSetDontLinger(Socket s) {
    linger l{0, 10};
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
}

int sockSelect(Socket s, bool forWrite, const TimeVal *timeout) {
    long long totalMs = static_cast<long long>(timeout->tvSec) * 1000 + timeout->tvUsec / 1000;
    if (timeout->tvUsec % 1000)
        ++totalMs; // never wait less than asked
    return waitFor(s, forWrite, std::max(totalMs, 0LL));
}

int sockRecv(Socket s, uint8_t *buffer, uint32_t size) {
    return ::recv(s, reinterpret_cast<char *>(buffer), int(size), 0);
}

int sockSend(Socket s, const uint8_t *bytes, uint32_t size) {
    return ::send(s, reinterpret_cast<const char *>(bytes), int(size), 0);
}

// These end once the run is being stopped, as a wait would.
int sockRecvNow(Socket s, uint8_t *buffer, uint32_t size) {
    return interruptRequested() ? fail(wsaEintr) : sockRecv(s, buffer, size);
}

int sockSendNow(Socket s, const uint8_t *bytes, uint32_t size) {
    return interruptRequested() ? fail(wsaEintr) : sockSend(s, bytes, size);
}

Socket sockAcceptNow(Socket s) {
    Socket a = ::accept(s, nullptr, nullptr);
    if (a == invalidSocket)
        return invalidSocket;
    // It would inherit the listener's handle flags.
    SetHandleInformation(HANDLE(a), HANDLE_FLAG_INHERIT, 0);
    return a;
}

int sockWaitAny(const Socket *s, uint32_t n, uint8_t *ready, long long timeoutMs,
                const uint8_t *forWrite) {
    if (n > sockWaitMost || n > FD_SETSIZE)
        return fail(wsaEinval);
    return waitSliced(s, n, ready, forWrite, timeoutMs);
}

int sockSetKeepAlive(Socket s, uint32_t idleS, uint32_t intervalS) {
    tcp_keepalive k{1, idleS * 1000, intervalS * 1000};
    DWORD got = 0;
    return ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &got, nullptr, nullptr);
}

int closeSocket(Socket s) {
    return ::closesocket(s);
}

uint32_t inetAddr(const char *text) {
    return ::inet_addr(text);
}

} // namespace plat
