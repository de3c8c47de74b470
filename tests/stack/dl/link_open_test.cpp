#include "link_fixture.h"

#include <cstring>
#include <string>

using LinkTimeouts = LinkFixture;
using LinkOpen = LinkFixture;

TEST_F(LinkTimeouts, NineSixHundredBaudGivesDefaultTimeouts) {
    EXPECT_EQ(moddlSetBaud(&ctx, 9600), 1);
    EXPECT_EQ(controlValues(SetReadTimeout), std::vector<uint32_t>{2332});
    EXPECT_EQ(controlValues(SetWriteTimeout), std::vector<uint32_t>{2332});
    EXPECT_EQ(controlValues(SetCharTimeout), std::vector<uint32_t>{5});
    EXPECT_EQ(controlValues(SetBaud), std::vector<uint32_t>{9600});
}

TEST_F(LinkTimeouts, CharGapFollowsBaudAndIsAtLeastOneMillisecond) {
    moddlSetBaud(&ctx, 19200);
    moddlSetBaud(&ctx, 115200);
    EXPECT_EQ(controlValues(SetCharTimeout), (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(moddlGetBaud(&ctx), 115200);
}

TEST_F(LinkTimeouts, SocketGetsOnlyTheTwoTimeouts) {
    ctx.isSerial = 0;
    moddlSetBaud(&ctx, 9600);
    ASSERT_EQ(script.controls.size(), 2u);
    EXPECT_EQ(script.controls[0].request, SetReadTimeout);
    EXPECT_EQ(script.controls[1].request, SetWriteTimeout);
}

TEST_F(LinkTimeouts, BaudOfZeroOrBelowIsRefused) {
    for (int32_t baud : {0, -1}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(moddlSetBaud(&ctx, baud), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\n\rmoddlSetBaud: invalid baud rate " + std::to_string(baud));
    }
    EXPECT_TRUE(script.controls.empty());
    EXPECT_EQ(ctx.baudRate, 9600);
    EXPECT_EQ(moddlSetBaud(&ctx, 1), 1); // the lowest rate still derives without overflow
}

TEST_F(LinkTimeouts, ResponseTimeoutReplacesFrameAllowance) {
    LinkTimingRequest request{0, 100, 5000};
    EXPECT_EQ(moddlSetTiming(&ctx, &request), 1);
    EXPECT_EQ(controlValues(SetReadTimeout), std::vector<uint32_t>{5000});
    EXPECT_EQ(controlValues(SetWriteTimeout), std::vector<uint32_t>{5000});
    LinkTimingRequest back{9, 9, 9};
    EXPECT_EQ(moddlGetTiming(&ctx, &back), 1);
    EXPECT_EQ(back.waitForCts, 0);
    EXPECT_EQ(back.minIntervalMs, 100);
    EXPECT_EQ(back.timeoutMs, 5000);
    EXPECT_EQ(ctx.timing.minIntervalUs, 100000u);
}

TEST_F(LinkTimeouts, ZeroResponseTimeoutKeepsThePreviousOne) {
    LinkTimingRequest first{0, 0, 5000};
    moddlSetTiming(&ctx, &first);
    LinkTimingRequest none{0, 0, 0};
    moddlSetTiming(&ctx, &none);
    EXPECT_EQ(controlValues(SetReadTimeout), (std::vector<uint32_t>{5000, 5000}));
    LinkTimingRequest back{};
    moddlGetTiming(&ctx, &back);
    EXPECT_EQ(back.timeoutMs, 0);
}

TEST_F(LinkTimeouts, CtsWaitSetsCtsFieldAndRtsToggle) {
    LinkTimingRequest wait{1, 0, 0};
    moddlSetTiming(&ctx, &wait);
    LinkTimingRequest nowait{0, 0, 0};
    moddlSetTiming(&ctx, &nowait);
    EXPECT_EQ(controlValues(SetLineSettings), (std::vector<uint32_t>{0x2100, 0x2000}));
}

TEST_F(LinkOpen, SerialTextLeavesDefaultsInTheSerialState) {
    traceOff();
    EXPECT_EQ(moddlOpen(&ctx, "COM2"), 0); // no such device here
    const SerialState &s = ctx.port.driver.serial;
    EXPECT_STREQ(s.portName, "COM2");
    EXPECT_EQ(s.timeouts.readTotalTimeoutConstant, 2332u);
    EXPECT_EQ(s.timeouts.writeTotalTimeoutConstant, 2332u);
    EXPECT_EQ(s.timeouts.readIntervalTimeout, 5u);
    EXPECT_EQ(s.inQueueSize, 1024u);
    EXPECT_EQ(s.lineState.baudRate, 9600u);
    EXPECT_EQ(s.lineState.fRtsControl, uint32_t(plat::RtsControlToggle));
    EXPECT_EQ(s.lineState.fDtrControl, uint32_t(plat::DtrControlDisable));
    EXPECT_EQ(s.lineState.fOutxCtsFlow, 0u);
    EXPECT_EQ(ctx.isSerial, 1);
    EXPECT_EQ(ctx.baudRate, 9600);
}

TEST_F(LinkOpen, PortTextOfHundredCharactersIsRefused) {
    std::string text(moddlPortTextSize, 'A');
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlOpen(&ctx, text.c_str()), 0);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_NE(trace.find("moddlOpen: port text too long."), std::string::npos);
    EXPECT_EQ(script.opens, 0);
    // Settings applied after the failed open must not call through a stale driver.
    EXPECT_EQ(ioOpen(&ctx.port), IoNoOperation);
    EXPECT_EQ(script.opens, 0);

    text.pop_back();
    testing::internal::CaptureStdout();
    moddlOpen(&ctx, text.c_str());
    trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(trace.find("too long"), std::string::npos);
    EXPECT_STREQ(ctx.portText, text.c_str());
}

TEST_F(LinkOpen, ClientSocketTakesPortTextBehindFirstSlash) {
    ctx.isSerial = 0;
    std::memcpy(ctx.portText,
                "127.0.0.1\0"
                "502/x",
                16);
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlCreateSocket(&ctx), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n\rmoddlCreateSocket: client socket.  Port == 502/x");
    socketRelease(&ctx.port);
}

TEST_F(LinkOpen, CreateSocketRefusesSerialChannel) {
    EXPECT_EQ(moddlCreateSocket(&ctx), 0);
}

TEST_F(LinkOpen, CloseFailureSkipsRelease) {
    script.closeResult = IoNotOpen;
    EXPECT_EQ(moddlClose(&ctx), 0);
    script.closeResult = IoOk;
    ctx.port.driver.serial.portHandle = plat::invalidHandleValue;
    EXPECT_EQ(moddlClose(&ctx), 1);
    EXPECT_EQ(script.closes, 2);
}
