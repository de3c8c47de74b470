// Loopback benchmark of the link layer over TCP: a peer thread answers every 8-byte request
// with an 11-byte reply at once; the same exchange is run through moddlSend/moddlReceive and
// through a minimal raw client on plain sockets, side by side, and the rates, their ratio and
// the median latencies are printed. Not a test: the figures depend on the machine.
#include "app/trace.h"
#include "stack/dl/crc16.h"
#include "stack/dl/moddl.h"

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

// Serves `connections` clients one after another until each closes.
void peer(int listenFd, int connections) {
    for (int c = 0; c < connections; ++c) {
        int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        uint8_t in[8];
        while (readExactly(fd, in, sizeof in))
            if (::send(fd, reply, sizeof reply, MSG_NOSIGNAL) != ssize_t(sizeof reply))
                break;
        ::close(fd);
    }
}

struct Figures {
    double perSecond;
    double medianUs;
    int failures;
};

Figures summarise(std::vector<double> &latUs, double seconds, int failures) {
    std::sort(latUs.begin(), latUs.end());
    double median = latUs.empty() ? 0 : latUs[latUs.size() / 2];
    return {double(latUs.size()) / seconds, median, failures};
}

Figures runLink(uint16_t port, int count) {
    LinkContext ctx{};
    ctx.role = 1;
    std::string text = "127.0.0.1/" + std::to_string(port);
    if (moddlOpen(&ctx, text.c_str()) != 1) {
        std::fprintf(stderr, "link open failed\n");
        std::exit(1);
    }
    LinkTimingRequest timing{0, 0, 1000}; // no pacing
    moddlSetTiming(&ctx, &timing);
    std::vector<double> lat;
    lat.reserve(size_t(count));
    int failures = 0;
    uint8_t pdu[5];
    uint8_t answer[256];
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        std::copy(requestPdu, requestPdu + 5, pdu);
        PduRecord out{5, pdu};
        PduRecord in{0, answer};
        if (moddlSend(&ctx, 1, &out) != 1 || moddlReceive(&ctx, &in) != 1 || in.length != 8) {
            ++failures;
            continue;
        }
        lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    moddlClose(&ctx);
    return summarise(lat, seconds, failures);
}

Figures runRaw(uint16_t port, int count) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        std::fprintf(stderr, "raw connect failed\n");
        std::exit(1);
    }
    std::vector<double> lat;
    lat.reserve(size_t(count));
    int failures = 0;
    uint8_t in[11];
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request) ||
            !readExactly(fd, in, sizeof in)) {
            ++failures;
            break;
        }
        lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return summarise(lat, seconds, failures);
}

} // namespace

int main(int argc, char **argv) {
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
    std::thread server(peer, listenFd, 2);
    Figures link = runLink(port, count);
    Figures raw = runRaw(port, count);
    server.join();
    ::close(listenFd);

    std::printf("exchanges: %d each, 8-byte request, 11-byte reply, loopback\n", count);
    std::printf("link   %10.0f exchanges/s  median %7.1f us  failures %d\n", link.perSecond,
                link.medianUs, link.failures);
    std::printf("raw    %10.0f exchanges/s  median %7.1f us  failures %d\n", raw.perSecond,
                raw.medianUs, raw.failures);
    std::printf("ratio  %9.1f %%\n",
                raw.perSecond > 0 ? 100.0 * link.perSecond / raw.perSecond : 0);
    return link.failures || raw.failures ? 1 : 0;
}
