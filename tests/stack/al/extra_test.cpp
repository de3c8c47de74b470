// Functions 7, 8, 22, 23 and 24 and the raw PDU: requests encoded, answers decoded and checked
// against their requests, and a slave's answers and bus counters over the scripted port.
#include "stack/al/extra.h"
#include "tests/support/support.h"

namespace {

constexpr uint8_t unit = 100;

std::function<std::string()> encoded(ExtraRequest r, std::vector<uint16_t> words) {
    return [=]() mutable {
        uint8_t pdu[256] = {};
        r.words = words.data(), r.wordCount = uint16_t(words.size());
        const uint32_t n = extraEncode(&r, pdu, sizeof pdu);
        return str(n) + hex(pdu, n);
    };
}

std::function<std::string()> parsed(std::string text) {
    return [=] {
        uint8_t pdu[260] = {};
        const uint32_t n = extraParseHex(text.c_str(), pdu, sizeof pdu);
        return str(n) + hex(pdu, std::min(n, 4u));
    };
}

// The result, then what the answer stored: exception, address, subfunction and the values.
std::function<std::string()> decoded(Bytes pdu) {
    return [=] {
        ExtraReply r{};
        Steps steps;
        steps << extraDecode(pdu.data(), uint32_t(pdu.size()), &r) << r.exception << r.address
              << r.subfunction << ":";
        for (uint32_t i = 0; i < r.count; ++i)
            steps << r.values[i];
        return std::string(steps);
    };
}

// What the reply check says of this reply to this request: nothing when it answers.
std::function<std::string()> checked(Bytes request, Bytes reply) {
    return [=] {
        AnswerAsked a{};
        AnswerMismatch m{};
        char text[64] = "";
        answerKeep(&a, request.data(), uint32_t(request.size()));
        if (answerCheck(&a, reply.data(), uint32_t(reply.size()), &m) == 0)
            answerText(&m, text, sizeof text);
        return std::string(text);
    };
}

// A context of this role on unit 100 over the scripted port.
struct Station {
    StackContext ctx{};
    ScriptPort script;
    explicit Station(int32_t role) {
        fakeClockReset(), modplInstall(&ctx, role);
        ctx.link.ownUnit = ctx.link.peerUnit = unit;
        scriptPortBind(&ctx.link.port, &script);
    }
};

// The master's result for this request and these answers (none: silence), and what came.
std::function<std::string()> asked(Bytes request, std::vector<Bytes> answers, ExtraTake take) {
    return [=] {
        Station s(modplMaster);
        for (const Bytes &a : answers)
            s.script.reads.push_back({rtuFrame(unit, a)});
        ExtraReply r{};
        const int32_t result =
            extraAsk(&s.ctx, unit, request.data(), uint32_t(request.size()), take, &r);
        return str(result) + " e" + str(r.exception) + hex(r.pdu, r.length) + " w" +
               str(s.script.writes.size());
    };
}

// A slave with registers 0 to 3 holding 0x1234 and status 0x5a takes these frames in turn
// (unit 0: another unit's frame; unit 1: a broken CRC): each answer's PDU (a read is the front
// end's to answer), then registers 0 to 3 as they lie in memory.
std::function<std::string()> served(std::vector<std::pair<uint8_t, Bytes>> frames) {
    return [=] {
        static uint16_t registers[65536];
        std::fill(registers, registers + 4, 0x1234);
        const uint8_t status = 0x5a;
        Station s(modplSlave);
        extraServeFrom(&s.ctx, registers, &status);
        std::string text;
        for (auto &[to, pdu] : frames) {
            Bytes frame = rtuFrame(to == 0 ? 7 : to, pdu);
            if (to == 1)
                frame.back() ^= 1;
            s.script.reads.push_back({frame});
            int16_t values[16];
            ModbusMessage m{0, 0, 0, 0, 0, values, 16};
            const size_t before = s.script.writes.size();
            modplGetReply(&s.ctx, &m);
            const Bytes w = s.script.writes.size() > before ? s.script.writes.back() : Bytes{};
            text += (w.empty() ? std::string(" -") : hex(w.data() + 1, w.size() - 3)) + " |";
        }
        return text + hex(reinterpret_cast<uint8_t *>(registers), 8);
    };
}

const Bytes mask{22, 0, 1, 0, 0xf2, 0, 0x25};

INSTANTIATE_TEST_SUITE_P(
    Extra, Rows,
    testing::Values(
        Row{"ReadWriteCarriesTheReadThenTheWrite", encoded({23, 10, 3, 0, 20, nullptr, 0}, {7, 8}),
            "14 17 00 0a 00 03 00 14 00 02 04 00 07 00 08"},
        Row{"ReadWriteOf122RegistersIsNotEncoded",
            encoded({23, 10, 3, 0, 20, nullptr, 0}, std::vector<uint16_t>(122, 1)), "0"},
        Row{"ReadWriteOf126RegistersReadIsNotEncoded",
            encoded({23, 10, 126, 0, 20, nullptr, 0}, {1}), "0"},
        Row{"MaskWriteTakesTwoMasks", encoded({22, 10, 0, 0, 0, nullptr, 0}, {0xf2}), "0"},
        Row{"DiagnosticsCarriesSubfunctionAndData", encoded({8, 0, 0, 11, 0, nullptr, 0}, {0}),
            "5 08 00 0b 00 00"},
        Row{"HexWithBlanksOrWithout", parsed("0a 0B0c"), "3 0a 0b 0c"},
        Row{"HexOfAnOddDigitIsNone", parsed("0a 0"), "0"},
        Row{"HexOf254BytesIsNone", parsed(std::string(508, 'f')), "0"},
        Row{"StatusByte", decoded({7, 0x5a}), "1 0 0 0 : 90 "},
        Row{"StatusWithAByteOverIsBad", decoded({7, 0x5a, 0}), "-2 0 0 0 : "},
        Row{"DiagnosticsSubfunctionAndData", decoded({8, 0, 11, 0, 3}), "1 0 0 11 : 3 "},
        Row{"DiagnosticsOfAnOddByteIsBad", decoded({8, 0, 0, 1}), "-2 0 0 0 : "},
        Row{"MaskWriteAddressAndMasks", decoded(mask), "1 0 1 0 : 242 37 "},
        Row{"ReadWriteRegisters", decoded({23, 4, 0, 1, 0xff, 0xff}), "1 0 0 0 : 1 65535 "},
        Row{"ReadWriteByteCountPastTheDataIsBad", decoded({23, 4, 0, 1}), "-2 0 0 0 : "},
        Row{"ReadWriteOddByteCountIsBad", decoded({23, 1, 0}), "-2 0 0 0 : "},
        Row{"FifoCountAndValues", decoded({24, 0, 6, 0, 2, 0, 1, 0, 2}), "1 0 0 0 : 1 2 "},
        Row{"FifoOf32IsBad", decoded({24, 0, 66, 0, 32}), "-2 0 0 0 : "},
        Row{"ExceptionGivesItsCode", decoded({0x88, 1}), "2 1 0 0 : "},
        Row{"ExceptionWithoutItsCodeIsBad", decoded({0x88}), "-2 0 0 0 : "},
        Row{"AnotherFunctionIsKeptAsItCame", decoded({0x41, 1}), "1 0 0 0 : "},
        Row{"CounterIsNoEcho", asked({8, 0, 11, 0, 0}, {{8, 0, 11, 0, 9}}, ExtraTake::Decoded),
            "1 e0 08 00 0b 00 09 w1"},
        Row{"EchoOfAnotherSubfunctionIsNoAnswer", checked({8, 0, 11, 0, 0}, {8, 0, 12, 0, 0}),
            "subfunction 12, expected 11"},
        Row{"EchoOfOtherLengthIsNoAnswer", checked({8, 0, 0, 0x12, 0x34}, {8, 0, 0, 0x12}),
            "data length 1, expected 2"},
        Row{"RawAnswerOfAnyLengthIsKept", asked({0x41}, {{0x41, 1, 2, 3}}, ExtraTake::Raw),
            "1 e1 41 01 02 03 w1"},
        Row{"SilenceIsNoAnswer", asked({7}, {}, ExtraTake::Decoded), "0 e0 w1"},
        Row{"AnswerOfNoFunctionIsBad", asked({7}, {{}}, ExtraTake::Raw), "-2 e0 w1"},
        Row{"BroadcastAwaitsNothing", asked({7}, {{7, 1}}, ExtraTake::Broadcast), "3 e0 w1"},
        Row{"SlaveAnswersStatusEchoMaskAndWritesBeforeItReads",
            served({{unit, {7}},
                    {unit, {8, 0, 0, 1, 2, 3}},
                    {unit, mask},
                    {unit, {23, 0, 1, 0, 2, 0, 2, 0, 1, 2, 0, 7}}}),
            " 07 5a | 08 00 00 01 02 03 | 16 00 01 00 f2 00 25 | 17 04 00 35 00 07 | 34 12 35 00 "
            "07 00 34 12"},
        Row{"SlaveRefusesReadWriteQuantitiesAndAddresses",
            served({{unit, {23, 0, 0, 0, 0, 0, 1, 0, 1, 2, 0, 7}},
                    {unit, {23, 0, 0, 0, 1, 0, 1, 0, 1, 4, 0, 7}},
                    {unit, {23, 0, 0, 0, 1, 0, 1, 0, 122, 2, 0, 7}},
                    {unit, {23, 0xff, 0xff, 0, 2, 0, 1, 0, 1, 2, 0, 7}},
                    {unit, {23, 0, 0, 0, 1, 0xff, 0xff, 0, 2, 4, 0, 7, 0, 7}}}),
            " 97 03 | 97 03 | 97 03 | 97 02 | 97 02 | 34 12 34 12 34 12 34 12"},
        Row{"SlaveReadsAndWritesTheLastRegister",
            served({{unit, {23, 0xff, 0xff, 0, 1, 0xff, 0xff, 0, 1, 2, 0, 9}}}),
            " 17 02 00 09 | 34 12 34 12 34 12 34 12"},
        Row{"SlaveRefusesOtherSubfunctionsAndCounterData",
            served({{unit, {8, 0, 2, 0, 0}}, {unit, {8, 0, 11, 0, 1}}, {unit, {8, 0, 11}}}),
            " 88 01 | 88 03 | 88 03 | 34 12 34 12 34 12 34 12"},
        Row{"SlaveDropsACutShortMaskWrite", served({{unit, {22, 0, 1, 0, 0xf2, 0}}}),
            " - | 34 12 34 12 34 12 34 12"},
        Row{"SlaveCountsBusErrorsExceptionsAndItsOwnUntilCleared",
            served({{unit, {3, 0, 0, 0, 1}},
                    {0, {3, 0, 0, 0, 1}},
                    {1, {3, 0, 0, 0, 1}},
                    {unit, {9}},
                    {unit, {8, 0, 11, 0, 0}},
                    {unit, {8, 0, 12, 0, 0}},
                    {unit, {8, 0, 13, 0, 0}},
                    {unit, {8, 0, 14, 0, 0}},
                    {unit, {8, 0, 10, 0, 0}},
                    {unit, {8, 0, 11, 0, 0}}}),
            " - | - | - | 89 01 | 08 00 0b 00 05 | 08 00 0c 00 01 | 08 00 0d 00 01 | "
            "08 00 0e 00 06 | 08 00 0a 00 00 | 08 00 0b 00 01 | 34 12 34 12 34 12 34 12"}),
    rowName);

} // namespace
