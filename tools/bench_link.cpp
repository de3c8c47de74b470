// Loopback benchmark of the link layer over TCP: a peer thread answers every 8-byte request
// with an 11-byte reply at once; the same exchange is run through moddlSend/moddlReceive and
// through a minimal raw client on plain sockets, side by side, and the rates, their ratio and
// the median latencies are printed. "bench_link raw PORT N" is that raw client alone, reading
// 3 holding registers from 400011 of unit 100 N times from a peer at 127.0.0.1:PORT (what
// korvalen -RQN -TD0 asks), for tools/bench.sh to time beside korvalen. Not a test: the figures
// depend on the machine.
#include "stack/dl/crc16.h"
#include "stack/dl/moddl.h"
#include "stack/trace/trace.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const uint8_t requestPdu[5] = {0x03, 0x00, 0x00, 0x00, 0x03};
uint8_t request[8];
uint8_t reply[11] = {0x01, 0x03, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};

void addCrc(uint8_t *frame, uint32_t length) {
    uint16_t crc = moddlCrc16(length, frame);
    frame[length] = uint8_t(crc & 0xFF);
    frame[length + 1] = uint8_t(crc >> 8);
}

bool readExactly(int fd, uint8_t *buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, buffer + got, size - got, 0);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

// Serves one client until it closes.
void serve(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint8_t in[8];
    while (readExactly(fd, in, sizeof in))
        if (::send(fd, reply, sizeof reply, MSG_NOSIGNAL) != ssize_t(sizeof reply))
            break;
    ::close(fd);
}

// Accepts the two clients, each served on its own thread, so both paths run side by side.
void peer(int listenFd) {
    std::thread workers[2];
    for (std::thread &w : workers) {
        int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            break;
        w = std::thread(serve, fd);
    }
    for (std::thread &w : workers)
        if (w.joinable())
            w.join();
}

struct Figures {
    double seconds = 0;
    int exchanges = 0;
    int failures = 0;
    std::vector<double> latUs;
};

void record(Figures *f, Clock::time_point t0, bool ok) {
    const auto t1 = Clock::now();
    f->seconds += std::chrono::duration<double>(t1 - t0).count();
    if (!ok) {
        ++f->failures;
        return;
    }
    ++f->exchanges;
    f->latUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
}

double median(std::vector<double> &v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool linkExchange(LinkContext *ctx) {
    uint8_t pdu[5];
    uint8_t answer[256];
    std::copy(requestPdu, requestPdu + 5, pdu);
    PduRecord out{5, pdu};
    PduRecord in{0, answer};
    return moddlSend(ctx, 1, &out) == 1 && moddlReceive(ctx, &in) == 1 && in.length == 8;
}

bool rawExchange(int fd) {
    uint8_t in[11];
    return ::send(fd, request, sizeof request, MSG_NOSIGNAL) == ssize_t(sizeof request) &&
           readExactly(fd, in, sizeof in);
}

int rawConnect(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0)
        return -1;
    return fd;
}

} // namespace

// The raw client alone against an outside peer; 0 when every exchange got its 11 bytes.
int rawAgainst(uint16_t port, int count) {
    const uint8_t pdu[5] = {0x03, 0x00, 0x0A, 0x00, 0x03};
    request[0] = 100;
    std::copy(pdu, pdu + 5, request + 1);
    addCrc(request, 6);
    const int fd = rawConnect(port);
    int done = 0;
    while (fd >= 0 && done < count && rawExchange(fd))
        ++done;
    if (fd >= 0)
        ::close(fd);
    std::printf("raw client: %d of %d exchanges\n", done, count);
    return done == count ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc > 3 && std::string(argv[1]) == "raw")
        return rawAgainst(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]));
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::copy(requestPdu, requestPdu + 5, request + 1);
    request[0] = 0x01;
    addCrc(request, 6);
    addCrc(reply, 9);
    traceInit();

    int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::listen(listenFd, 2) < 0 ||
        ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        std::fprintf(stderr, "peer listen failed\n");
        return 1;
    }
    const uint16_t port = ntohs(a.sin_port);
    std::thread server(peer, listenFd);

    LinkContext ctx{};
    ctx.role = 1;
    const std::string text = "127.0.0.1/" + std::to_string(port);
    const bool linkOpen = moddlOpen(&ctx, text.c_str()) == 1;
    const int rawFd = rawConnect(port);
    if (!linkOpen || rawFd < 0) {
        std::fprintf(stderr, "connect failed\n");
        std::exit(1);
    }
    LinkTimingRequest timing{0, 0, 1000}; // no pacing
    moddlSetTiming(&ctx, &timing);

    // alternate blocks so that drift of the machine's speed hits both paths alike
    Figures link, raw;
    link.latUs.reserve(size_t(count));
    raw.latUs.reserve(size_t(count));
    const int block = 500;
    for (int done = 0; done < count; done += block) {
        const int n = std::min(block, count - done);
        for (int i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            record(&link, t0, linkExchange(&ctx));
        }
        for (int i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            record(&raw, t0, rawExchange(rawFd));
        }
    }
    moddlClose(&ctx);
    ::close(rawFd);
    server.join();
    ::close(listenFd);

    const double linkRate = link.seconds > 0 ? link.exchanges / link.seconds : 0;
    const double rawRate = raw.seconds > 0 ? raw.exchanges / raw.seconds : 0;
    std::printf("exchanges: %d each, 8-byte request, 11-byte reply, loopback, interleaved\n",
                count);
    std::printf("link   %10.0f exchanges/s  median %7.1f us  failures %d\n", linkRate,
                median(link.latUs), link.failures);
    std::printf("raw    %10.0f exchanges/s  median %7.1f us  failures %d\n", rawRate,
                median(raw.latUs), raw.failures);
    std::printf("ratio  %9.1f %%\n", rawRate > 0 ? 100.0 * linkRate / rawRate : 0);
    return link.failures || raw.failures ? 1 : 0;
}
