// Linux side of the sockets calls the socket driver makes. Each failing call keeps its errno,
// translated to the Windows Sockets number, in a per-thread slot that wsaGetLastError answers,
// so the driver prints and maps the same numbers on every platform. Waits use poll, which has
// no descriptor-number limit, and every blocking call is resumed after a signal with the time
// that is left, unless the run is being stopped.
#include "stack/drivers/platform.h"

#include "stack/drivers/interrupt.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {

namespace {

thread_local long lastError = 0;

long mapErrno(int e) {
    switch (e) {
    case EINTR:
        return wsaEintr;
    case EACCES:
    case EPERM:
        return wsaEacces;
    case EFAULT:
        return wsaEfault;
    case EINVAL:
        return wsaEinval;
    case EMFILE:
    case ENFILE:
        return wsaEmfile;
    case EAGAIN:
        return wsaEwouldblock;
    case EINPROGRESS:
        return wsaEinprogress;
    case EALREADY:
        return wsaEalready;
    case EBADF:
    case ENOTSOCK:
        return wsaEnotsock;
    case EMSGSIZE:
        return wsaEmsgsize;
    case EAFNOSUPPORT:
        return wsaEafnosupport;
    case EADDRINUSE:
        return wsaEaddrinuse;
    case EADDRNOTAVAIL:
        return wsaEaddrnotavail;
    case ENETDOWN:
        return wsaEnetdown;
    case ENETUNREACH:
        return wsaEnetunreach;
    case ENETRESET:
        return wsaEnetreset;
    case ECONNABORTED:
        return wsaEconnaborted;
    case ECONNRESET:
    case EPIPE:
        return wsaEconnreset;
    case ENOBUFS:
    case ENOMEM:
        return wsaEnobufs;
    case EISCONN:
        return wsaEisconn;
    case ENOTCONN:
        return wsaEnotconn;
    case ESHUTDOWN:
        return wsaEshutdown;
    case ETIMEDOUT:
        return wsaEtimedout;
    case ECONNREFUSED:
        return wsaEconnrefused;
    case EHOSTDOWN:
        return wsaEhostdown;
    case EHOSTUNREACH:
        return wsaEhostunreach;
    default:
        // an unlisted errno keeps a number outside the mapped set
        return e;
    }
}

int fail() {
    lastError = mapErrno(errno);
    return socketError;
}

// A signal resumes the call, unless it asked the run to stop.
bool resume() {
    return errno == EINTR && !interruptRequested();
}

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events on s, or for a stop request, for at most timeoutMs (-1: no bound). 1 ready
// (errors and hang-ups count: the call that follows tells which), 0 time-out, -1 failure with
// errno set, EINTR once the run is being stopped.
int waitFor(Socket s, short events, long long timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        if (interruptRequested()) {
            errno = EINTR;
            return -1;
        }
        long long left = timeoutMs < 0 ? -1 : deadline - nowMs();
        if (timeoutMs >= 0 && left < 0)
            left = 0;
        pollfd p[2] = {{s, events, 0}, {interruptFd(), POLLIN, 0}};
        const int r = ::poll(p, 2, left > INT_MAX ? INT_MAX : int(left));
        if (r > 0 && (p[0].revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        if (r > 0 && p[0].revents)
            return 1;
        if (r == 0 && left >= 0 && left <= INT_MAX)
            return 0;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

// A call that does not wait still ends once the run is being stopped, as a wait would.
bool stopping() {
    if (!interruptRequested())
        return false;
    lastError = wsaEintr;
    return true;
}

} // namespace

int wsaStartup(uint16_t) {
    return 0;
}
int wsaCleanup() {
    return 0;
}
long wsaGetLastError() {
    return lastError;
}

Socket sockCreate() {
    Socket s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        fail();
        return invalidSocket;
    }
    return s;
}

int sockBind(Socket s, const sockaddr_in *address) {
    // a rebuilt server must get its port back while the old connection is in TIME_WAIT
    int on = 1;
    (void)::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s, reinterpret_cast<const sockaddr *>(address), sizeof *address) < 0)
        return fail();
    return 0;
}

int sockListen(Socket s, int backlog) {
    if (::listen(s, backlog) < 0 || ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK) < 0)
        return fail();
    return 0;
}

Socket sockAccept(Socket s) {
    // The listening socket does not block, so that a stop request can end the wait.
    for (;;) {
        if (waitFor(s, POLLIN, -1) < 0) {
            fail();
            return invalidSocket;
        }
        Socket a = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (a >= 0)
            return a;
        if (errno != EAGAIN && errno != ECONNABORTED && !resume()) {
            fail();
            return invalidSocket;
        }
    }
}

int sockConnect(Socket s, const sockaddr_in *address, long long boundMs) {
    const int flags = ::fcntl(s, F_GETFL);
    (void)::fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(s, reinterpret_cast<const sockaddr *>(address), sizeof *address);
    if (r != 0 && errno == EINPROGRESS) {
        const int ready = waitFor(s, POLLOUT, boundMs);
        int err = ready > 0 ? 0 : ready == 0 ? ETIMEDOUT : errno;
        socklen_t len = sizeof err;
        if (ready > 0 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        r = err ? -1 : 0;
        errno = err;
    }
    const int saved = errno;
    (void)::fcntl(s, F_SETFL, flags);
    errno = saved;
    return r == 0 ? 0 : fail();
}

int sockSetDontLinger(Socket s) {
    linger l{0, 10};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0)
        return fail();
    return 0;
}

int sockSelect(Socket s, bool forWrite, const TimeVal *timeout) {
    long long totalMs = static_cast<long long>(timeout->tvSec) * 1000 + timeout->tvUsec / 1000;
    if (timeout->tvUsec % 1000)
        ++totalMs; // never wait less than asked
    const int ready = waitFor(s, forWrite ? POLLOUT : POLLIN, totalMs < 0 ? 0 : totalMs);
    return ready < 0 ? fail() : ready;
}

int sockRecv(Socket s, uint8_t *buffer, uint32_t size) {
    for (;;) {
        ssize_t n = ::recv(s, buffer, size, 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (!resume())
            return fail();
    }
}

int sockSend(Socket s, const uint8_t *bytes, uint32_t size) {
    for (;;) {
        ssize_t n = ::send(s, bytes, size, MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (!resume())
            return fail();
    }
}

int sockRecvNow(Socket s, uint8_t *buffer, uint32_t size) {
    if (stopping())
        return socketError;
    for (;;) {
        ssize_t n = ::recv(s, buffer, size, MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<int>(n);
        if (!resume())
            return fail();
    }
}

int sockSendNow(Socket s, const uint8_t *bytes, uint32_t size) {
    if (stopping())
        return socketError;
    for (;;) {
        ssize_t n = ::send(s, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (!resume())
            return fail();
    }
}

Socket sockAcceptNow(Socket s) {
    for (;;) {
        // A connection reset while it waited is gone; the next one may be there.
        Socket a = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (a >= 0)
            return a;
        if (errno != ECONNABORTED && !resume()) {
            fail();
            return invalidSocket;
        }
    }
}

int sockWaitAny(const Socket *s, uint32_t n, uint8_t *ready, long long timeoutMs,
                const uint8_t *forWrite) {
    if (n > sockWaitMost) {
        lastError = wsaEinval;
        return socketError;
    }
    const long long deadline = nowMs() + timeoutMs;
    pollfd p[sockWaitMost + 1];
    for (;;) {
        if (interruptRequested()) {
            lastError = wsaEintr;
            return socketError;
        }
        for (uint32_t i = 0; i < n; ++i)
            p[i] = pollfd{s[i], short(forWrite && forWrite[i] ? POLLOUT : POLLIN), 0};
        p[n] = pollfd{interruptFd(), POLLIN, 0};
        long long left = timeoutMs < 0 ? -1 : deadline - nowMs();
        if (timeoutMs >= 0 && left < 0)
            left = 0;
        const int r = ::poll(p, n + 1, left > INT_MAX ? INT_MAX : int(left));
        if (r < 0 && errno != EINTR)
            return fail();
        bool any = false;
        for (uint32_t i = 0; i < n; ++i) {
            ready[i] = r > 0 && p[i].revents != 0;
            any = any || ready[i];
        }
        if (any)
            return 1;
        if (r == 0 && left >= 0 && left <= INT_MAX)
            return 0;
    }
}

int sockSetKeepAlive(Socket s, uint32_t idleS, uint32_t intervalS) {
    const int on = 1, idle = int(idleS), interval = int(intervalS), probes = 4;
    if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) < 0)
        return fail();
    return 0;
}

int closeSocket(Socket s) {
    if (::close(s) < 0 && errno != EINTR)
        return fail();
    return 0;
}

uint32_t inetAddr(const char *text) {
    return ::inet_addr(text);
}

} // namespace plat
