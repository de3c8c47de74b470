// The serial driver on a real pty made by the test; the device is reached through a link in
// the working directory, as a user reaches /dev/ttyUSB0 through COM5.
#include "stack/drivers/port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        char dir[] = "/tmp/korvalen-serial-XXXXXX";
        cwd = mkdtemp(dir);
        home = getcwd(nullptr, 0);
        (void)!chdir(cwd.c_str());
        (void)!symlink(ptsname(master), "COMT");
    }
    ~Pty() {
        if (master >= 0)
            close(master);
        unlink((cwd + "/COMT").c_str());
        rmdir(cwd.c_str());
        (void)!chdir(home);
        free(home);
    }
    int master;
    std::string cwd;
    char *home;
};

class SerialDriver : public ::testing::Test {
protected:
    void SetUp() override { serialInstall(&channel, "COMT"); }
    void TearDown() override { serialRelease(&channel); }
    const SerialState &state() const { return channel.driver.serial; }
    Pty pty;
    PortChannel channel{};
};

TEST_F(SerialDriver, QueuesKeepTheirSizeAndUnknownRequestsAnswerFour) {
    uint32_t in = 0, out = 0;
    EXPECT_EQ(ioControl(&channel, SetInQueueSize, uint32_t(4096)), IoFailed);
    ioControl(&channel, GetInQueueSize, &in);
    ioControl(&channel, GetOutQueueSize, &out);
    EXPECT_EQ(in + out, 2048u);
    for (int32_t request : {0, 1, 6, 255, 268, 512, -1})
        EXPECT_EQ(ioControl(&channel, request, uint32_t(0)), IoUnknownRequest) << request;
}

// Line settings word -> device control block -> word; bits 16-31 of the word stay.
struct WordCase {
    const char *name;
    uint32_t word, byteSize, rts, dtr, cts, dsrSensitivity, dsrFlow, back;
};

void PrintTo(const WordCase &c, std::ostream *os) {
    *os << c.name;
}

class LineWord : public SerialDriver, public ::testing::WithParamInterface<WordCase> {};

TEST_P(LineWord, MapsBothWays) {
    const WordCase &c = GetParam();
    uint32_t word = c.word;
    EXPECT_EQ(ioControl(&channel, SetLineSettings, &word), IoOk);
    const plat::Dcb &d = state().lineState;
    EXPECT_EQ(d.byteSize, c.byteSize);
    EXPECT_EQ(d.fRtsControl, c.rts);
    EXPECT_EQ(d.fDtrControl, c.dtr);
    EXPECT_EQ(d.fOutxCtsFlow, c.cts);
    EXPECT_EQ(d.fDsrSensitivity, c.dsrSensitivity);
    EXPECT_EQ(d.fOutxDsrFlow, c.dsrFlow);
    uint32_t back = 0xFFFF0000u | (c.word & 0x3000u);
    EXPECT_EQ(ioControl(&channel, GetLineSettings, &back), IoOk);
    EXPECT_EQ(back, c.back);
}

INSTANTIATE_TEST_SUITE_P(
    SerialDriver, LineWord,
    ::testing::Values(WordCase{"OpenDefault8N1RtsToggleDtrOff", 0x2000, 8, plat::RtsControlToggle,
                               plat::DtrControlDisable, 0, 0, 0, 0xFFFF2000u},
                      WordCase{"DataBitsFieldOneIsSeven", 0x0001, 7, plat::RtsControlDisable,
                               plat::DtrControlDisable, 0, 0, 0, 0xFFFF0001u},
                      WordCase{"FieldThreeKeepsRtsDtrDsr", 0xFC00, 8, plat::RtsControlHandshake,
                               plat::DtrControlEnable, 0, 0, 0, 0xFFFF7000u},
                      WordCase{"CtsAndDsrSensitivity", 0x0500, 8, plat::RtsControlDisable,
                               plat::DtrControlDisable, 1, 1, 0, 0xFFFF0500u},
                      WordCase{"DsrHandshakeReadsTwo", 0x0800, 8, plat::RtsControlDisable,
                               plat::DtrControlDisable, 0, 0, 1, 0xFFFF0800u}),
    [](const auto &row) { return std::string(row.param.name); });

// Result codes of open and of I/O on a port that is not open.
TEST_F(SerialDriver, OpenAnswersByDeviceAndHolder) {
    uint8_t buffer[4] = {};
    uint32_t count = 55;
    EXPECT_EQ(ioRead(&channel, buffer, 4, &count), IoNotOpen);
    EXPECT_EQ(ioWrite(&channel, buffer, 4, &count), IoNotOpen);
    EXPECT_EQ(count, 55u);
    EXPECT_EQ(ioControl(&channel, FlushRead, uint32_t(0)), IoNoOperation);
    EXPECT_EQ(ioOpen(&channel), IoOk);
    EXPECT_EQ(ioOpen(&channel), IoAlreadyOpen);
    PortChannel second{};
    const struct {
        const char *name;
        int32_t result;
        uint32_t lastError;
    } cases[] = {{"COMT", IoAccessDenied, plat::errorAccessDenied},
                 {"COMNOSUCHDEVICE", IoNotFound, plat::errorFileNotFound},
                 {"COM0", IoNotFound, plat::errorFileNotFound},
                 {"COM257", IoNotFound, plat::errorFileNotFound},
                 {"COMptmx", IoOk, 0}};
    for (const auto &c : cases) {
        serialInstall(&second, c.name);
        EXPECT_EQ(ioOpen(&second), c.result) << c.name;
        EXPECT_EQ(second.driver.serial.lastError, c.lastError) << c.name;
        serialRelease(&second);
    }
    std::string full(serialPortNameSize, 'C');
    serialInstall(&second, full.c_str());
    EXPECT_EQ(ioOpen(&second), IoFailed);
    EXPECT_EQ(second.driver.serial.lastError, plat::errorInvalidName);
    EXPECT_EQ(ioClose(&channel), IoOk);
    EXPECT_EQ(ioClose(&channel), IoNotOpen);
}

TEST_F(SerialDriver, SettingsApplyAtOpenAndCloseRestoresTheDevice) {
    termios before{}, during{}, after{};
    tcgetattr(pty.master, &before);
    uint32_t word = 0x2000 | 2u << line::stopBitsShift, baud = 0; // a pty takes no parity
    ioControl(&channel, SetLineSettings, &word);
    ioControl(&channel, SetBaud, uint32_t(12345)); // no standard rate
    ASSERT_EQ(ioOpen(&channel), IoOk);
    ioControl(&channel, GetBaud, &baud);
    EXPECT_EQ(baud, 12345u);
    tcgetattr(pty.master, &during);
    EXPECT_TRUE(during.c_cflag & CSTOPB);
    EXPECT_FALSE(during.c_lflag & ICANON);
    EXPECT_EQ(ioControl(&channel, SetBaud, uint32_t(19200)), IoOk);
    ioControl(&channel, GetBaud, &baud);
    EXPECT_EQ(baud, 19200u);
    EXPECT_EQ(ioClose(&channel), IoOk);
    tcgetattr(pty.master, &after);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

// Reads end on the byte count, on a gap longer than the character time-out, or at the total
// time-out. Margins are wide: gaps are 0 or 10 ms against 100 ms, and 400 ms against 50 ms.
struct ReadCase {
    const char *name;
    std::vector<std::pair<int, std::string>> chunks; // delay before, bytes
    uint32_t size, charMs, totalMs;
    int32_t result;
    uint32_t count;
};

void PrintTo(const ReadCase &c, std::ostream *os) {
    *os << c.name;
}

class SerialRead : public SerialDriver, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SerialRead, EndsWhereTheTimeOutsSay) {
    const ReadCase &c = GetParam();
    ioControl(&channel, SetCharTimeout, c.charMs);
    ioControl(&channel, SetReadTimeout, c.totalMs);
    ASSERT_EQ(ioOpen(&channel), IoOk);
    std::thread peer([&] {
        for (const auto &[delay, bytes] : c.chunks) {
            usleep(useconds_t(delay) * 1000);
            if (bytes == "close")
                close(std::exchange(pty.master, -1));
            else
                (void)!write(pty.master, bytes.data(), bytes.size());
        }
    });
    uint8_t buffer[16] = {};
    uint32_t count = 99;
    EXPECT_EQ(ioRead(&channel, buffer, c.size, &count), c.result);
    EXPECT_EQ(count, c.count);
    peer.join();
}

INSTANTIATE_TEST_SUITE_P(
    SerialDriver, SerialRead,
    ::testing::Values(
        ReadCase{"ByteCountEndsTheRead", {{0, "abcdefgh"}}, 7, 100, 2000, IoOk, 7},
        ReadCase{"ShortGapIsOneRead", {{0, "abc"}, {10, "defg"}}, 16, 100, 2000, IoOk, 7},
        ReadCase{"LongGapSplitsTheRead", {{0, "abc"}, {400, "defg"}}, 16, 50, 2000, IoOk, 3},
        ReadCase{"SilenceTimesOut", {}, 16, 5, 100, IoTimeout, 0},
        ReadCase{"VanishedPeerIsBroken", {{20, "close"}}, 16, 5, 2000, IoBroken, 0}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(SerialDriver, WriteReachesThePeerAndFlushDiscardsInput) {
    ioControl(&channel, SetWriteTimeout, uint32_t(500));
    ioControl(&channel, SetReadTimeout, uint32_t(50));
    ASSERT_EQ(ioOpen(&channel), IoOk);
    (void)!write(pty.master, "stale", 5);
    usleep(20000);
    EXPECT_EQ(ioControl(&channel, FlushRead, uint32_t(0)), IoOk);
    uint8_t buffer[8] = {};
    uint32_t count = 99;
    EXPECT_EQ(ioRead(&channel, buffer, 8, &count), IoTimeout);
    EXPECT_EQ(ioWrite(&channel, reinterpret_cast<const uint8_t *>("frame"), 5, &count), IoOk);
    EXPECT_EQ(count, 5u);
    char got[8] = {};
    EXPECT_EQ(read(pty.master, got, sizeof got), 5);
    EXPECT_STREQ(got, "frame");
}

} // namespace
