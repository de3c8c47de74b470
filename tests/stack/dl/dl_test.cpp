// The link layer and its trace over the scripted port and the fake clock. A row's outcome is its
// result, then only what there is of c: control requests (code=value), d: the clock's waits,
// w: frames written (length: first bytes), t: the trace with the link's packet dumps as '#'.
#include "stack/dl/moddl.h"
#include "stack/drivers/clock.h"
#include "stack/trace/trace.h"
#include "tests/support/support.h"

#include <fstream>
#include <regex>

namespace {

// Runs op on a master link on a serial-like script, with the trace on from the start.
std::function<std::string()> link(std::function<std::string(LinkContext &, ScriptPort &)> op) {
    return [=] {
        LinkContext ctx{};
        ScriptPort script;
        fakeClockReset(1000);
        scriptPortBind(&ctx.port, &script);
        ctx.isSerial = ctx.role = ctx.ownUnit = ctx.peerUnit = 1;
        ctx.baudRate = 9600, ctx.timing = LinkTiming{0, 0, 5, 2, 1800000};
        traceOn(), testing::internal::CaptureStdout();
        std::string text = op(ctx, script);
        fflush(stdout);
        const std::string t = testing::internal::GetCapturedStdout();
        traceOff();
        text.erase(text.find_last_not_of(' ') + 1);
        std::string c, d, w;
        for (const auto &[request, value] : script.controls)
            c += " " + str(request) + "=" + str(value);
        for (uint32_t ms : fakeClockDelays())
            d += " " + str(ms);
        for (const Bytes &f : script.writes)
            w += " " + str(f.size()) + ":" + hex(f.data(), std::min<size_t>(f.size(), 4));
        return text + (c.empty() ? "" : " c:" + c) + (d.empty() ? "" : " d:" + d) +
               (w.empty() ? "" : " w:" + w) +
               (t.empty()
                    ? ""
                    : " t:" + std::regex_replace(t, std::regex("\n\r\\(\\d+\\)[0-9a-f ]*\n"), "#"));
    };
}

// Channel kinds for rx: a serial master unless these bits say otherwise. byLength gives the
// lengths of a read of 3 registers (master) or of a slave's reads and writes of 16, a gap of
// 5 ms, and adds the sizes of the reads to the outcome.
constexpr uint8_t onSocket = 1, asSlave = 2, accepted = 4, mbap = 8, byLength = 16;

// moddlRx over these reads, called this many times on a channel of this kind (a read time-out
// of 1000 ms): per call the result, the tick of the last I/O, then the PDU; between calls
// between(ctx, call) runs.
std::function<std::string()>
rx(std::vector<ScriptChunk> reads, uint8_t kind = 0, int calls = 1,
   std::function<void(LinkContext &, ScriptPort &, int)> between = {}) {
    return link([=](LinkContext &ctx, ScriptPort &script) {
        script.reads = reads, script.readTimeoutMs = 1000;
        ctx.isSerial = !(kind & onSocket), ctx.role = !(kind & asSlave);
        ctx.accepted = (kind & accepted) != 0, ctx.timeoutMs = 1000;
        ctx.framing = (kind & mbap) ? framingMbap : framingRtu, ctx.transactionId = 2;
        const bool slave = kind & asSlave; // a master's one length has a stale one after it
        const LinkLength lengths[] = {{3, 0, uint16_t(slave ? 8 : 7)},
                                      slave ? LinkLength{16, 6, 9} : LinkLength{0x83, 0, 5}};
        std::copy(lengths, lengths + 2, ctx.lengths), script.charTimeoutMs = 5;
        ctx.lengthCount = (kind & byLength) ? 2 - !slave : 0;
        std::string text;
        for (int call = 0; call < calls; ++call) {
            if (between && call > 0)
                between(ctx, script, call);
            uint8_t pdu[moddlMaxFrame] = {};
            LinkFrame frame{0x77, moddlMaxFrame, pdu};
            const int32_t r = (kind & mbap) ? moddlMbapRx(&ctx, &frame) : moddlRx(&ctx, &frame);
            text += (call ? " | " : "") + str(r) + " " + str(ctx.lastIoTick) +
                    hex(pdu, r ? 0 : frame.pduLength);
            // MBAP: the unit, the transaction taken, and a stream out of step
            if (kind & mbap) {
                text += " u" + str(r ? 0 : frame.unit) + " t" + str(ctx.transactionId) +
                        (ctx.connectionLost ? " lost" : "");
                ctx.connectionLost = 0;
            }
        }
        for (uint32_t size : script.asked)
            text += (kind & byLength) ? " " + str(size) : "";
        return text;
    });
}

// moddlTransmit of a PDU of this length, after the set-up: the result and the last I/O tick.
std::function<std::string()> tx(uint16_t length, int32_t writeResult = IoOk,
                                uint32_t intervalUs = 0) {
    return link([=](LinkContext &ctx, ScriptPort &script) {
        uint8_t pdu[300] = {0x03, 0x00, 0x00, 0x00, 0x0a};
        LinkFrame frame{1, length, pdu};
        script.writeResult = writeResult, ctx.timing.minIntervalUs = intervalUs;
        ctx.lastIoTick = 970;
        if (length > 1)
            traceOff();
        return Steps() << moddlTransmit(&ctx, &frame) << ctx.lastIoTick;
    });
}

// moddlSend of a one-byte PDU to this unit, by a link of this role, own unit and last peer:
// the result, the peer, then both counter pairs.
std::function<std::string()> send(uint8_t role, uint8_t own, uint8_t peer, uint8_t unit,
                                  int32_t writeResult = IoOk) {
    return link([=](LinkContext &ctx, ScriptPort &script) {
        uint8_t pdu[] = {0x03};
        PduRecord record{1, pdu};
        uint32_t c[2], lower[2];
        ctx.role = role, ctx.ownUnit = own, ctx.peerUnit = peer, script.writeResult = writeResult;
        traceOff();
        return Steps() << moddlSend(&ctx, unit, &record) << ctx.peerUnit << moddlGetCounts(&ctx, c)
                       << c[0] << c[1] << moddlGetLowerCounts(&ctx, lower) << lower[0] << lower[1];
    });
}

// Two MBAP sends of a one-byte PDU to unit 255 by a link of this role after a request with
// transaction id 0xFFFF (a slave's from unit 255): the results and each frame written whole.
std::function<std::string()> mbapSend(uint8_t role) {
    return link([=](LinkContext &ctx, ScriptPort &script) {
        uint8_t pdu[] = {0x03};
        PduRecord record{1, pdu};
        ctx.role = role, ctx.framing = framingMbap, ctx.transactionId = 0xFFFF;
        ctx.isSerial = 0, ctx.ownUnit = 7, ctx.peerUnit = 255;
        traceOff();
        Steps steps;
        steps << moddlSend(&ctx, 255, &record) << moddlSend(&ctx, 255, &record);
        for (const Bytes &f : script.writes)
            steps << hex(f.data(), f.size()).c_str();
        return steps;
    });
}

// moddlPace after the last I/O at one tick with the clock at another.
std::function<std::string()> pace(uint32_t last, uint32_t now, uint32_t intervalUs) {
    return link([=](LinkContext &ctx, ScriptPort &) {
        ctx.lastIoTick = last, fakeClockReset(now), moddlPace(&ctx, intervalUs);
        return std::string("paced");
    });
}

const Bytes reply = {0x01, 0x03, 0x02, 0x00, 0x2a, 0x39, 0x9b};
const Bytes reply11 = rtuFrame(1, {3, 6, 0, 1, 0, 2, 0, 3});
const ScriptChunk timeout{{}, 0, IoTimeout};
const Bytes fc6 = rtuFrame(1, {6, 0, 9, 0, 7}), fc3 = rtuFrame(1, {3, 0, 9, 0, 1});

// An MBAP frame: transaction id, protocol id, the length field (0: the true one), unit, PDU.
Bytes mbapFrame(uint16_t transaction, const Bytes &pdu, uint16_t protocol = 0, uint16_t length = 0,
                uint8_t unit = 1) {
    Bytes f;
    for (uint16_t field : {transaction, protocol, length ? length : uint16_t(pdu.size() + 1)})
        f.push_back(uint8_t(field >> 8)), f.push_back(uint8_t(field));
    f.push_back(unit);
    return f.insert(f.end(), pdu.begin(), pdu.end()), f;
}

Bytes part(const Bytes &b, size_t from, size_t to) {
    return Bytes(b.begin() + long(from), b.begin() + long(std::min(to, b.size())));
}
Bytes join(Bytes a, const Bytes &b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, Rows,
    testing::Values(
        Row{"TenBytesWithoutAFrameFailWithoutRetry",
            rx({{{1, 3, 6, 0, 1, 0, 2, 0, 3, 0}}, {reply}}),
            "1 1000 t:\n\rmoddlRx: Received 10 bytes#\n\rmoddlRx: bad CRC: l=10\n\rTry to strip "
            "off first frame.\n\rTried.  i==10, crc=81b5\n\rCheck failed."},
        Row{"GlitchByteInAnEarlierReadIsDroppedOnceTheRetryJoins", rx({{{0x55}}, {reply11}}),
            "0 1000 03 06 00 01 00 02 00 03 t:\n\rmoddlRx: Received 1 bytes#\n\rmoddlRx: bad CRC: "
            "l=1\n\rmoddlRx: Maybe fragmented frame: try again\n\rmoddlRx: Received 11 "
            "bytes#\n\rmoddlRx: bad CRC: l=12\n\rTry to strip off first frame.\n\rTried.  i==12, "
            "crc=2aae\n\rmoddlRx: Found Modbus RTU frame after 1 bytes of noise."},
        // The stale reply is long enough that moving the bytes after it wrongly leaves the buffer.
        Row{"LongStaleReplyBeforeTheReplyIsDropped",
            rx({{join(rtuFrame(1, join({3, 194}, Bytes(194, 0x11))), reply11)}}),
            "0 1000 03 06 00 01 00 02 00 03 t:\n\rmoddlRx: Received 210 bytes#\n\rmoddlRx: bad "
            "CRC: l=210\n\rTry to strip off first frame.\n\rTried.  i==199, crc=0000\n\rCRC Check "
            "found end of first frame.  Copy 11 remaining bytes."},
        Row{"FfFfIsABadFrame", rx({{{0xff, 0xff}}}),
            "1 1000 t:\n\rmoddlRx: Received 2 bytes#\n\rmoddlRx: bad CRC: l=2\n\rmoddlRx: Maybe "
            "fragmented frame: try again"},
        Row{"OverlongFrameIsRefused", rx({{rtuFrame(1, Bytes(257, 0x11))}}),
            "1 1000 t:\n\rmoddlRx: Received 260 bytes#\n\rmoddlRx: frame too long for the buffer.  "
            "l==260"},
        Row{"TimeoutIsSilentAndStampsTheTick", rx({{{}, 2332, IoTimeout}}), "1 3332"},
        Row{"SerialBrokeIsTwo", rx({{{}, 0, IoBroken}}), "2 1000 t:\n\rmoddlRx: broke\n\r"},
        Row{"OtherReadFailureIsThreeAndFlushesSerialInput", rx({{{}, 0, IoNotOpen}}),
            "3 1000 c: 266=0 t:\n\rmoddlRx: failed"}),
    rowName);

// A serial read ends on the length a frame from the expected unit is given; a silent tail
// (a read of 5 ms) is never waited for. Anything else reads on to the gap and is recovered.
const ScriptChunk tail{{}, 5, IoTimeout};
const Bytes fc16 = rtuFrame(1, {16, 0, 1, 0, 2, 4, 0, 10, 0, 11});
INSTANTIATE_TEST_SUITE_P(
    ByLength, Rows,
    testing::Values(
        Row{"ReplyEndsOnItsLength", rx({{reply}, tail}, byLength),
            "0 1000 03 02 00 2a 7 t:\n\rmoddlRx: Received 7 bytes#"},
        Row{"SlaveWriteEndsOnItsByteCountAndTheNextRequestOnItsOwn",
            rx({{join(fc16, fc3)}, tail}, asSlave | byLength, 2),
            "0 1000 10 00 01 00 02 04 00 0a 00 0b | 0 1000 03 00 09 00 01 8 5 8 c: 260=0 2=0 3=5 "
            "3=1000 t:\n\rmoddlRx: Received 13 bytes#\n\rmoddlRx: Received 8 bytes#"},
        Row{"ExceptionIsTakenAtTheGap", rx({{rtuFrame(1, {0x83, 2})}, tail}, byLength),
            "0 1000 83 02 7 t:\n\rmoddlRx: Received 5 bytes#"},
        Row{"ShortFrameIsReadAgain", rx({{part(reply, 0, 4)}, {part(reply, 4, 7)}}, byLength),
            "0 1000 03 02 00 2a 7 268 t:\n\rmoddlRx: Received 4 bytes#\n\rmoddlRx: bad CRC: "
            "l=4\n\rmoddlRx: Maybe fragmented frame: try again\n\rmoddlRx: Received 3 bytes#"},
        Row{"LongerFrameIsReadOnToTheGap", rx({{reply11}, tail}, byLength),
            "0 1005 03 06 00 01 00 02 00 03 7 265 261 c: 260=0 2=0 3=5 3=1000 t:\n\rmoddlRx: "
            "Received 11 bytes#"},
        Row{"LeadingNoiseIsReadOnToTheGap", rx({{join({0}, reply)}, tail}, byLength),
            "0 1005 03 02 00 2a 7 265 264 264 c: 260=0 2=0 3=5 3=1000 t:\n\rmoddlRx: Received 8 "
            "bytes#\n\rmoddlRx: bad CRC: l=8\n\rmoddlRx: Maybe fragmented frame: try "
            "again\n\rmoddlRx: Found Modbus RTU frame after 1 bytes of noise."},
        Row{"ReplyFromAnotherUnitIsReadOnToTheGap",
            rx({{rtuFrame(2, {3, 2, 0, 0x2a})}, tail}, byLength),
            "0 1005 03 02 00 2a 7 265 c: 260=0 2=0 3=5 3=1000 t:\n\rmoddlRx: Received 7 bytes#"}),
    rowName);

// A socket is a stream: a frame in any number of pieces is joined while the time-out, counted
// from its first bytes, lasts. A slave serves every request it read, in order.
INSTANTIATE_TEST_SUITE_P(
    Streams, Rows,
    testing::Values(Row{"SocketReadsOnWithWhatIsLeftOfTheTimeout",
                        rx({{part(reply, 0, 4)}, {part(reply, 4, 5), 999}, {part(reply, 5, 7), 1}},
                           onSocket),
                        "0 2000 03 02 00 2a c: 2=0 3=1 3=1000 t:\n\rmoddlRx: Received 4 bytes#\n\r"
                        "moddlRx: bad CRC: l=4\n\rmoddlRx: Maybe fragmented frame: try again\n\r"
                        "moddlRx: Received 1 bytes#\n\rmoddlRx: bad CRC: l=5\n\rmoddlRx: "
                        "Incomplete frame: read on\n\rmoddlRx: Received 2 bytes#"},
                    Row{"SocketGivesUpOnceTheTimeoutHasPassed",
                        rx({{part(reply, 0, 4)}, {part(reply, 4, 5), 1000}, {part(reply, 5, 7)}},
                           onSocket),
                        "1 2000 c: 2=0 t:\n\rmoddlRx: Received 4 bytes#\n\rmoddlRx: bad CRC: "
                        "l=4\n\rmoddlRx: Maybe fragmented frame: try again\n\rmoddlRx: Received 1 "
                        "bytes#\n\rmoddlRx: bad CRC: l=5\n\rmoddlRx: Couldn't make sense of frame. "
                        " l==5"},
                    Row{"SlaveOpensAFailedDeviceAgainASecondApart",
                        rx({{{}, 0, IoFailed}, {fc3}}, asSlave, 3,
                           [](LinkContext &, ScriptPort &script, int call) {
                               script.openResult = call == 1 ? IoNotFound : IoOk;
                           }),
                        "3 1000 | 2 1000 | 0 2000 03 00 09 00 01 c: 266=0 2=0 d: 1000 t:\n\r"
                        "moddlRx: failed\n\rmoddlRx: Received 8 bytes#"},
                    Row{"MbapHeaderOutOfStepDropsWhatIsHeldForARebuild",
                        rx({{mbapFrame(2, {3, 2, 0, 7}, 1)},
                            {mbapFrame(2, {3}, 0, 1)},
                            {join(mbapFrame(2, {3}, 0, 255), Bytes(254, 0))}},
                           onSocket | mbap, 3),
                        "1 1000 u0 t2 lost | 1 1000 u0 t2 lost | 1 1000 u0 t2 lost t:\n\rmoddlRx: "
                        "Received 11 bytes#\n\rmoddlRx: MBAP header out of step: protocol 1, "
                        "length 5.  Dropped 11 bytes.\n\rmoddlRx: Received 8 bytes#\n\rmoddlRx: "
                        "MBAP header out of step: protocol 0, length 1.  Dropped 8 "
                        "bytes.\n\rmoddlRx: Received 262 bytes#\n\rmoddlRx: MBAP header out of "
                        "step: protocol 0, length 255.  Dropped 262 bytes."},
                    Row{"MbapFrameIncompleteAtTheTimeoutIsDroppedForARebuild",
                        rx({{part(mbapFrame(2, {3, 2, 0, 7}), 0, 5)},
                            {part(mbapFrame(2, {3, 2, 0, 7}), 5, 7), 1000}},
                           onSocket | mbap),
                        "1 2000 u0 t2 lost c: 2=0 3=1000 3=1000 2=0 t:\n\rmoddlRx: Received 5 "
                        "bytes#\n\rmoddlRx: Incomplete frame: read on\n\rmoddlRx: Received 2 "
                        "bytes#\n\rmoddlRx: Incomplete MBAP frame dropped.  l==7"},
                    Row{"MbapSlaveTakesEachRequestWithItsTransaction",
                        rx({{join(mbapFrame(7, {3, 0, 1, 0, 1}, 0, 0, 255),
                                  mbapFrame(8, {6, 0, 1, 0, 9}))}},
                           onSocket | asSlave | mbap, 2),
                        "0 1000 03 00 01 00 01 u255 t7 | 0 1000 06 00 01 00 09 u1 t8 "
                        "t:\n\rmoddlRx: Received 24 bytes#\n\rmoddlRx: 12 bytes held over"},
                    Row{"AcceptedConnectionKeepsAPartUntilItIsStale",
                        rx({{part(fc3, 0, 4)},
                            timeout,
                            {part(fc3, 4, 8)},
                            {part(fc3, 0, 4)},
                            timeout,
                            {fc3}},
                           onSocket | asSlave | accepted, 4,
                           [](LinkContext &, ScriptPort &, int call) {
                               if (call != 2)
                                   delayMs(call == 1 ? 1000 : 1001);
                           }),
                        "1 1000 | 0 2000 03 00 09 00 01 | 1 2000 | 0 3001 03 00 09 00 01 d: 1000 "
                        "1001 t:\n\rmoddlRx: Received 4 bytes#\n\rmoddlRx: bad CRC: l=4\n\r"
                        "moddlRx: Maybe fragmented frame: try again\n\rmoddlRx: 4 bytes held over\n"
                        "\rmoddlRx: bad CRC: l=4\n\rmoddlRx: Maybe fragmented frame: try again\n\r"
                        "moddlRx: Received 4 bytes#\n\rmoddlRx: Received 4 bytes#\n\rmoddlRx: bad "
                        "CRC: l=4\n\rmoddlRx: Maybe fragmented frame: try again\n\rmoddlRx: "
                        "Dropped 4 stale bytes\n\rmoddlRx: Received 8 bytes#"}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    Transmit, Rows,
    testing::Values(
        Row{"OneBytePduGoesOutAfterAnInputFlush", tx(1),
            "0 1000 c: 266=0 w: 4: 01 03 40 21 t:\n\rEnter moddlTransmit().\n\n\rmoddlTx: about to "
            "transmit 4 bytes#"},
        Row{"SerialWriteTimeoutIsOneAndFlushesOutput", tx(0, IoTimeout),
            "1 1000 c: 266=0 267=0 w: 3: 01 7e 80 t:\n\rEnter moddlTransmit().\n\n\rmoddlTx: about "
            "to transmit 3 bytes#\n\rmoddlTransmit timeout\n\rmoddlTransmit Io--FlushWrite"},
        Row{"PacingWaitsOutTheRestOfTheInterval", tx(2, IoOk, 100000),
            "0 1070 c: 266=0 d: 70 w: 5: 01 03 00 20"},
        Row{"IntervalBelowOneMillisecondNeverWaits", pace(1000, 1000, 999), "paced"},
        Row{"IntervalOfOneMillisecondWaits", pace(1000, 1000, 1000), "paced d: 1"},
        Row{"ElapsedTimeSurvivesTheTickWrap", pace(4294967290u, 10, 16000), "paced"},
        Row{"ElapsedTimeAcrossTheWrapStillWaits", pace(4294967290u, 10, 17000), "paced d: 1"}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    Units, Rows,
    testing::Values(Row{"MasterCountsWrittenFramesAndRecordsThePeer", send(1, 1, 1, 17),
                        "1 17 1 1 0 1 0 1 c: 266=0 w: 4: 11 03 4d e1"},
                    Row{"SlaveNeverAnswersABroadcast", send(0, 7, 0, 7), "0 0 1 0 0 1 0 0"},
                    Row{"SlaveIgnoresARequestForAnotherUnit", send(0, 7, 8, 7), "0 8 1 0 0 1 0 0"},
                    Row{"MbapMasterCountsItsTransactionsThroughTheWrap", mbapSend(1),
                        "1 1  00 00 00 00 00 02 ff 03  00 01 00 00 00 02 ff 03 w: 8: 00 00 00 00 "
                        "8: 00 01 00 00"},
                    Row{"MbapSlaveEchoesTheTransactionAndTheDeviceUnit", mbapSend(0),
                        "1 1  ff ff 00 00 00 02 ff 03  ff ff 00 00 00 02 ff 03 w: 8: ff ff 00 00 "
                        "8: ff ff 00 00"},
                    Row{"SlaveAnswersWithItsOwnUnitKeepingItsInput", send(0, 7, 7, 3),
                        "1 7 1 1 0 1 0 1 w: 4: 07 03 43 81"}),
    rowName);

std::function<std::string()> baud(int32_t rate) {
    return link([=](LinkContext &ctx, ScriptPort &) { return str(moddlSetBaud(&ctx, rate)); });
}

// moddlSetTiming with these -RT and -TD values: the result, what moddlGetTiming then answers.
std::function<std::string()> timing(int32_t timeoutMs, int32_t minIntervalMs) {
    return link([=](LinkContext &ctx, ScriptPort &) {
        LinkTimingRequest request{0, minIntervalMs, timeoutMs}, back{};
        const int32_t result = moddlSetTiming(&ctx, &request);
        moddlGetTiming(&ctx, &back);
        return Steps() << result << back.timeoutMs << back.minIntervalMs;
    });
}

std::function<std::string()> format(int32_t dataBits, int32_t parity, int32_t stopBits) {
    return link([=](LinkContext &ctx, ScriptPort &) {
        return Steps() << moddlSetLineFormat(&ctx, dataBits, parity, stopBits) << ctx.lineFormat;
    });
}

// A serial port text opened (no such device here): the time-outs, queue and rate it set.
std::string serialDefaults() {
    return link([](LinkContext &ctx, ScriptPort &) {
        traceOff(), moddlOpen(&ctx, "COM2");
        auto get = [&ctx](int32_t request) {
            uint32_t v = 0;
            return ioControl(&ctx.port, request, &v), v;
        };
        return Steps() << get(GetReadTimeout) << get(GetCharTimeout) << get(GetInQueueSize)
                       << get(GetBaud) << ctx.baudRate;
    })();
}

// Trace lines and a packet dump written while a log file is open, and one after it is closed;
// what the file holds is printed afterwards.
std::string throughLog() {
    return link([](LinkContext &, ScriptPort &) {
        const std::string path = testing::TempDir() + "korvalen-trace.log";
        const uint8_t bytes[2] = {1, 0xff};
        std::ofstream{path};
        traceOpenLog(path.c_str());
        tracePrintf("line "), tracePacket(2, bytes), traceCloseLog(), tracePrintf(" gone");
        std::ifstream in(path);
        return "log: " + std::string(std::istreambuf_iterator<char>(in), {});
    })();
}

INSTANTIATE_TEST_SUITE_P(
    SettingsAndTrace, Rows,
    testing::Values(
        Row{"NineSixHundredBaudGivesTheDefaultTimeouts", baud(9600),
            "1 c: 3=2332 5=2332 261=5 257=9600"},
        Row{"BaudOfZeroIsRefused", baud(0), "0 t:\n\rmoddlSetBaud: invalid baud rate 0"},
        Row{"GapUnderAMillisecondIsRaisedToOne", baud(115200),
            "1 c: 3=1844 5=1844 261=1 257=115200"},
        Row{"BaudOfOneIsTaken", baud(1), "1 c: 3=5121800 5=5121800 261=50000 257=1"},
        Row{"NegativeTimingsActAsZero", timing(-1, -1),
            "1 0 0 c: 258=0 259=8192 3=2332 5=2332 261=5 257=9600"},
        Row{"TimingsPastTheFieldsAreCutToTheirMost", timing(2147484, 4294968),
            "1 2147483 4294967 c: 258=0 259=8192 3=2147483 5=2147483 261=5 257=9600"},
        Row{"EvenParityMakesElevenBitCharacters", format(8, 2, 1),
            "1 16 c: 258=0 259=16 3=2386 5=2386 261=5 257=9600"},
        Row{"TwoStopBitsMakeElevenBitCharacters", format(8, 0, 2),
            "1 128 c: 258=0 259=128 3=2386 5=2386 261=5 257=9600"},
        Row{"NineDataBitsAreRefused", format(9, 0, 1), "0 0"},
        Row{"SerialTextSetsTheDefaultTimeoutsAndQueue", serialDefaults, "2332 5 1024 9600 9600"},
        Row{"LogFileGetsWhatTheConsoleGetsWhileOpen", throughLog,
            "log: line (2) 01 ff \n t:line (2) 01 ff \n gone"}),
    rowName);

} // namespace
