#include "link_fixture.h"

using Bytes = std::vector<uint8_t>;
using LinkTransmit = LinkFixture;
using LinkPacing = LinkFixture;
using LinkSend = LinkFixture;

TEST_F(LinkTransmit, ReadRequestGoesOutWithCrcAndTrace) {
    uint8_t pdu[] = {0x03, 0x00, 0x00, 0x00, 0x0A};
    LinkFrame frame{1, 5, pdu};
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlTransmit(&ctx, &frame), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n\rEnter moddlTransmit().\n\n\rmoddlTx: about to transmit 8 bytes\n\r"
              "(8) 01 03 00 00 00 0a c5 cd \n");
    ASSERT_EQ(script.writes.size(), 1u);
    EXPECT_EQ(script.writes[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(controlValues(FlushRead).size(), 1u); // stale input dropped before the write
}

TEST_F(LinkTransmit, EmptyPduGoesOutAsAddressAndCrc) {
    LinkFrame frame{1, 0, nullptr};
    EXPECT_EQ(moddlTransmit(&ctx, &frame), 0);
    ASSERT_EQ(script.writes.size(), 1u);
    EXPECT_EQ(script.writes[0].size(), 3u);
}

TEST_F(LinkTransmit, PduOf253FillsTheFrame) {
    uint8_t pdu[254] = {};
    LinkFrame frame{1, 253, pdu};
    EXPECT_EQ(moddlTransmit(&ctx, &frame), 0);
    ASSERT_EQ(script.writes.size(), 1u);
    EXPECT_EQ(script.writes[0].size(), 256u);
}

TEST_F(LinkTransmit, PduOf254IsRefusedBeforeTheDriver) {
    uint8_t pdu[254] = {};
    LinkFrame frame{1, 254, pdu};
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlTransmit(&ctx, &frame), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n\rEnter moddlTransmit().\n\rPacket too long.");
    EXPECT_TRUE(script.writes.empty());
    EXPECT_TRUE(script.controls.empty());
}

TEST_F(LinkTransmit, WriteAnswersMapToResultsAndFlushSerialOutput) {
    struct Row {
        int32_t answer;
        int32_t result;
        const char *line;
    };
    for (Row row : {Row{IoTimeout, 1, "\n\rmoddlTransmit timeout"},
                    Row{IoBroken, 2, "\n\rmoddlTransmit broke"},
                    Row{IoShortWrite, 3, "\n\rmoddlTransmit failed"}}) {
        script.controls.clear();
        script.writeResult = row.answer;
        LinkFrame frame{1, 0, nullptr};
        traceOff();
        EXPECT_EQ(moddlTransmit(&ctx, &frame), row.result);
        EXPECT_EQ(controlValues(FlushWrite).size(), 1u);
        if (row.answer == IoBroken)
            continue; // a socket rebuilds: the end-to-end runs show it
        ctx.isSerial = 0;
        script.controls.clear();
        traceOn();
        testing::internal::CaptureStdout();
        EXPECT_EQ(moddlTransmit(&ctx, &frame), row.result);
        std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_EQ(trace.substr(trace.size() - std::string(row.line).size()), row.line);
        EXPECT_TRUE(script.controls.empty()); // a socket gets no flush requests
        ctx.isSerial = 1;
    }
}

TEST_F(LinkTransmit, CountersCountWrittenFramesAndReset) {
    ctx.role = 1;
    uint8_t pdu[] = {0x03};
    PduRecord record{1, pdu};
    traceOff();
    EXPECT_EQ(moddlSend(&ctx, 1, &record), 1);
    EXPECT_EQ(moddlSend(&ctx, 1, &record), 1);
    uint32_t counts[2] = {9, 9};
    moddlGetCounts(&ctx, counts);
    EXPECT_EQ(counts[0], 2u);
    EXPECT_EQ(counts[1], 0u);
    moddlGetLowerCounts(&ctx, counts);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(counts[1], 2u);
    EXPECT_EQ(moddlResetCounts(&ctx), 1);
    moddlGetCounts(&ctx, counts);
    EXPECT_EQ(counts[0] + counts[1], 0u);
    moddlGetLowerCounts(&ctx, counts);
    EXPECT_EQ(counts[0] + counts[1], 0u);
}

TEST_F(LinkPacing, WaitsOutTheRestOfTheInterval) {
    ctx.timing.minIntervalUs = 100000;
    ctx.lastIoTick = 1000;
    fakeClockSet(1030);
    LinkFrame frame{1, 0, nullptr};
    traceOff();
    EXPECT_EQ(moddlTransmit(&ctx, &frame), 0);
    EXPECT_EQ(fakeClockDelays(), std::vector<uint32_t>{70});
    EXPECT_EQ(script.writeTick, 1100u);
    EXPECT_EQ(ctx.lastIoTick, 1100u);
}

TEST_F(LinkPacing, IntervalBelowOneMillisecondNeverWaits) {
    ctx.lastIoTick = 1000;
    moddlPace(&ctx, 999);
    moddlPace(&ctx, 1000);
    EXPECT_EQ(fakeClockDelays(), std::vector<uint32_t>{1});
}

TEST_F(LinkPacing, ElapsedTimeSurvivesTheTickWrap) {
    ctx.lastIoTick = 4294967290u;
    fakeClockSet(10);
    moddlPace(&ctx, 16000); // 16 ms have passed
    EXPECT_TRUE(fakeClockDelays().empty());
    moddlPace(&ctx, 17000);
    EXPECT_EQ(fakeClockDelays(), std::vector<uint32_t>{1});
}

TEST_F(LinkSend, MasterRecordsPeerEvenWhenWriteFails) {
    script.writeResult = IoBroken;
    PduRecord record{0, nullptr};
    traceOff();
    EXPECT_EQ(moddlSend(&ctx, 17, &record), -3);
    EXPECT_EQ(ctx.peerUnit, 17);
    script.writeResult = IoTimeout;
    EXPECT_EQ(moddlSend(&ctx, 18, &record), 0);
    EXPECT_EQ(ctx.peerUnit, 18);
}

TEST_F(LinkSend, SlaveStaysSilentUnlessAddressed) {
    ctx.role = 0;
    ctx.ownUnit = 7;
    PduRecord record{0, nullptr};
    traceOff();
    ctx.peerUnit = 0;
    EXPECT_EQ(moddlSend(&ctx, 7, &record), 0);
    ctx.peerUnit = 8;
    EXPECT_EQ(moddlSend(&ctx, 7, &record), 0);
    EXPECT_TRUE(script.writes.empty());
    ctx.peerUnit = 7;
    EXPECT_EQ(moddlSend(&ctx, 3, &record), 1); // the unit argument is not used
    ASSERT_EQ(script.writes.size(), 1u);
    EXPECT_EQ(script.writes[0][0], 7);
}
