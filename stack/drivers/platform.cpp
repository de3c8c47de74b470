// Linux side of the sockets calls the socket driver makes. Each failing call keeps its errno,
// translated to the Windows Sockets number, in a per-thread slot that wsaGetLastError answers,
// so the driver prints and maps the same numbers on every platform. Waits use poll, which has
// no descriptor-number limit, and every blocking call is resumed after a signal with the time
// that is left, unless the run is being stopped.
#include "stack/drivers/platform.h"

#include "stack/drivers/interrupt.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
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
    if (::listen(s, backlog) < 0)
        return fail();
    return 0;
}

Socket sockAccept(Socket s) {
    for (;;) {
        Socket a = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (a >= 0)
            return a;
        if (!resume()) {
            fail();
            return invalidSocket;
        }
    }
}

int sockConnect(Socket s, const sockaddr_in *address) {
    if (::connect(s, reinterpret_cast<const sockaddr *>(address), sizeof *address) == 0)
        return 0;
    if (!resume())
        return fail();
    // an interrupted connect goes on in the background; wait for its outcome
    for (;;) {
        pollfd p{s, POLLOUT, 0};
        int r = ::poll(&p, 1, -1);
        if (r < 0 && resume())
            continue;
        if (r < 0)
            return fail();
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            return fail();
        if (err == 0)
            return 0;
        errno = err;
        return fail();
    }
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
    if (totalMs < 0)
        totalMs = 0;
    const long long deadline = nowMs() + totalMs;
    for (;;) {
        long long left = deadline - nowMs();
        if (left < 0)
            left = 0;
        pollfd p{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return fail();
            }
            // errors and hang-ups count as ready: the following recv or send tells which
            return 1;
        }
        if (r == 0)
            return 0;
        if (!resume())
            return fail();
    }
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

int closeSocket(Socket s) {
    if (::close(s) < 0 && errno != EINTR)
        return fail();
    return 0;
}

uint32_t inetAddr(const char *text) {
    return ::inet_addr(text);
}

} // namespace plat
