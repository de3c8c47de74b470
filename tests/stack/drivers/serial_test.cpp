#include "stack/drivers/port.h"

#include <gtest/gtest.h>

class SerialDriver : public ::testing::Test {
protected:
    void SetUp() override { serialInstall(&channel, "COM2"); }
    const SerialState &state() const { return channel.driver.serial; }
    PortChannel channel{};
};

TEST_F(SerialDriver, InstallWritesDefaults) {
    EXPECT_STREQ(state().portName, "COM2");
    EXPECT_EQ(state().portHandle, plat::invalidHandleValue);
    EXPECT_EQ(state().lineState.dcbLength, 28u);
    EXPECT_EQ(state().lineState.fOutxCtsFlow, 1u);
    EXPECT_EQ(state().lineState.fRtsControl, uint32_t(plat::RtsControlHandshake));
    EXPECT_EQ(state().lineState.fDtrControl, uint32_t(plat::DtrControlEnable));
    EXPECT_EQ(state().lineState.xonChar, 0x11);
    EXPECT_EQ(state().lineState.xoffChar, 0x13);
    EXPECT_EQ(state().timeouts.readIntervalTimeout, 100u);
    EXPECT_EQ(state().timeouts.readTotalTimeoutConstant, 0xFFFFFFFFu);
}

TEST_F(SerialDriver, NameFillingTheFieldIsRefusedAtOpen) {
    std::string name(serialPortNameSize, 'x');
    serialInstall(&channel, name.c_str());
    EXPECT_EQ(ioOpen(&channel), IoFailed);
    EXPECT_EQ(state().lastError, plat::errorInvalidName);
}

TEST_F(SerialDriver, QueueSizesAnswerFailedAndStay) {
    EXPECT_EQ(ioControl(&channel, SetInQueueSize, uint32_t(4096)), IoFailed);
    EXPECT_EQ(ioControl(&channel, SetOutQueueSize, uint32_t(4096)), IoFailed);
    uint32_t in = 0, out = 0;
    EXPECT_EQ(ioControl(&channel, GetInQueueSize, &in), IoOk);
    EXPECT_EQ(ioControl(&channel, GetOutQueueSize, &out), IoOk);
    EXPECT_EQ(in, 1024u);
    EXPECT_EQ(out, 1024u);
}

TEST_F(SerialDriver, SettingsOnClosedPortAreStored) {
    EXPECT_EQ(ioControl(&channel, SetBaud, uint32_t(19200)), IoOk);
    EXPECT_EQ(ioControl(&channel, SetReadTimeout, uint32_t(2332)), IoOk);
    EXPECT_EQ(ioControl(&channel, SetCharTimeout, uint32_t(5)), IoOk);
    uint32_t baud = 0, read = 0, gap = 0;
    ioControl(&channel, GetBaud, &baud);
    ioControl(&channel, GetReadTimeout, &read);
    ioControl(&channel, GetCharTimeout, &gap);
    EXPECT_EQ(baud, 19200u);
    EXPECT_EQ(read, 2332u);
    EXPECT_EQ(gap, 5u);
}

TEST_F(SerialDriver, UnknownRequestsAnswerFour) {
    for (int32_t request : {0, 1, 6, 255, 268, 512, -1})
        EXPECT_EQ(ioControl(&channel, request, uint32_t(0)), IoUnknownRequest) << request;
}

TEST_F(SerialDriver, FlushOnClosedPortIsAnInvalidHandle) {
    EXPECT_EQ(ioControl(&channel, FlushRead, uint32_t(0)), IoNoOperation);
    EXPECT_EQ(ioControl(&channel, FlushWrite, uint32_t(0)), IoNoOperation);
    EXPECT_EQ(state().lastError, plat::errorInvalidHandle);
}

TEST_F(SerialDriver, OpenDefaultWordRoundTrips) {
    uint32_t word = line::openDefault | 0xABCD0000u;
    EXPECT_EQ(ioControl(&channel, SetLineSettings, &word), IoOk);
    EXPECT_EQ(state().lineState.byteSize, 8);
    EXPECT_EQ(state().lineState.fRtsControl, uint32_t(plat::RtsControlToggle));
    EXPECT_EQ(state().lineState.fDtrControl, uint32_t(plat::DtrControlDisable));
    EXPECT_EQ(state().lineState.fOutxCtsFlow, 0u);
    uint32_t back = 0xFFFFFFFFu;
    ioControl(&channel, GetLineSettings, &back);
    EXPECT_EQ(back, 0xFFFF2000u); // bits 16-31 untouched
}

TEST_F(SerialDriver, DataBitsFieldCountsDownFromEight) {
    uint32_t word = 0;
    ioControl(&channel, SetLineSettings, &word);
    EXPECT_EQ(state().lineState.byteSize, 8);
    word = 1;
    ioControl(&channel, SetLineSettings, &word);
    EXPECT_EQ(state().lineState.byteSize, 7);
}

TEST_F(SerialDriver, RtsFieldThreeLeavesRts) {
    uint32_t word = 3u << line::rtsShift | 3u << line::dtrShift | 3u << line::dsrShift;
    ioControl(&channel, SetLineSettings, &word);
    EXPECT_EQ(state().lineState.fRtsControl, uint32_t(plat::RtsControlHandshake));
    EXPECT_EQ(state().lineState.fDtrControl, uint32_t(plat::DtrControlEnable));
}

TEST_F(SerialDriver, RtsHandshakeLeavesCallersRtsBits) {
    uint32_t word = line::rtsMask;
    ioControl(&channel, GetLineSettings, &word);
    EXPECT_EQ(word & line::rtsMask, line::rtsMask);
    word = 0;
    ioControl(&channel, GetLineSettings, &word);
    EXPECT_EQ(word & line::rtsMask, 0u);
    EXPECT_EQ(word & line::ctsMask, 1u << line::ctsShift);
    EXPECT_EQ(word & line::dtrMask, 1u << line::dtrShift);
}

TEST_F(SerialDriver, DsrFieldMapsBothWays) {
    uint32_t word = 1u << line::dsrShift;
    ioControl(&channel, SetLineSettings, &word);
    EXPECT_EQ(state().lineState.fDsrSensitivity, 1u);
    word = 2u << line::dsrShift;
    ioControl(&channel, SetLineSettings, &word);
    EXPECT_EQ(state().lineState.fOutxDsrFlow, 1u);
    EXPECT_EQ(state().lineState.fDsrSensitivity, 0u);
    uint32_t back = 0;
    ioControl(&channel, GetLineSettings, &back);
    EXPECT_EQ(back & line::dsrMask, 2u << line::dsrShift);
}

TEST_F(SerialDriver, ClosedPortRefusesIo) {
    uint8_t buffer[4] = {};
    uint32_t count = 55;
    EXPECT_EQ(ioOpen(&channel), IoNotFound);
    EXPECT_EQ(ioClose(&channel), IoNotOpen);
    EXPECT_EQ(ioRead(&channel, buffer, 4, &count), IoNotOpen);
    EXPECT_EQ(ioWrite(&channel, buffer, 4, &count), IoNotOpen);
    EXPECT_EQ(count, 55u);
    EXPECT_EQ(serialRelease(&channel), 0);
}
