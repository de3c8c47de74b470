// Socket driver over real loopback TCP: set-up, control, the not-connected guard, mapped
// failures with their printed numbers, peer close, time-out and one accept per open.
#include "stack/drivers/port.h"
#include "tests/support/tcp_peer.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

std::string capturedOutput() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string portText(uint16_t port) {
    return std::to_string(port);
}

// A client channel connected to a peer listening on a free port.
struct ClientPair {
    PortChannel ch{};
    TcpPeer peer;
    bool connect() {
        if (!peer.listenOn())
            return false;
        if (socketInstallClient(&ch, portText(peer.port()).c_str(), "127.0.0.1") != 0)
            return false;
        return ioOpen(&ch) == IoOk && peer.acceptOne(1000);
    }
    ~ClientPair() { socketRelease(&ch); }
};

uint8_t portByte(const PortChannel &ch, int i) {
    return reinterpret_cast<const uint8_t *>(&ch.driver.socket.sockAddress.sin_port)[i];
}

} // namespace

TEST(SocketDriver, InstallStoresPortInNetworkOrder) {
    PortChannel ch{};
    ASSERT_EQ(socketInstallClient(&ch, "3722", "127.0.0.1"), 0);
    EXPECT_EQ(portByte(ch, 0), 0x0E);
    EXPECT_EQ(portByte(ch, 1), 0x8A);
    EXPECT_EQ(ch.driver.socket.sockAddress.sin_family, AF_INET);
    EXPECT_EQ(ch.driver.socket.connected, 0);
    EXPECT_EQ(ch.driver.socket.isServer, 0);
    socketRelease(&ch);
}

TEST(SocketDriver, PortTextWithoutDigitsGivesPortZero) {
    PortChannel ch{};
    ASSERT_EQ(socketInstallServer(&ch, "abc"), 0);
    EXPECT_EQ(ch.driver.socket.sockAddress.sin_port, 0);
    EXPECT_EQ(ch.driver.socket.isServer, 1);
    socketRelease(&ch);
}

TEST(SocketDriver, InstallSetsTwoHundredMsTimeout) {
    PortChannel ch{};
    socketInstallClient(&ch, "1", "127.0.0.1");
    uint32_t ms = 0;
    EXPECT_EQ(ioControl(&ch, GetReadTimeout, &ms), IoOk);
    EXPECT_EQ(ms, 200u);
    socketRelease(&ch);
}

TEST(SocketDriver, SetReadTimeoutIsReportedByBothGets) {
    PortChannel ch{};
    socketInstallClient(&ch, "1", "127.0.0.1");
    ASSERT_EQ(ioControl(&ch, SetReadTimeout, 1500u), IoOk);
    uint32_t readMs = 0, writeMs = 0;
    EXPECT_EQ(ioControl(&ch, GetReadTimeout, &readMs), IoOk);
    EXPECT_EQ(ioControl(&ch, GetWriteTimeout, &writeMs), IoOk);
    EXPECT_EQ(readMs, 1500u);
    EXPECT_EQ(writeMs, 1500u);
    EXPECT_EQ(ch.driver.socket.sockTimeout.tvSec, 1);
    EXPECT_EQ(ch.driver.socket.sockTimeout.tvUsec, 500000);
    socketRelease(&ch);
}

TEST(SocketDriver, SerialRequestsAndUnknownCodesAnswerUnknown) {
    PortChannel ch{};
    socketInstallClient(&ch, "1", "127.0.0.1");
    uint32_t word = 0;
    for (int32_t code = 256; code <= 267; ++code)
        EXPECT_EQ(ioControl(&ch, code, &word), IoUnknownRequest) << code;
    EXPECT_EQ(ioControl(&ch, 6, 0u), IoUnknownRequest);
    EXPECT_EQ(ioControl(&ch, 511, 0u), IoUnknownRequest);
    EXPECT_EQ(ioControl(&ch, 516, 0u), IoUnknownRequest);
    socketRelease(&ch);
}

TEST(SocketDriver, ReportWordSetsAnswerFailedAndGetsAnswerOk) {
    PortChannel ch{};
    socketInstallClient(&ch, "1", "127.0.0.1");
    uint32_t word = 7;
    EXPECT_EQ(ioControl(&ch, SetReportWord1, 1u), IoFailed);
    EXPECT_EQ(ioControl(&ch, SetReportWord2, 1u), IoFailed);
    EXPECT_EQ(ioControl(&ch, GetReportWord1, &word), IoOk);
    EXPECT_EQ(ioControl(&ch, GetReportWord2, &word), IoOk);
    socketRelease(&ch);
}

TEST(SocketDriver, ReadWriteCloseBeforeOpenAnswerNotOpen) {
    PortChannel ch{};
    socketInstallClient(&ch, "1", "127.0.0.1");
    uint8_t buf[4] = {1, 2, 3, 4};
    uint32_t count = 99;
    EXPECT_EQ(ioRead(&ch, buf, 4, &count), IoNotOpen);
    EXPECT_EQ(count, 0u);
    count = 99;
    EXPECT_EQ(ioWrite(&ch, buf, 4, &count), IoNotOpen);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ioClose(&ch), IoNotOpen);
    socketRelease(&ch);
}

TEST(SocketDriver, RefusedConnectAnswersAccessDeniedAndPrintsNumber) {
    PortChannel ch{};
    socketInstallClient(&ch, portText(tcpFreePort()).c_str(), "127.0.0.1");
    testing::internal::CaptureStdout();
    int32_t result = ioOpen(&ch);
    std::string out = capturedOutput();
    EXPECT_EQ(result, IoAccessDenied);
    EXPECT_EQ(out, "wsockerror = 10061");
    EXPECT_EQ(ch.driver.socket.lastSockError, 10061);
    EXPECT_EQ(ch.driver.socket.connected, 0);
    EXPECT_EQ(ioClose(&ch), IoNotOpen);
    socketRelease(&ch);
}

TEST(SocketDriver, UnparsableHostFailsOnlyAtOpen) {
    PortChannel ch{};
    ASSERT_EQ(socketInstallClient(&ch, "502", "not.an.address"), 0);
    testing::internal::CaptureStdout();
    int32_t result = ioOpen(&ch);
    std::string out = capturedOutput();
    EXPECT_NE(result, IoOk);
    EXPECT_EQ(out.rfind("wsockerror = ", 0), 0u);
    socketRelease(&ch);
}

TEST(SocketDriver, ServerOnPortInUseAnswersAddressInUse) {
    TcpPeer holder;
    ASSERT_TRUE(holder.listenOn());
    PortChannel ch{};
    socketInstallServer(&ch, portText(holder.port()).c_str());
    testing::internal::CaptureStdout();
    int32_t result = ioOpen(&ch);
    std::string out = capturedOutput();
    EXPECT_EQ(result, IoAddressInUse);
    EXPECT_EQ(out, "wsockerror = 10048");
    socketRelease(&ch);
}

TEST(SocketDriver, FailedOpensLeaveNoDescriptorBehind) {
    TcpPeer holder;
    ASSERT_TRUE(holder.listenOn());
    const int before = openFdCount();
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; ++i) {
        PortChannel server{};
        socketInstallServer(&server, portText(holder.port()).c_str());
        EXPECT_EQ(ioOpen(&server), IoAddressInUse);
        socketRelease(&server);
        PortChannel client{};
        socketInstallClient(&client, portText(tcpFreePort()).c_str(), "127.0.0.1");
        EXPECT_EQ(ioOpen(&client), IoAccessDenied);
        socketRelease(&client);
    }
    capturedOutput();
    EXPECT_EQ(openFdCount(), before);
}

TEST(SocketDriver, PeerCloseMakesReadAnswerBrokenSilently) {
    ClientPair pair;
    ASSERT_TRUE(pair.connect());
    pair.peer.closeConnection();
    uint8_t buf[16];
    uint32_t count = 99;
    testing::internal::CaptureStdout();
    int32_t result = ioRead(&pair.ch, buf, sizeof buf, &count);
    EXPECT_EQ(capturedOutput(), "");
    EXPECT_EQ(result, IoBroken);
    EXPECT_EQ(count, 0u);
}

TEST(SocketDriver, ReadDeliversWhatOneReceiveBrings) {
    ClientPair pair;
    ASSERT_TRUE(pair.connect());
    ASSERT_TRUE(pair.peer.sendBytes({1, 3, 2}));
    uint8_t buf[16];
    uint32_t count = 0;
    ASSERT_EQ(ioRead(&pair.ch, buf, sizeof buf, &count), IoOk);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(buf[2], 2);
}

TEST(SocketDriver, SilentPeerTimesOutAndConnectionStaysUp) {
    ClientPair pair;
    ASSERT_TRUE(pair.connect());
    uint8_t buf[16];
    uint32_t count = 99;
    const auto start = std::chrono::steady_clock::now();
    int32_t result = ioRead(&pair.ch, buf, sizeof buf, &count);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(result, IoTimeout);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(ms, 150);
    EXPECT_LE(ms, 1500);
    // the same connection still carries data afterwards
    ASSERT_TRUE(pair.peer.sendBytes({0x2A}));
    EXPECT_EQ(ioRead(&pair.ch, buf, sizeof buf, &count), IoOk);
    EXPECT_EQ(count, 1u);
}

TEST(SocketDriver, WriteToVanishedPeerReportsBroken) {
    ClientPair pair;
    ASSERT_TRUE(pair.connect());
    pair.peer.closeConnection(true);
    const uint8_t bytes[8] = {1, 3, 0, 0, 0, 1, 0x84, 0x0A};
    uint32_t count = 99;
    int32_t result = IoOk;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 50 && result == IoOk; ++i) {
        result = ioWrite(&pair.ch, bytes, sizeof bytes, &count);
        if (result == IoOk)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string out = capturedOutput();
    EXPECT_EQ(result, IoBroken);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(out, "wsockerror = 10054");
}

TEST(SocketDriver, ServerAcceptsOneConnectionPerOpen) {
    const uint16_t port = tcpFreePort();
    PortChannel ch{};
    socketInstallServer(&ch, portText(port).c_str());
    int32_t openResult = -1;
    std::thread opener([&] { openResult = ioOpen(&ch); });
    TcpPeer first, second;
    const bool firstConnected = first.connectTo(port, 2000);
    if (!firstConnected) {
        // unblock the accept so the thread can end
        TcpPeer rescue;
        rescue.connectTo(port, 2000);
        opener.join();
        FAIL() << "could not connect to the server channel";
    }
    opener.join();
    ASSERT_EQ(openResult, IoOk);
    // the listening socket is still open, so a second peer gets into its queue but is not
    // taken by this open
    ASSERT_TRUE(second.connectTo(port, 1000));
    const uint8_t bytes[2] = {0x11, 0x22};
    uint32_t count = 0;
    ASSERT_EQ(ioWrite(&ch, bytes, 2, &count), IoOk);
    EXPECT_EQ(first.receive(2, 1000).size(), 2u);
    EXPECT_TRUE(second.receive(1, 100).empty());

    // close drops only the listener; the connection ends at release
    EXPECT_EQ(ioClose(&ch), IoOk);
    EXPECT_FALSE(first.seesClose(50));
    socketRelease(&ch);
    EXPECT_TRUE(first.seesClose(1000));
}
