// The link layer over real loopback TCP: frames split and joined by the stream, a peer that
// closes (the connection is rebuilt and the next frame goes out on the new one, as client and
// as server), a silent peer, and no descriptor left behind by rebuilds and open/close cycles.
#include "app/trace.h"
#include "stack/dl/moddl.h"
#include "tests/support/fake_clock.h"
#include "tests/support/tcp_peer.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

const std::vector<uint8_t> request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const std::vector<uint8_t> reply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

std::string clientText(uint16_t port) {
    return "127.0.0.1/" + std::to_string(port);
}

// A master link whose client channel is connected to a listening peer.
struct ClientLink {
    LinkContext ctx{};
    TcpPeer peer;
    bool open() {
        // pacing runs on the fake clock, so only the sockets take real time
        fakeClockReset();
        ctx.role = 1;
        return peer.listenOn() && moddlOpen(&ctx, clientText(peer.port()).c_str()) == 1 &&
               peer.acceptOne(1000);
    }
    ~ClientLink() {
        traceOff();
        moddlClose(&ctx);
    }
};

int32_t receiveFrame(LinkContext *ctx, uint8_t *pdu, uint16_t *length) {
    LinkFrame frame{0, 256, pdu};
    int32_t r = moddlRx(ctx, &frame);
    *length = frame.pduLength;
    return r;
}

// The same receive with the trace on; the trace text goes to *trace.
int32_t receiveTraced(LinkContext *ctx, uint8_t *pdu, uint16_t *length, std::string *trace) {
    testing::internal::CaptureStdout();
    traceOn();
    int32_t r = receiveFrame(ctx, pdu, length);
    traceOff();
    fflush(stdout);
    *trace = testing::internal::GetCapturedStdout();
    return r;
}

bool sendRequest(LinkContext *ctx) {
    uint8_t pdu[5] = {0x03, 0x00, 0x00, 0x00, 0x01};
    PduRecord record{5, pdu};
    return moddlSend(ctx, 1, &record) == 1;
}

std::string rebuildTrace(const std::string &created) {
    return std::string("\n\rmoddlRx: broke\n\r") + "moddlRx: Close socket\n\r" +
           "moddlRx: recreate socket (1)\n\r" + created +
           "moddlRx: Socket re-created.  Open now (1)\n\r" + "moddlRx: reopened socket (0)\n\r";
}

} // namespace

TEST(LinkOverTcp, ReplySplitFourPlusThreeIsJoined) {
    ClientLink link;
    ASSERT_TRUE(link.open());
    std::thread player([&] {
        link.peer.play(
            {{0, {reply.begin(), reply.begin() + 4}}, {60, {reply.begin() + 4, reply.end()}}});
    });
    uint8_t pdu[256];
    uint16_t length = 0;
    std::string out;
    int32_t r = receiveTraced(&link.ctx, pdu, &length, &out);
    player.join();
    EXPECT_EQ(r, 0);
    ASSERT_EQ(length, 4);
    EXPECT_EQ(pdu[3], 0x2A);
    EXPECT_NE(out.find("\n\rmoddlRx: Maybe fragmented frame: try again"), std::string::npos);
}

TEST(LinkOverTcp, JoinedRequestAndReplyRecoversReply) {
    ClientLink link;
    ASSERT_TRUE(link.open());
    std::vector<uint8_t> joined = request;
    joined.insert(joined.end(), reply.begin(), reply.end());
    ASSERT_TRUE(link.peer.sendBytes(joined));
    uint8_t pdu[256];
    uint16_t length = 0;
    EXPECT_EQ(receiveFrame(&link.ctx, pdu, &length), 0);
    ASSERT_EQ(length, 4);
    EXPECT_EQ(pdu[0], 0x03);
}

TEST(LinkOverTcp, ClientRebuildsAfterPeerCloseAndSendsOnNewConnection) {
    ClientLink link;
    ASSERT_TRUE(link.open());
    link.peer.closeConnection();
    uint8_t pdu[256];
    uint16_t length = 0;
    std::string out;
    int32_t r = receiveTraced(&link.ctx, pdu, &length, &out);
    EXPECT_EQ(r, 2);
    const std::string created =
        "\n\rmoddlCreateSocket: client socket.  Port == " + std::to_string(link.peer.port());
    EXPECT_EQ(out, rebuildTrace(created));
    // the reconnect waits in the listener's queue until taken here
    ASSERT_TRUE(link.peer.acceptOne(1000));
    ASSERT_TRUE(sendRequest(&link.ctx));
    EXPECT_EQ(link.peer.receive(8, 1000), request);
}

TEST(LinkOverTcp, ServerRebuildsAfterPeerCloseAndSendsOnNewConnection) {
    fakeClockReset();
    const uint16_t port = tcpFreePort();
    LinkContext ctx{};
    ctx.role = 1;
    int32_t opened = 0;
    std::thread opener([&] { opened = moddlOpen(&ctx, ("/" + std::to_string(port)).c_str()); });
    TcpPeer first;
    const bool connected = first.connectTo(port, 2000);
    if (!connected) {
        TcpPeer rescue;
        rescue.connectTo(port, 2000);
    }
    opener.join();
    ASSERT_TRUE(connected);
    ASSERT_EQ(opened, 1);

    first.closeConnection();
    uint8_t pdu[256];
    uint16_t length = 0;
    int32_t r = -1;
    std::string out;
    testing::internal::CaptureStdout();
    // the rebuild waits in accept for the next client
    std::thread receiver([&] {
        traceOn();
        r = receiveFrame(&ctx, pdu, &length);
        traceOff();
    });
    TcpPeer second;
    // a connect can land in the old listener's queue just before it closes; that one is reset
    bool reconnected = false;
    for (int attempt = 0; attempt < 10 && !reconnected; ++attempt) {
        reconnected = second.connectTo(port, 3000) && !second.seesClose(200);
        if (!reconnected)
            second.closeConnection();
    }
    if (!reconnected) {
        TcpPeer rescue;
        rescue.connectTo(port, 3000);
    }
    receiver.join();
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(reconnected);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(out, rebuildTrace("\n\rmoddlCreateSocket: server socket.  Port == " +
                                std::to_string(port)));
    ASSERT_TRUE(sendRequest(&ctx));
    EXPECT_EQ(second.receive(8, 1000), request);
    moddlClose(&ctx);
}

TEST(LinkOverTcp, SilentPeerTimesOutAndLinkStaysUp) {
    ClientLink link;
    ASSERT_TRUE(link.open());
    LinkTimingRequest timing{0, 0, 100};
    moddlSetTiming(&link.ctx, &timing);
    uint8_t pdu[256];
    uint16_t length = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receiveFrame(&link.ctx, pdu, &length), 1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(ms, 80);
    EXPECT_LE(ms, 1500);
    ASSERT_TRUE(link.peer.sendBytes(reply));
    EXPECT_EQ(receiveFrame(&link.ctx, pdu, &length), 0);
}

TEST(LinkOverTcp, HundredRebuildsLeaveDescriptorCountUnchanged) {
    ClientLink link;
    ASSERT_TRUE(link.open());
    const int before = openFdCount();
    uint8_t pdu[256];
    uint16_t length = 0;
    int rebuilt = 0;
    for (int i = 0; i < 100; ++i) {
        link.peer.closeConnection();
        if (receiveFrame(&link.ctx, pdu, &length) != 2 || !link.peer.acceptOne(1000))
            break;
        ++rebuilt;
    }
    EXPECT_EQ(rebuilt, 100);
    EXPECT_EQ(openFdCount(), before);
}

TEST(LinkOverTcp, HundredOpenCloseCyclesAndFailedOpensLeaveDescriptorCountUnchanged) {
    TcpPeer peer;
    ASSERT_TRUE(peer.listenOn());
    const int before = openFdCount();
    int cycles = 0;
    for (int i = 0; i < 100; ++i) {
        LinkContext ctx{};
        if (moddlOpen(&ctx, clientText(peer.port()).c_str()) != 1 || !peer.acceptOne(1000))
            break;
        peer.closeConnection();
        moddlClose(&ctx);
        ++cycles;
    }
    EXPECT_EQ(cycles, 100);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 10; ++i) {
        LinkContext ctx{};
        EXPECT_EQ(moddlOpen(&ctx, clientText(tcpFreePort()).c_str()), 0);
        EXPECT_EQ(moddlOpen(&ctx, ("/" + std::to_string(peer.port())).c_str()), 0);
        moddlClose(&ctx);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(openFdCount(), before);
}
