// Loopback peer on raw POSIX sockets, independent of the driver under test.
#include "tests/support/tcp_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void closeFd(int *fd) {
    if (*fd >= 0) {
        ::close(*fd);
        *fd = -1;
    }
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

} // namespace

TcpPeer::~TcpPeer() {
    closeConnection();
    closeListener();
}

bool TcpPeer::listenOn(uint16_t port) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        return false;
    sockaddr_in a = loopback(port);
    if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::listen(listenFd_, 4) < 0) {
        closeFd(&listenFd_);
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    return true;
}

bool TcpPeer::acceptOne(int timeoutMs) {
    if (listenFd_ < 0 || !waitFor(listenFd_, POLLIN, timeoutMs))
        return false;
    connFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    return connFd_ >= 0;
}

bool TcpPeer::connectTo(uint16_t port, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        connFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connFd_ < 0)
            return false;
        sockaddr_in a = loopback(port);
        if (::connect(connFd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return true;
        closeFd(&connFd_);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool TcpPeer::sendBytes(const std::vector<uint8_t> &bytes) {
    if (bytes.empty())
        return true;
    return ::send(connFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool TcpPeer::play(const std::vector<PeerChunk> &chunks) {
    for (const PeerChunk &c : chunks) {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
        if (!sendBytes(c.bytes))
            return false;
    }
    return true;
}

std::vector<uint8_t> TcpPeer::receive(uint32_t want, int timeoutMs) {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[512];
    while (got.size() < want && connFd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !waitFor(connFd_, POLLIN, static_cast<int>(left)))
            break;
        ssize_t n = ::recv(connFd_, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

bool TcpPeer::seesClose(int timeoutMs) {
    if (connFd_ < 0 || !waitFor(connFd_, POLLIN, timeoutMs))
        return false;
    uint8_t b;
    return ::recv(connFd_, &b, 1, MSG_PEEK) <= 0;
}

void TcpPeer::closeConnection(bool abort) {
    if (abort && connFd_ >= 0) {
        linger l{1, 0};
        ::setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    closeFd(&connFd_);
}

void TcpPeer::closeListener() {
    closeFd(&listenFd_);
}

uint16_t tcpFreePort() {
    TcpPeer probe;
    return probe.listenOn(0) ? probe.port() : 0;
}

int openFdCount() {
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n - 1; // the directory stream itself
}
