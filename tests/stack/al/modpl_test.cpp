// The application layer over the scripted port: exact PDUs out, decoded records in, the
// slave's checks and exception answers, and the stack interface operations.
#include "stack/al/modpl.h"

#include "stack/dl/crc16.h"
#include "tests/support/fake_clock.h"
#include "tests/support/script_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t slaveUnit = 100;

Bytes rtuFrame(uint8_t unit, const Bytes &pdu) {
    Bytes frame{unit};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    const uint16_t crc = moddlCrc16(uint32_t(frame.size()), frame.data());
    frame.push_back(uint8_t(crc));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

// A context on a scripted socket-like channel, installed in the given role.
struct Station {
    StackContext ctx{};
    ScriptPort script;
    int16_t values[2048] = {};
    ModbusMessage msg{};

    explicit Station(int32_t role) {
        fakeClockReset();
        modplInstall(&ctx, role);
        ctx.link.isSerial = 0;
        ctx.link.baudRate = 9600;
        ctx.link.ownUnit = slaveUnit;
        ctx.link.peerUnit = slaveUnit;
        scriptPortBind(&ctx.link.port, &script);
        msg.values = values;
        msg.capacity = 2048;
    }

    void arrive(uint8_t unit, const Bytes &pdu) { script.reads.push_back({rtuFrame(unit, pdu)}); }

    // The PDU of the one frame written, without address and CRC; empty if none was.
    Bytes sentPdu() const {
        if (script.writes.size() != 1 || script.writes[0].size() < 3)
            return {};
        return Bytes(script.writes[0].begin() + 1, script.writes[0].end() - 2);
    }

    int32_t send(uint32_t flags, uint16_t refType, uint16_t offset, int16_t count) {
        msg.flags = flags;
        msg.refType = refType;
        msg.offset = offset;
        msg.count = count;
        return modplSendRequest(&ctx, slaveUnit, &msg);
    }
};

constexpr uint32_t write1 = msgflag::kindWrite;
constexpr uint32_t writeSingle = msgflag::kindWrite | msgflag::single;

} // namespace

// ---- Encoder --------------------------------------------------------------------------------

TEST(Encoder, ReadHoldingRegistersGoesOutAsTheKnownFrame) {
    Station s(modplMaster);
    s.msg.flags = msgflag::kindRead;
    s.msg.refType = 4;
    s.msg.offset = 0;
    s.msg.count = 10;
    ASSERT_EQ(modplSendRequest(&s.ctx, 1, &s.msg), 1);
    ASSERT_EQ(s.script.writes.size(), 1u);
    EXPECT_EQ(s.script.writes[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
}

TEST(Encoder, ReadPicksFunctionCodeFromReferenceType) {
    const std::pair<uint16_t, uint8_t> table[] = {{4, 3}, {3, 4}, {0, 1}, {1, 2}};
    for (const auto &[refType, code] : table) {
        Station s(modplMaster);
        ASSERT_EQ(s.send(msgflag::kindRead | msgflag::single, refType, 10, 3), 1);
        EXPECT_EQ(s.sentPdu(), (Bytes{code, 0x00, 0x0A, 0x00, 0x03})) << refType;
        EXPECT_EQ(s.msg.flags & msgflag::single, 0u);
    }
}

TEST(Encoder, NoFunctionCodeMeansNothingSent) {
    const std::pair<uint32_t, uint16_t> table[] = {
        {msgflag::kindRead, 2}, {write1, 3}, {write1, 1}};
    for (const auto &[flags, refType] : table) {
        Station s(modplMaster);
        s.msg.functionCode = 0x42;
        EXPECT_EQ(s.send(flags, refType, 0, 1), -3);
        EXPECT_TRUE(s.script.writes.empty());
        EXPECT_EQ(s.msg.functionCode, 0x42);
    }
}

TEST(Encoder, WritesCarryTheirData) {
    Station s(modplMaster);
    s.values[0] = 1;
    s.values[1] = 2;
    ASSERT_EQ(s.send(write1, 4, 10, 2), 1);
    EXPECT_EQ(s.sentPdu(), (Bytes{0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02}));

    Station r(modplMaster);
    r.values[0] = 7;
    ASSERT_EQ(r.send(writeSingle, 4, 10, 5), 1);
    EXPECT_EQ(r.sentPdu(), (Bytes{0x06, 0x00, 0x0A, 0x00, 0x07}));

    Station c(modplMaster);
    const int16_t bits[10] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    std::memcpy(c.values, bits, sizeof bits);
    ASSERT_EQ(c.send(write1, 0, 0, 10), 1);
    EXPECT_EQ(c.sentPdu(), (Bytes{0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x0D, 0x03}));
}

TEST(Encoder, SingleCoilIsSentAsFf00AndConvertedInPlace) {
    Station on(modplMaster);
    on.values[0] = 5;
    ASSERT_EQ(on.send(writeSingle, 0, 10, 1), 1);
    EXPECT_EQ(on.sentPdu(), (Bytes{0x05, 0x00, 0x0A, 0xFF, 0x00}));
    EXPECT_EQ(on.values[0], -256);

    Station off(modplMaster);
    ASSERT_EQ(off.send(writeSingle, 0, 10, 1), 1);
    EXPECT_EQ(off.sentPdu(), (Bytes{0x05, 0x00, 0x0A, 0x00, 0x00}));
}

TEST(Encoder, RegisterWriteSizeLimits) {
    // 123 fit a frame; 124 and 125 are refused by the link; 126 do not fit the PDU buffer.
    const std::pair<int16_t, int32_t> table[] = {{123, 1}, {124, -3}, {125, -3}, {126, -3}};
    for (const auto &[count, result] : table) {
        Station s(modplMaster);
        EXPECT_EQ(s.send(write1, 4, 0, count), result) << count;
        EXPECT_EQ(s.script.writes.size(), count == 123 ? 1u : 0u) << count;
        if (count == 123) {
            EXPECT_EQ(s.sentPdu().size(), 252u);
        }
    }
}

TEST(Encoder, CoilWriteSizeLimits) {
    Station fits(modplMaster);
    EXPECT_EQ(fits.send(write1, 0, 0, 1976), 1);
    Station linkRefuses(modplMaster);
    EXPECT_EQ(linkRefuses.send(write1, 0, 0, 1977), -3);
    Station oneByteCountExceeded(modplMaster);
    EXPECT_EQ(oneByteCountExceeded.send(write1, 0, 0, 2041), -3);
    EXPECT_TRUE(oneByteCountExceeded.script.writes.empty());
}

TEST(Encoder, WriteThatWouldReadPastTheValuesIsRefused) {
    Station negative(modplMaster);
    EXPECT_EQ(negative.send(write1, 4, 0, -1), -3);
    Station atCapacity(modplMaster);
    atCapacity.msg.capacity = 4;
    EXPECT_EQ(atCapacity.send(write1, 4, 0, 4), 1);
    Station pastCapacity(modplMaster);
    pastCapacity.msg.capacity = 4;
    EXPECT_EQ(pastCapacity.send(write1, 4, 0, 5), -3);
    EXPECT_TRUE(negative.script.writes.empty());
    EXPECT_TRUE(pastCapacity.script.writes.empty());
}

TEST(Encoder, KindTwoSendsTheStoredFunctionCode) {
    Station s(modplMaster);
    s.msg.functionCode = 3;
    ASSERT_EQ(s.send(2, 1, 10, 3), 1); // refType 1 would otherwise give code 2
    EXPECT_EQ(s.sentPdu(), (Bytes{0x03, 0x00, 0x0A, 0x00, 0x03}));
}

TEST(Encoder, SlaveExceptionResponseIsCodeAndExceptionByte) {
    Station s(modplSlave);
    s.msg.functionCode = 0x83;
    s.msg.refType = 1;
    ASSERT_EQ(modplSendRequest(&s.ctx, 0, &s.msg), 1);
    EXPECT_EQ(s.sentPdu(), (Bytes{0x83, 0x01}));
    EXPECT_NE(s.msg.flags & msgflag::isResponse, 0u);
}

// ---- Decoder (master) -------------------------------------------------------------------------

namespace {

int32_t decode(Station &s, const Bytes &pdu, int16_t presetCount) {
    s.msg.refType = 4;
    s.msg.offset = 10;
    s.msg.count = presetCount;
    s.arrive(slaveUnit, pdu);
    return modplGetReply(&s.ctx, &s.msg);
}

} // namespace

TEST(Decoder, HoldingRegistersKeepOffsetAndCountWhatArrived) {
    Station s(modplMaster);
    ASSERT_EQ(decode(s, {0x03, 0x06, 0x00, 0x01, 0x00, 0x02, 0xFF, 0xFF}, 3), 1);
    EXPECT_EQ(s.msg.refType, 4);
    EXPECT_EQ(s.msg.offset, 10);
    EXPECT_EQ(s.msg.count, 3);
    EXPECT_EQ(s.values[2], -1);

    Station fewer(modplMaster);
    EXPECT_EQ(decode(fewer, {0x03, 0x04, 0x00, 0x01, 0x00, 0x02}, 3), 1);
    EXPECT_EQ(fewer.msg.count, 2);
}

TEST(Decoder, CutShortOrOddByteCountIsMinusTwo) {
    Station cut(modplMaster);
    EXPECT_EQ(decode(cut, {0x03, 0x04, 0x00, 0x01}, 3), -2);
    EXPECT_EQ(cut.values[0], 1);
    Station odd(modplMaster);
    EXPECT_EQ(decode(odd, {0x03, 0x03, 0x00, 0x01, 0x02}, 3), -2);
    Station empty(modplMaster);
    EXPECT_EQ(decode(empty, {}, 3), -2);
}

TEST(Decoder, CoilsStopAtPresetCountOrAtTheBytesSent) {
    Station s(modplMaster);
    ASSERT_EQ(decode(s, {0x01, 0x02, 0x0D, 0x03}, 10), 1);
    const int16_t expected[10] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    EXPECT_EQ(std::memcmp(s.values, expected, sizeof expected), 0);
    EXPECT_EQ(s.msg.count, 10);
    EXPECT_EQ(s.values[10], 0);

    Station eight(modplMaster);
    ASSERT_EQ(decode(eight, {0x01, 0x01, 0xFF}, 10), 1);
    EXPECT_EQ(eight.msg.count, 8);
    EXPECT_EQ(eight.values[7], 1);
}

TEST(Decoder, NothingIsStoredPastCapacity) {
    Station bits(modplMaster);
    bits.msg.capacity = 4;
    bits.values[4] = 99;
    ASSERT_EQ(decode(bits, {0x01, 0x01, 0xFF}, 10), 1);
    EXPECT_EQ(bits.msg.count, 4);
    EXPECT_EQ(bits.values[4], 99);

    Station regs(modplMaster);
    regs.msg.capacity = 2;
    regs.values[2] = 99;
    ASSERT_EQ(decode(regs, {0x03, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}, 3), 1);
    EXPECT_EQ(regs.msg.count, 2);
    EXPECT_EQ(regs.values[2], 99);
}

TEST(Decoder, ExceptionResponsesAreResultOne) {
    Station s(modplMaster);
    ASSERT_EQ(decode(s, {0x83, 0x02}, 3), 1);
    EXPECT_EQ(s.msg.functionCode, 0x83);
    EXPECT_EQ(s.msg.refType & 0xFF, 2);
    Station bare(modplMaster);
    EXPECT_EQ(decode(bare, {0x83}, 3), 1);
}

TEST(Decoder, UnknownFunctionCodeIsMinusOne) {
    Station s(modplMaster);
    EXPECT_EQ(decode(s, {0x07, 0x00}, 3), -1);
}

TEST(Decoder, WriteMultipleResponseEchoesOffsetAndCount) {
    Station s(modplMaster);
    s.values[0] = 42;
    ASSERT_EQ(decode(s, {0x10, 0x00, 0x0A, 0x00, 0x02}, 0), 1);
    EXPECT_EQ(s.msg.offset, 10);
    EXPECT_EQ(s.msg.count, 2);
    EXPECT_EQ(s.values[0], 42);
}

TEST(Decoder, SilenceIsZero) {
    Station s(modplMaster);
    EXPECT_EQ(modplGetReply(&s.ctx, &s.msg), 0);
}

// ---- Slave role -----------------------------------------------------------------------------

namespace {

struct SlaveCase {
    const char *name;
    uint8_t unit;
    Bytes request;
    int32_t result;
    Bytes answer; // empty: nothing goes out
};

class SlaveRole : public ::testing::TestWithParam<SlaveCase> {};

} // namespace

TEST_P(SlaveRole, ChecksRequestAndAnswersExceptions) {
    const SlaveCase &c = GetParam();
    Station s(modplSlave);
    s.arrive(c.unit, c.request);
    EXPECT_EQ(modplGetReply(&s.ctx, &s.msg), c.result);
    EXPECT_EQ(s.sentPdu(), c.answer);
    if (c.answer.empty()) {
        EXPECT_TRUE(s.script.writes.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SlaveRole,
    ::testing::Values(
        SlaveCase{"HoldingOverLimit", slaveUnit, {0x03, 0x00, 0x00, 0x00, 0x7E}, 0, {0x83, 0x01}},
        SlaveCase{"HoldingAtLimit", slaveUnit, {0x03, 0x00, 0x00, 0x00, 0x7D}, 1, {}},
        SlaveCase{"InputsOverLimit", slaveUnit, {0x02, 0x00, 0x00, 0x07, 0xD1}, 0, {0x82, 0x01}},
        SlaveCase{"InputsAtLimit", slaveUnit, {0x02, 0x00, 0x00, 0x07, 0xD0}, 1, {}},
        SlaveCase{"UnknownFunction", slaveUnit, {0x07}, 0, {0x87, 0x01}},
        SlaveCase{"DataShortOfQuantity",
                  slaveUnit,
                  {0x10, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x05},
                  0,
                  {}},
        SlaveCase{"BroadcastNeverAnswered", 0, {0x03, 0x00, 0x00, 0x00, 0x7E}, 0, {}},
        SlaveCase{"CutShortNotAccepted", slaveUnit, {0x03, 0x00, 0x00, 0x00}, 0, {}},
        SlaveCase{"OtherUnitIgnored", 7, {0x03, 0x00, 0x00, 0x00, 0x01}, 0, {}}),
    [](const ::testing::TestParamInfo<SlaveCase> &p) { return std::string(p.param.name); });

TEST(SlaveRoleCoils, WriteMultipleCoilsIsBoundedByCapacity) {
    Station s(modplSlave);
    s.msg.capacity = 8;
    s.values[8] = 99;
    s.arrive(slaveUnit, {0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0xFF, 0x03});
    EXPECT_EQ(modplGetReply(&s.ctx, &s.msg), 0);
    EXPECT_EQ(s.values[8], 99);
    EXPECT_TRUE(s.script.writes.empty());
}

// ---- Stack interface ----------------------------------------------------------------------

TEST(StackInterface, InstallAboveMasterWritesOnlyTheRole) {
    StackContext ctx{};
    ctx.typeLimits[4] = {7, 0};
    ctx.link.role = 1;
    ctx.link.isOpen = 1;
    EXPECT_EQ(modplInstall(&ctx, 2), 0);
    EXPECT_EQ(ctx.alRole, 2);
    EXPECT_EQ(ctx.typeLimits[4].maxCount, 7);
    EXPECT_EQ(ctx.link.isOpen, 1);
    EXPECT_EQ(modplInstall(&ctx, 1), 1);
    EXPECT_EQ(ctx.typeLimits[4].maxCount, 125);
    EXPECT_EQ(ctx.link.isOpen, 0);
}

TEST(StackInterface, RoleZeroAndMinusOneAreSlaves) {
    for (int32_t role : {0, -1}) {
        Station s(role);
        s.arrive(slaveUnit, {0x07});
        EXPECT_EQ(modplGetReply(&s.ctx, &s.msg), 0);
        EXPECT_EQ(s.sentPdu(), (Bytes{0x87, 0x01})) << role;
    }
}

TEST(StackInterface, SettingsRoundTrip) {
    Station s(modplMaster);
    const StackSettings in{0, 5000, 100};
    ASSERT_EQ(modplSetSettings(&s.ctx, &in), 1);
    StackSettings out{9, 9, 9};
    EXPECT_EQ(modplGetSettings(&s.ctx, &out), 1);
    EXPECT_EQ(out.waitForCts, 0);
    EXPECT_EQ(out.timeoutMs, 5000);
    EXPECT_EQ(out.minIntervalMs, 100);
}

TEST(StackInterface, SettingsAreSafeAfterAFailedOpen) {
    StackContext ctx;
    std::memset(static_cast<void *>(&ctx), 0xA5, sizeof ctx);
    modplInstall(&ctx, modplMaster);
    const std::string tooLong(moddlPortTextSize + 10, 'C');
    ASSERT_EQ(modplOpen(&ctx, tooLong.c_str(), 1), 0);
    StackSettings out{9, 9, 9};
    EXPECT_EQ(modplGetSettings(&ctx, &out), 1);
    EXPECT_EQ(out.timeoutMs, 0);
    const StackSettings in{0, 5000, 100};
    modplSetSettings(&ctx, &in);
    EXPECT_EQ(modplGetSettings(&ctx, &out), 1);
}

TEST(StackInterface, BaudFollowsTheLink) {
    Station s(modplMaster);
    EXPECT_EQ(modplSetBaud(&s.ctx, 19200), 1);
    EXPECT_EQ(modplGetBaud(&s.ctx), 19200);
    EXPECT_EQ(modplSetBaud(&s.ctx, 0), 0);
    EXPECT_EQ(modplGetBaud(&s.ctx), 19200);
}

TEST(StackInterface, UnitAddressLimit) {
    Station s(modplSlave);
    EXPECT_EQ(modplSetUnit(&s.ctx, 247), 1);
    EXPECT_EQ(s.ctx.link.ownUnit, 247);
    EXPECT_EQ(modplSetUnit(&s.ctx, 248), 0);
    EXPECT_EQ(s.ctx.link.ownUnit, 247);
    EXPECT_EQ(modplSetUnit(&s.ctx, 256), 1);
    EXPECT_EQ(s.ctx.link.ownUnit, 0);
}

TEST(StackInterface, CountsSuccessfulSends) {
    Station s(modplMaster);
    s.ctx.alCounts[0] = 5;
    s.ctx.alCounts[1] = 5;
    ASSERT_EQ(modplResetCounts(&s.ctx), 1);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(s.send(msgflag::kindRead, 4, 0, 1), 1);
    EXPECT_EQ(s.send(msgflag::kindRead, 2, 0, 1), -3);
    uint32_t counts[2] = {9, 9};
    EXPECT_EQ(modplGetCounts(&s.ctx, counts), 1);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(counts[1], 3u);
}
