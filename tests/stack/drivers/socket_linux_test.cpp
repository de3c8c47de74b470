// The socket driver over real loopback TCP: refused opens and rebuilds, counting
// descriptors, and the bound of a connect.
#include "stack/dl/moddl.h"
#include "stack/drivers/platform.h"
#include "stack/drivers/port.h"
#include "tests/support/support.h"

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

namespace {

// A socket listening on 127.0.0.1 at a free port; closed when it goes.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int conn = -1;
    uint16_t port = 0;
    Listener() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { drop(), ::close(fd); }
    bool accept() {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 1000) > 0 && (conn = ::accept(fd, nullptr, nullptr)) >= 0;
    }
    void drop() { conn = conn >= 0 ? ::close(conn), -1 : -1; }
};

long openFds() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Ten opens of a server on a port in use and of a client to a port nobody listens on (their
// results and the descriptors then open, and the last ones' reasons in words), then a hundred
// link rebuilds after the peer closed: the first two printed errors, the rebuilds done and the
// change in open descriptors.
std::string failuresAndRebuilds() {
    Listener peer;
    testing::internal::CaptureStdout();
    const long before = openFds();
    Steps steps;
    const std::string none = str(Listener().port);
    char why[2][64];
    for (int i = 0; i < 10; ++i) {
        PortChannel server{}, client{};
        socketInstallServer(&server, str(peer.port).c_str());
        socketInstallClient(&client, none.c_str(), "127.0.0.1");
        steps << ioOpen(&server) << ioOpen(&client) << openFds() - before;
        socketOpenFailure(&server, ('\0' + str(peer.port)).c_str(), why[0], sizeof why[0]);
        socketOpenFailure(&client, ("127.0.0.1" + ('\0' + none)).c_str(), why[1], 64);
        socketRelease(&server), socketRelease(&client);
    }
    std::string reasons = std::string(why[0]) + " " + why[1];
    for (auto [port, as] : {std::pair{str(peer.port), "<P>"}, std::pair{none, "<N>"}})
        reasons.replace(reasons.find(port), port.size(), as);
    steps << reasons.c_str();
    LinkContext ctx{};
    uint8_t pdu[256];
    LinkFrame frame{0, 256, pdu};
    int done = 0;
    for (bool up = moddlOpen(&ctx, ("127.0.0.1/" + str(peer.port)).c_str()) == 1 && peer.accept();
         up && done < 100; ++done)
        peer.drop(), up = moddlRx(&ctx, &frame) == 2 && peer.accept();
    peer.drop(), moddlClose(&ctx), fflush(stdout);
    steps << done << openFds() - before;
    return steps << testing::internal::GetCapturedStdout().substr(0, 36).c_str();
}

// A server's listener with a master connecting: a wait of 0 ms sees it, the accept takes it
// (a second finds none), a byte it sends is seen and read, its close is seen as broken; then
// the change in open descriptors once all is released.
std::string listenerServesAMaster() {
    const long before = openFds();
    SocketListener l{};
    PortChannel ch{};
    PortChannel *channels[1] = {&ch};
    uint8_t ready[2] = {9, 9}, byte = 0;
    uint32_t n = 0;
    Steps steps;
    steps << socketListen(&l, "0");
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(l.socket, reinterpret_cast<sockaddr *>(&a), &len);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int master = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(master, reinterpret_cast<sockaddr *>(&a), sizeof a);
    steps << socketWaitAny(&l, channels, 0, 0, ready) << ready[0] << "|";
    steps << socketAccept(&l, &ch) << socketAccept(&l, &ch) << "|";
    ::send(master, "x", 1, 0);
    steps << socketWaitAny(&l, channels, 1, 1000, ready) << ready[0] << ready[1];
    steps << ioRead(&ch, &byte, 1, &n) << n << byte << "|";
    ::close(master);
    steps << socketWaitAny(&l, channels, 1, 1000, ready) << ready[1] << ioRead(&ch, &byte, 1, &n);
    socketRelease(&ch), socketUnlisten(&l);
    return steps << openFds() - before;
}

// A listener whose accept queue is full drops every further handshake: a connect with a bound
// of 300 ms gives up; its result and error number, and whether it ended within 5 s.
std::string connectToAFullQueue() {
    Listener full;
    ::listen(full.fd, 0);
    sockaddr_in a{AF_INET, htons(full.port), {htonl(INADDR_LOOPBACK)}, {}};
    int queued[2];
    for (int &q : queued) {
        q = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(q, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    const plat::Socket s = plat::sockCreate();
    const auto start = std::chrono::steady_clock::now();
    Steps steps;
    steps << plat::sockConnect(s, &a, 300) << plat::wsaGetLastError()
          << (std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    plat::closeSocket(s), ::close(queued[0]), ::close(queued[1]);
    return steps;
}

// A frame begun that cannot be finished within the write time-out breaks the connection: its
// result and count.
std::string cutFrameBreaks() {
    Listener peer;
    PortChannel ch{};
    socketInstallClient(&ch, str(peer.port).c_str(), "127.0.0.1");
    ioOpen(&ch), ioControl(&ch, SetWriteTimeout, 50u);
    Bytes big(8u << 20);
    uint32_t n = 9;
    const int32_t result = ioWrite(&ch, big.data(), uint32_t(big.size()), &n);
    socketRelease(&ch);
    return Steps() << result << n;
}

INSTANTIATE_TEST_SUITE_P(
    SocketLoopback, Rows,
    testing::Values(Row{"RefusedOpensAndHundredRebuildsLeaveNoDescriptor", failuresAndRebuilds,
                        "13 3 0 13 3 0 13 3 0 13 3 0 13 3 0 13 3 0 13 3 0 13 3 0 13 3 0 13 3 0 "
                        "port <P> is in use connection refused by 127.0.0.1/<N> "
                        "100 0 wsockerror = 10048wsockerror = 10061 "},
                    Row{"ConnectGivesUpAtItsBound", connectToAFullQueue, "-1 10060 1 "},
                    Row{"ListenerSeesTakesAndServesAMaster", listenerServesAMaster,
                        "0 0 1 | 0 6 | 0 0 1 0 1 120 | 0 1 7 0 "},
                    Row{"FrameCutAtTheWriteTimeOutBreaksTheConnection", cutFrameBreaks, "7 0 "}),
    rowName);

} // namespace
