// A loopback TCP peer for tests of the socket driver and the link over real TCP: listens on a
// free port or connects to one, and sends scripted byte chunks with pauses between them so
// that splits and joins really cross the socket. Every wait is bounded; run it on a thread of
// its own and join it.
#pragma once

#include <cstdint>
#include <vector>

struct PeerChunk {
    uint32_t delayMs; // pause before the chunk is sent
    std::vector<uint8_t> bytes;
};

class TcpPeer {
public:
    TcpPeer() = default;
    TcpPeer(const TcpPeer &) = delete;
    TcpPeer &operator=(const TcpPeer &) = delete;
    ~TcpPeer();

    // Listens on 127.0.0.1 at port (0: any free one); false on failure.
    bool listenOn(uint16_t port = 0);
    uint16_t port() const { return port_; }
    // Takes one connection within timeoutMs.
    bool acceptOne(int timeoutMs);
    // Connects to 127.0.0.1:port, retrying refusals until timeoutMs has passed.
    bool connectTo(uint16_t port, int timeoutMs);

    // Sends each chunk after its pause; false when a send fails.
    bool play(const std::vector<PeerChunk> &chunks);
    bool sendBytes(const std::vector<uint8_t> &bytes);
    // Receives until want bytes have come or timeoutMs has passed; what came.
    std::vector<uint8_t> receive(uint32_t want, int timeoutMs);
    // True when the connection shows end of stream (or reset) within timeoutMs.
    bool seesClose(int timeoutMs);
    // Closes the connection; abort sends a reset instead of an orderly end.
    void closeConnection(bool abort = false);
    void closeListener();

private:
    int listenFd_ = -1;
    int connFd_ = -1;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 that nobody listens on at the moment of the call.
uint16_t tcpFreePort();
// Number of open file descriptors of this process.
int openFdCount();
