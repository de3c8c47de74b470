// The application layer over the scripted port: frame buffer bounds, the encoder's and the
// decoder's own checks and the slave role, which the front end does not reach.
#include "stack/al/fb.h"
#include "stack/al/ident.h"
#include "stack/al/modpl.h"
#include "stack/trace/trace.h"
#include "tests/support/support.h"

namespace {

using Fb = FrameBuffer;

// The value a get read, or -1 when it failed and left its destination alone.
template <typename T, typename Get> int64_t got(Fb *fb, Get get) {
    T v = 0x55;
    return get(fb, &v) == 1 ? int64_t(v) : v == 0x55 ? -1 : -2;
}

// Runs op on a frame buffer over these bytes and limit: its result (-9: the set-up failed),
// then @position: bytes.
std::function<std::string()> fb(uint32_t limit, Bytes input, int64_t (*op)(Fb *)) {
    return [=] {
        uint8_t data[260] = {};
        std::copy(input.begin(), input.end(), data);
        Fb f;
        const int64_t result = fbInit(&f, limit, data) == 1 ? op(&f) : -9;
        const uint32_t at = fbPosition(&f);
        return str(result) + " @" + str(at) + ":" + hex(data, std::min(at, 4u));
    };
}

int64_t putWordsTillFull(Fb *f) {
    int n = 0;
    while (fbPutWord(f, 0x1234))
        ++n;
    return n;
}

INSTANTIATE_TEST_SUITE_P(
    FrameBuffer, Rows,
    testing::Values(
        Row{"LimitOf256Holds128Words", fb(256, {}, putWordsTillFull), "128 @256: 12 34 12 34"},
        Row{"GetPastTheLimitFailsAndLeavesTheDestination",
            fb(0, {1}, [](Fb *f) { return got<uint8_t>(f, fbGetByte); }), "-1 @0:"},
        Row{"Var15Of127TakesOneByteAnd128Two",
            fb(3, {}, [](Fb *f) -> int64_t { return fbPutVar15(f, 127) && fbPutVar15(f, 128); }),
            "1 @3: 7f 80 80"},
        Row{"SkipOfOnePastTheRestFailsAndOfExactlyTheRestReachesTheEnd",
            fb(4, {}, [](Fb *f) -> int64_t { return !fbSkip(f, 5) && fbSkip(f, 4) && fbAtEnd(f); }),
            "1 @4: 00 00 00 00"},
        Row{"ClearedLimitLeavesNoRoom",
            fb(4, {}, [](Fb *f) -> int64_t { return fbClearLimit(f) && !fbPutByte(f, 1); }),
            "1 @0:"},
        Row{"Var15CutAfterItsFirstByteFails",
            fb(1, {0x81}, [](Fb *f) { return got<uint16_t>(f, fbGetVar15); }), "-2 @1: 81"},
        Row{"Var31From0x8000TakesTwoWords",
            fb(4, {}, [](Fb *f) -> int64_t { return fbPutVar31(f, 0x12345); }),
            "1 @4: 80 01 23 45"},
        Row{"Var31OfTwoWordsIsRead",
            fb(4, {0x80, 1, 0x23, 0x45}, [](Fb *f) { return got<uint32_t>(f, fbGetVar31); }),
            "74565 @4: 80 01 23 45"}),
    rowName);

constexpr uint8_t unit = 100;
constexpr uint32_t wr = msgflag::kindWrite;

// A context on a scripted socket-like channel; values start at 99 so untouched ones show.
struct Station {
    StackContext ctx{};
    ScriptPort script;
    int16_t values[16];
    ModbusMessage msg{};
    explicit Station(int32_t role) {
        fakeClockReset();
        modplInstall(&ctx, role);
        ctx.link.ownUnit = ctx.link.peerUnit = unit;
        scriptPortBind(&ctx.link.port, &script);
        std::fill(std::begin(values), std::end(values), 99);
        msg = ModbusMessage{0, 3, 4, 10, 3, values, 8};
    }
    // The result, then each PDU written (no address, no CRC): its length and first bytes.
    std::string sent(int32_t result) const {
        std::string text = str(result);
        for (const Bytes &w : script.writes)
            text += " n" + str(w.size() - 3) + hex(w.data() + 1, std::min<size_t>(w.size() - 3, 8));
        return text;
    }
};

// Sends a request with these flags, type, count and values' capacity; what went out and the
// message's function code afterwards (stored as given, 3 unless said).
std::function<std::string()> request(uint32_t flags, uint16_t type, int16_t count,
                                     uint16_t capacity, uint8_t code = 3) {
    return [=] {
        Station s(modplMaster);
        s.msg = ModbusMessage{flags, code, type, 10, count, s.values, capacity};
        const int32_t r = modplSendRequest(&s.ctx, unit, &s.msg);
        return s.sent(r) + " fc" + str(s.msg.functionCode);
    };
}

// The length a request of these flags, type, count and code gives its reply:
// code:countAt:length.
std::function<std::string()> replyLength(uint32_t flags, uint16_t type, int16_t count,
                                         uint8_t code = 3) {
    return [=] {
        Station s(modplMaster);
        s.msg = ModbusMessage{flags, code, type, 10, count, s.values, 16};
        modplSendRequest(&s.ctx, unit, &s.msg);
        const LinkLength &l = s.ctx.link.lengths[0];
        return s.ctx.link.lengthCount ? str(l.code) + ":" + str(l.countAt) + ":" + str(l.length)
                                      : "none";
    };
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, Rows,
    testing::Values(
        Row{"WriteOfInputRegistersSendsNothing", request(wr, 3, 1, 8), "-3 fc3"},
        Row{"WriteOfNegativeCountIsRefused", request(wr, 4, -1, 8), "-3 fc16"},
        Row{"WriteOfTheWholeCapacityIsSent", request(wr, 4, 4, 4),
            "1 n14 10 00 0a 00 04 08 00 63 fc16"},
        Row{"WritePastTheCapacityIsRefused", request(wr, 4, 5, 4), "-3 fc16"},
        Row{"StoredCoilWriteMarkedSingleIsBoundedByItsCount",
            request(3 | msgflag::single, 0, 64, 1, 15), "-3 fc15"},
        Row{"StoredCoilWriteMarkedSingleRefusesANegativeCount",
            request(3 | msgflag::single, 0, -5, 8, 15), "-3 fc15"},
        Row{"ReadOf3RegistersAwaits11Bytes", replyLength(0, 4, 3), "3:0:11"},
        Row{"ReadOf125InputRegistersAwaits255Bytes", replyLength(0, 3, 125), "4:0:255"},
        Row{"ReadOf126RegistersAwaitsNoLength", replyLength(0, 4, 126), "none"},
        Row{"ReadOf2008InputsAwaitsAWhole256ByteFrame", replyLength(0, 1, 2008), "2:0:256"},
        Row{"ReadOf8CoilsAwaits6Bytes", replyLength(0, 0, 8), "1:0:6"},
        Row{"ReadOf9CoilsAwaits7Bytes", replyLength(0, 0, 9), "1:0:7"},
        Row{"WriteOfCoilsAwaits8Bytes", replyLength(wr, 0, 2), "15:0:8"},
        Row{"WriteOfOneCoilAwaits8Bytes", replyLength(wr | msgflag::single, 0, 1), "5:0:8"},
        Row{"WriteOfRegistersAwaits8Bytes", replyLength(wr, 4, 2), "16:0:8"},
        Row{"WriteOfOneRegisterAwaits8Bytes", replyLength(wr | msgflag::single, 4, 1), "6:0:8"},
        Row{"StoredReadWithoutACountAwaitsNoLength", replyLength(2 | msgflag::single, 4, 3),
            "none"}),
    rowName);

// Takes this PDU from this unit with the values' capacity set. As master: the result, the
// message's code, type, offset and count, and its first values; as slave: what it sent.
std::function<std::string()> reply(uint8_t from, uint16_t capacity, Bytes pdu,
                                   int32_t role = modplMaster, uint32_t flags = 0) {
    return [=]() -> std::string {
        Station s(role);
        s.msg.capacity = capacity, s.msg.flags = flags;
        s.script.reads.push_back({rtuFrame(from, pdu)});
        const int32_t r = modplGetReply(&s.ctx, &s.msg);
        if (role == modplSlave)
            return s.sent(r);
        return Steps() << r << s.msg.functionCode << s.msg.refType << s.msg.offset << s.msg.count
                       << ":" << s.values[0] << s.values[1] << s.values[2];
    };
}

constexpr int32_t slave = modplSlave;

// A write of coils (15) or registers (16) from 0 with this quantity, byte count and data bytes.
Bytes write(uint8_t code, uint16_t quantity, uint8_t byteCount, size_t dataBytes) {
    Bytes pdu{code, 0, 0, uint8_t(quantity >> 8), uint8_t(quantity), byteCount};
    return pdu.resize(pdu.size() + dataBytes, 1), pdu;
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, Rows,
    testing::Values(
        Row{"RegistersStopAtTheCapacity", reply(unit, 2, {3, 6, 0, 1, 0, 2, 0, 3}),
            "1 3 4 10 2 : 1 2 99 "},
        Row{"CutShortIsMinus2", reply(unit, 8, {3, 4, 0, 1}), "-2 3 4 10 1 : 1 99 99 "},
        Row{"WriteAnswerCutShortIsMinus2", reply(unit, 8, {16, 0, 10}, modplMaster, wr),
            "-2 16 4 10 3 : 99 99 99 "},
        Row{"CoilsStopAtTheCapacity", reply(unit, 2, {1, 1, 0xfe}), "1 1 0 10 2 : 0 1 99 "},
        Row{"UnknownFunctionIsMinus1", reply(unit, 8, {7, 0}), "-1 7 4 10 3 : 99 99 99 "},
        Row{"ReplyFromAnotherUnitIsSilence", reply(7, 8, {3, 2, 0, 1}), "0 3 4 10 3 : 99 99 99 "},
        Row{"SlaveTakesAReadOf125Registers", reply(unit, 8, {3, 0, 0, 0, 125}, slave), "1"},
        Row{"SlaveTakesAReadOf2000Inputs", reply(unit, 8, {2, 0, 0, 7, 0xd0}, slave), "1"},
        Row{"SlaveTakesAWriteOf1968Coils", reply(unit, 8, write(15, 1968, 246, 246), slave), "1"},
        Row{"SlaveTakesAWriteOf123Registers", reply(unit, 8, write(16, 123, 246, 246), slave), "1"},
        Row{"SlaveAnswersAByteCountPastTheDataWithException3",
            reply(unit, 8, write(15, 9, 2, 1), slave), "0 n2 8f 03"},
        Row{"SlaveDropsACutShortRequest", reply(unit, 8, {3, 0, 0, 0}, slave), "0"}),
    rowName);

// A request of every function code served, all joined on a serial line and a read after them:
// each is read alone, on its length, so nothing is held after it. Each result and what was held.
std::string slaveByLength() {
    Station s(modplSlave);
    Bytes joined;
    for (const Bytes &pdu : {Bytes{1, 0, 0, 0, 8}, Bytes{2, 0, 0, 0, 8}, Bytes{3, 0, 0, 0, 2},
                             Bytes{4, 0, 0, 0, 2}, Bytes{5, 0, 0, 0xff, 0}, Bytes{6, 0, 0, 0, 7},
                             write(15, 9, 2, 2), write(16, 2, 4, 4), Bytes{3, 0, 0, 0, 1}}) {
        const Bytes frame = rtuFrame(unit, pdu);
        joined.insert(joined.end(), frame.begin(), frame.end());
    }
    s.ctx.link.isSerial = 1, s.script.reads.push_back({joined});
    Steps steps;
    for (int i = 0; i < 9; ++i)
        steps << modplGetReply(&s.ctx, &s.msg) << modplPending(&s.ctx);
    return steps;
}

std::string objects(const IdentDevice &d) {
    std::string text;
    for (uint32_t i = 0; i < identObjects; ++i)
        if (d.present >> i & 1u)
            text += std::string(identObjectName(i)) + "=" +
                    std::string(d.value[i], d.value[i] + d.length[i]) + " ";
    for (uint32_t k = 0; k < d.extraCount; ++k)
        text += hex(&d.extraId[k], 1) + "=" +
                std::string(d.extraValue[k], d.extraValue[k] + d.extraLength[k]) + " ";
    return text + (d.cut != IdentCut::None ? "cut" + str(int(d.cut)) : "");
}

// An identity answer decoded: the result, the exception, then what was stored (the server id
// bytes, or more follows, next, conformity and the objects).
std::function<std::string()> decoded(bool deviceId, Bytes pdu) {
    return [=] {
        IdentDevice d{};
        IdentServerId id{};
        uint8_t exception = 0, next = 0;
        bool more = false;
        const uint32_t n = uint32_t(pdu.size());
        if (!deviceId) {
            const int32_t r = identDecodeServerId(pdu.data(), n, &id, &exception);
            return std::string(Steps() << r << exception << id.length) + hex(id.data, id.length);
        }
        const int32_t r = identDecodeDevice(pdu.data(), n, &d, &exception, &more, &next);
        return std::string(Steps() << r << exception << more << next << d.conformity) + objects(d);
    };
}

// A device answer: header with more follows and next, then objects {id, text}.
Bytes devAnswer(uint8_t more, uint8_t next, std::vector<std::pair<uint8_t, std::string>> objs) {
    Bytes pdu{0x2b, 0x0e, 2, 0x82, more, next, uint8_t(objs.size())};
    for (auto &[id, text] : objs) {
        pdu.push_back(id);
        pdu.push_back(uint8_t(text.size()));
        pdu.insert(pdu.end(), text.begin(), text.end());
    }
    return pdu;
}

// The master asks a unit whose script answers so: what went out, the result and the exception,
// then the objects that came.
std::function<std::string()> ask(bool deviceId, std::vector<Bytes> answers) {
    return [=] {
        Station s(modplMaster);
        for (const Bytes &a : answers)
            s.script.reads.push_back({rtuFrame(unit, a)});
        IdentDevice d{};
        IdentServerId id{};
        uint8_t exception = 0;
        const int32_t r = deviceId ? identAskDevice(&s.ctx, unit, &d, &exception)
                                   : identAskServerId(&s.ctx, unit, &id, &exception);
        return s.sent(r) + " ex" + str(exception) + " " + objects(d);
    };
}

// Conformity 83: after the regular objects the extended ones are asked from 0x80, with a budget
// of requests of their own; here every answer says more follows.
std::vector<Bytes> extendedWithoutEnd() {
    std::vector<Bytes> answers{{0x2b, 0x0e, 2, 0x83, 0, 0, 1, 0, 1, 'A'}};
    for (int i = 0; i < 9; ++i)
        answers.push_back({0x2b, 0x0e, 3, 0x83, 0xff, 0x80, 1, 0x80, 1, 'x'});
    return answers;
}

std::string extendedRequests() {
    std::string text = "1 n4 2b 0e 02 00";
    for (int i = 0; i < 8; ++i)
        text += " n4 2b 0e 03 80";
    return text + " ex0 VendorName=A  80=x  80=x  80=x  80=x  80=x  80=x  80=x  80=x cut4";
}

IdentDevice identityOf(std::vector<std::string> texts) {
    IdentDevice d{};
    for (uint32_t i = 0; i < texts.size(); ++i, d.present = uint8_t(d.present << 1 | 1))
        d.length[i] = uint8_t(texts[i].copy(reinterpret_cast<char *>(d.value[i]), 245));
    return d;
}

const IdentDevice basic = identityOf({"KV", "P1", "1.5"});
const IdentDevice large = identityOf(std::vector<std::string>(7, std::string(60, 'x')));

// A slave serving this identity (and unit 17 beside its own) takes a request to unit to: what
// it sent and the exception it logged.
std::function<std::string()> served(const IdentDevice *identity, Bytes request, uint8_t to = unit) {
    return [=] {
        Station s(modplSlave);
        uint8_t units[32] = {};
        units[17 / 8] = 1u << (17 % 8);
        modplSetUnits(&s.ctx, units);
        identServeFrom(&s.ctx, identity);
        s.script.reads.push_back({rtuFrame(to, request)});
        const int32_t r = modplGetReply(&s.ctx, &s.msg);
        return s.sent(r) + " ex" + str(s.msg.refType & 0xff);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Identity, Rows,
    testing::Values(
        Row{"ServerIdKeepsEveryByte", decoded(false, {0x11, 3, 0xb4, 0xff, 'L'}),
            "1 0 3  b4 ff 4c"},
        Row{"ServerIdCountPastThePduIsCutShort", decoded(false, {0x11, 4, 1, 2, 3}), "-2 0 0 "},
        Row{"ServerIdCountShortOfTheDataIsMalformed", decoded(false, {0x11, 2, 1, 0xff, 3}),
            "-2 0 0 "},
        Row{"ServerIdExceptionGivesItsCode", decoded(false, {0x91, 1}), "2 1 0 "},
        Row{"AnswerOfAnotherFunctionIsMalformed", decoded(false, {0x03, 1, 0}), "-2 0 0 "},
        Row{"DeviceObjectsStoredWithMoreFollowsAndNext",
            decoded(true, devAnswer(0xff, 3, {{0, "Ac"}, {2, "1.0"}, {0x80, "z"}})),
            "1 0 1 3 130 VendorName=Ac MajorMinorRevision=1.0  80=z "},
        Row{"DeviceObjectPastThePduIsCutShort",
            decoded(true, {0x2b, 0x0e, 2, 0x82, 0, 0, 1, 1, 3, 'a', 'b'}), "-2 0 0 0 130 "},
        Row{"DeviceMeiOtherThan14IsMalformed", decoded(true, {0x2b, 0x0d, 1, 1, 0, 0, 0}),
            "-2 0 0 0 0 "},
        Row{"ChainAsksOnFromTheNextObject",
            ask(true, {devAnswer(0xff, 2, {{0, "A"}}), devAnswer(0, 0, {{2, "C"}})}),
            "1 n4 2b 0e 02 00 n4 2b 0e 02 02 ex0 VendorName=A MajorMinorRevision=C "},
        Row{"RegularRefusedWithException3AsksBasic",
            ask(true, {{0xab, 3}, devAnswer(0, 0, {{1, "P"}})}),
            "1 n4 2b 0e 02 00 n4 2b 0e 01 00 ex3 ProductCode=P "},
        Row{"Exception1EndsTheQuestion", ask(true, {{0xab, 1}, devAnswer(0, 0, {{1, "P"}})}),
            "2 n4 2b 0e 02 00 ex1 "},
        Row{"RefusedContinuationKeepsWhatCame",
            ask(true, {devAnswer(0xff, 2, {{0, "A"}}), {0xab, 2}}),
            "1 n4 2b 0e 02 00 n4 2b 0e 02 02 ex2 VendorName=A cut2"},
        Row{"ChainEndsAfterEightRequests",
            ask(true, std::vector<Bytes>(9, devAnswer(0xff, 0, {{0, "A"}}))),
            "1 n4 2b 0e 02 00 n4 2b 0e 02 00 n4 2b 0e 02 00 n4 2b 0e 02 00 n4 2b 0e 02 00 n4 2b 0e "
            "02 00 n4 2b 0e 02 00 n4 2b 0e 02 00 ex0 VendorName=A cut4"},
        Row{"ExtendedObjectsAskedWithEightRequestsOfTheirOwn", ask(true, extendedWithoutEnd()),
            extendedRequests()},
        Row{"ServerIdAskedOfASilentUnitIsNoAnswer", ask(false, {}), "0 n1 11 ex0 "},
        Row{"SlaveAnswersServerIdWithTheUnitAskedAndItsTexts", served(&basic, {0x11}, 17),
            "0 n13 11 0b 11 ff 4b 56 20 50 ex0"},
        Row{"SlaveAnswersNoUnitOutsideItsSet", served(&basic, {0x11}, 18), "0 ex4"},
        Row{"SlaveStreamsBasicFromTheFirstForAnUnknownObject",
            served(&basic, {0x2b, 0x0e, 1, 0x05}), "0 n20 2b 0e 01 81 00 00 03 00 ex0"},
        Row{"SlaveAnswersOneObjectAlone", served(&basic, {0x2b, 0x0e, 4, 2}),
            "0 n12 2b 0e 04 81 00 00 01 02 ex0"},
        Row{"SlaveAnswersAMissingObjectWithException2", served(&basic, {0x2b, 0x0e, 4, 3}),
            "0 n2 ab 02 ex2"},
        Row{"SlaveAnswersAnUnknownCodeWithException3", served(&basic, {0x2b, 0x0e, 5, 0}),
            "0 n2 ab 03 ex3"},
        Row{"SlaveAnswersMei13WithException1", served(&basic, {0x2b, 0x0d, 1, 0}),
            "0 n2 ab 01 ex1"},
        Row{"SlaveWithoutIdentityAnswersException1", served(nullptr, {0x11}), "0 n2 91 01 ex1"},
        Row{"SlaveDropsACutShortRequest", served(&basic, {0x2b, 0x0e, 1}), "0 ex0"},
        Row{"SlaveSaysMoreFollowsAtTheFirstObjectThatDoesNotFit",
            served(&large, {0x2b, 0x0e, 2, 0}), "0 n193 2b 0e 02 82 ff 03 03 00 ex0"}),
    rowName);

// The master sends a request of these flags, type and count (offset 10, values 99) and takes
// this PDU: the result, the first value, and what the trace says did not match.
std::function<std::string()> answered(uint32_t flags, uint16_t type, int16_t count, Bytes pdu) {
    return [=] {
        Station s(modplMaster);
        s.msg = ModbusMessage{flags, 0, type, 10, count, s.values, 16};
        modplSendRequest(&s.ctx, unit, &s.msg);
        s.script.reads.push_back({rtuFrame(unit, pdu)});
        traceOn(), testing::internal::CaptureStdout();
        const std::string outcome = Steps() << modplGetReply(&s.ctx, &s.msg) << s.values[0];
        traceOff();
        const std::string out = testing::internal::GetCapturedStdout();
        return outcome + out.substr(std::min(out.size(), out.find("request: ")));
    };
}

constexpr uint32_t one = wr | msgflag::single;

INSTANTIATE_TEST_SUITE_P(
    Answer, Rows,
    testing::Values(Row{"ExceptionOfAnotherFunctionIsNone", answered(0, 4, 1, {0x84}),
                        "-4 99 request: function code 84, expected 03"},
                    Row{"TwoRegistersForThreeAreNone", answered(0, 3, 3, {4, 4, 0, 1, 0, 2}),
                        "-4 99 request: byte count 4, expected 6"},
                    Row{"NineCoilsInOneByteAreNone", answered(0, 0, 9, {1, 1, 0xff}),
                        "-4 99 request: byte count 1, expected 2"},
                    Row{"EightInputsInTwoBytesAreNone", answered(0, 1, 8, {2, 2, 1, 0}),
                        "-4 99 request: byte count 2, expected 1"},
                    Row{"EchoOfAnotherAddressIsNone", answered(wr, 4, 3, {16, 0, 11, 0, 3}),
                        "-4 99 request: address 11, expected 10"},
                    Row{"EchoOfAnotherQuantityIsNone", answered(wr, 0, 3, {15, 0, 10, 0, 2}),
                        "-4 99 request: quantity 2, expected 3"},
                    Row{"EchoOfAnotherCoilStateIsNone", answered(one, 0, 1, {5, 0, 10, 0, 0}),
                        "-4 -256 request: value 0, expected 65280"},
                    Row{"EchoOfAnotherValueIsNone", answered(one, 4, 1, {6, 0, 10, 0, 7}),
                        "-4 99 request: value 7, expected 99"}),
    rowName);

std::string unitLimit() {
    Station s(modplSlave);
    return Steps() << modplSetUnit(&s.ctx, 247) << modplSetUnit(&s.ctx, 248) << s.ctx.link.ownUnit;
}

std::string countsSinceReset() {
    Station s(modplMaster);
    uint32_t n[2] = {9, 9};
    Steps steps;
    steps << (s.ctx.alCounts[1] = 5, modplResetCounts(&s.ctx));
    for (uint16_t type : {4, 4, 2})
        s.msg.refType = type, steps << modplSendRequest(&s.ctx, unit, &s.msg);
    return steps << modplGetCounts(&s.ctx, n) << n[0] << n[1];
}

INSTANTIATE_TEST_SUITE_P(Interface, Rows,
                         testing::Values(Row{"UnitAddress247IsTakenAnd248Refused", unitLimit,
                                             "1 0 247 "},
                                         Row{"CountsTheSuccessfulSendsSinceTheReset",
                                             countsSinceReset, "1 1 1 -3 1 0 2 "},
                                         Row{"SlaveReadsEachRequestOnItsLength", slaveByLength,
                                             "1 0 1 0 1 0 1 0 1 0 1 0 1 0 1 0 1 0 "}),
                         rowName);

} // namespace
