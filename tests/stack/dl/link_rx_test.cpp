#include "link_fixture.h"

#include "stack/dl/crc16.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes reply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
const Bytes replyPdu = {0x03, 0x02, 0x00, 0x2A};
const Bytes readRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const Bytes writeRequest = {0x01, 0x10, 0x00, 0x00, 0x00, 0x02, 0x04,
                            0x00, 0x0A, 0x00, 0x0B, 0x92, 0x6A};
const Bytes writeReply = {0x01, 0x10, 0x00, 0x00, 0x00, 0x02, 0x41, 0xC8};

Bytes join(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A good frame whose PDU is one byte more than the 256 a receive can take.
Bytes overlongFrame() {
    Bytes frame(1 + 257, 0x11);
    frame[0] = 0x01;
    uint16_t crc = moddlCrc16(uint32_t(frame.size()), frame.data());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

struct RecoveryCase {
    const char *name;
    std::vector<Bytes> reads;
    int32_t result;
    Bytes pdu;
    std::vector<std::string> after; // trace behind each read's own receive lines
};

std::vector<RecoveryCase> recoveryCases() {
    const Bytes tenBytes = {0x01, 0x03, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
    return {
        {"WholeReplyIsAccepted", {reply}, 0, replyPdu, {""}},
        {"JoinedRequestAndReplyStripsRequest",
         {join(readRequest, reply)},
         0,
         replyPdu,
         {"\n\rmoddlRx: bad CRC: l=15\n\rTry to strip off first frame.\n\rTried.  i==8, "
          "crc=0000\n\rCRC Check found end of first frame.  Copy 7 remaining bytes."}},
        {"ReplyInLastEightBytesIsTaken",
         {join(writeRequest, writeReply)},
         0,
         {0x10, 0x00, 0x00, 0x00, 0x02},
         {"\n\rmoddlRx: bad CRC: l=21\n\rmoddlRx: Found Modbus RTU frame in last 8 bytes."}},
        {"ReplySplitFourPlusThreeIsJoined",
         {Bytes(reply.begin(), reply.begin() + 4), Bytes(reply.begin() + 4, reply.end())},
         0,
         replyPdu,
         {"\n\rmoddlRx: bad CRC: l=4\n\rmoddlRx: Maybe fragmented frame: try again", ""}},
        {"ReplySplitFourOneTwoIsGivenUp",
         {Bytes(reply.begin(), reply.begin() + 4), Bytes(reply.begin() + 4, reply.begin() + 5),
          Bytes(reply.begin() + 5, reply.end())},
         1,
         {},
         {"\n\rmoddlRx: bad CRC: l=4\n\rmoddlRx: Maybe fragmented frame: try again",
          "\n\rmoddlRx: bad CRC: l=5\n\rmoddlRx: Couldn't make sense of frame.  l==5"}},
        {"TenBytesWithoutFrameFailWithoutRetry",
         {tenBytes, reply},
         1,
         {},
         {"\n\rmoddlRx: bad CRC: l=10\n\rTry to strip off first frame.\n\rTried.  i==10, "
          "crc=81b5\n\rCheck failed."}},
        {"TwoRepliesJoinedKeepsSecond",
         {join(reply, reply)},
         0,
         replyPdu,
         {"\n\rmoddlRx: bad CRC: l=14\n\rTry to strip off first frame.\n\rTried.  i==7, "
          "crc=0000\n\rCRC Check found end of first frame.  Copy 7 remaining bytes."}},
        {"TrailingZeroLengthensPdu",
         {join(reply, {0x00})},
         0,
         {0x03, 0x02, 0x00, 0x2A, 0x39},
         {""}},
        {"FfFfIsABadFrame",
         {{0xFF, 0xFF}},
         1,
         {},
         {"\n\rmoddlRx: bad CRC: l=2\n\rmoddlRx: Maybe fragmented frame: try again"}},
        {"OverlongFrameIsRefused",
         {overlongFrame()},
         1,
         {},
         {"\n\rmoddlRx: frame too long for the buffer.  l==260"}},
    };
}

class LinkRecovery : public LinkFixture, public ::testing::WithParamInterface<RecoveryCase> {};

} // namespace

TEST_P(LinkRecovery, RecoversByCrcAlone) {
    const RecoveryCase &c = GetParam();
    for (const Bytes &bytes : c.reads)
        script.reads.push_back(ScriptChunk{bytes, 0, IoOk});
    uint8_t pdu[moddlMaxFrame + 8];
    std::fill(std::begin(pdu), std::end(pdu), 0xEE);
    LinkFrame frame{0x77, moddlMaxFrame, pdu};

    testing::internal::CaptureStdout();
    int32_t result = moddlRx(&ctx, &frame);
    std::string trace = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.result);
    std::string expected;
    for (size_t i = 0; i < c.after.size(); ++i)
        expected += receivedTrace(c.reads[i]) + c.after[i];
    EXPECT_EQ(trace, expected);
    EXPECT_EQ(script.nextRead, c.after.size());
    if (c.result == 0) {
        EXPECT_EQ(frame.unit, 1);
        ASSERT_EQ(frame.pduLength, c.pdu.size());
        EXPECT_EQ(Bytes(pdu, pdu + frame.pduLength), c.pdu);
    } else {
        EXPECT_EQ(frame.unit, 0x77);
    }
    EXPECT_EQ(pdu[moddlMaxFrame], 0xEE); // nothing written past the capacity
}

INSTANTIATE_TEST_SUITE_P(Table, LinkRecovery, ::testing::ValuesIn(recoveryCases()),
                         [](const testing::TestParamInfo<RecoveryCase> &row) {
                             return std::string(row.param.name);
                         });

using LinkReceive = LinkFixture;

TEST_F(LinkReceive, FirstReadAsksCapacityPlusSixteenThenTheRest) {
    script.reads.push_back(ScriptChunk{Bytes(reply.begin(), reply.begin() + 4), 0, IoOk});
    script.reads.push_back(ScriptChunk{Bytes(reply.begin() + 4, reply.end()), 0, IoOk});
    uint8_t pdu[moddlMaxFrame];
    PduRecord record{0, pdu};
    EXPECT_EQ(moddlReceive(&ctx, &record), 0); // peerUnit 0 is not unit 1
    EXPECT_EQ(script.readSizes, (std::vector<uint32_t>{272, 268}));
}

TEST_F(LinkReceive, TimeoutIsSilentAndStampsTheTick) {
    script.reads.push_back(ScriptChunk{{}, 2332, IoTimeout});
    uint8_t pdu[moddlMaxFrame];
    LinkFrame frame{0, moddlMaxFrame, pdu};
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlRx(&ctx, &frame), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ctx.lastIoTick, 1000u + 2332u);
}

TEST_F(LinkReceive, SerialBrokeReportsTwoWithoutRebuild) {
    script.reads.push_back(ScriptChunk{{}, 0, IoBroken});
    uint8_t pdu[moddlMaxFrame];
    LinkFrame frame{0, moddlMaxFrame, pdu};
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlRx(&ctx, &frame), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n\rmoddlRx: broke\n\r");
    EXPECT_EQ(script.closes, 0);
}

TEST_F(LinkReceive, OtherReadFailureFlushesSerialInput) {
    script.reads.push_back(ScriptChunk{{}, 0, IoNotOpen});
    uint8_t pdu[moddlMaxFrame];
    LinkFrame frame{0, moddlMaxFrame, pdu};
    testing::internal::CaptureStdout();
    EXPECT_EQ(moddlRx(&ctx, &frame), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n\rmoddlRx: failed");
    EXPECT_EQ(controlValues(FlushRead).size(), 1u);
}

TEST_F(LinkReceive, MasterDropsFrameFromAnotherUnit) {
    ctx.peerUnit = 5;
    script.reads.push_back(ScriptChunk{reply, 0, IoOk});
    uint8_t pdu[moddlMaxFrame];
    PduRecord record{99, pdu};
    EXPECT_EQ(moddlReceive(&ctx, &record), 0);
    EXPECT_EQ(record.length, 0);
}

TEST_F(LinkReceive, MasterTakesFrameFromAddressedUnit) {
    ctx.peerUnit = 1;
    script.reads.push_back(ScriptChunk{reply, 0, IoOk});
    uint8_t pdu[moddlMaxFrame];
    PduRecord record{0, pdu};
    EXPECT_EQ(moddlReceive(&ctx, &record), 1);
    EXPECT_EQ(record.length, 4);
}

TEST_F(LinkReceive, SlaveTakesBroadcastAndRemembersIt) {
    ctx.role = 0;
    ctx.ownUnit = 7;
    ctx.peerUnit = 7;
    Bytes broadcast = {0x00, 0x06, 0x00, 0x01, 0x00, 0x03};
    uint16_t crc = moddlCrc16(uint32_t(broadcast.size()), broadcast.data());
    broadcast.push_back(uint8_t(crc & 0xFF));
    broadcast.push_back(uint8_t(crc >> 8));
    script.reads.push_back(ScriptChunk{broadcast, 0, IoOk});
    uint8_t pdu[moddlMaxFrame];
    PduRecord record{0, pdu};
    EXPECT_EQ(moddlReceive(&ctx, &record), 1);
    EXPECT_EQ(ctx.peerUnit, 0);
    PduRecord answer{1, pdu};
    EXPECT_EQ(moddlSend(&ctx, 7, &answer), 0); // a broadcast is never answered
    EXPECT_TRUE(script.writes.empty());
}
