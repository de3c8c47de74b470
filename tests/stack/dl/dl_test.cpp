// The link layer and its trace over the scripted port and the fake clock. A row's outcome is its
// result, then only what there is of c: control requests (code=value), d: the clock's waits,
// w: frames written (length: first bytes), t: the trace with the link's packet dumps as '#'.
#include "stack/dl/moddl.h"
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
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
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

// moddlRx over these reads: the result, the tick of the last I/O, then the PDU.
std::function<std::string()> rx(std::vector<ScriptChunk> reads) {
    return link([=](LinkContext &ctx, ScriptPort &script) {
        script.reads = reads;
        uint8_t pdu[moddlMaxFrame] = {};
        LinkFrame frame{0x77, moddlMaxFrame, pdu};
        const int32_t r = moddlRx(&ctx, &frame);
        return str(r) + " " + str(ctx.lastIoTick) + hex(pdu, r ? 0 : frame.pduLength);
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

// moddlPace after the last I/O at one tick with the clock at another.
std::function<std::string()> pace(uint32_t last, uint32_t now, uint32_t intervalUs) {
    return link([=](LinkContext &ctx, ScriptPort &) {
        ctx.lastIoTick = last, fakeClockReset(now), moddlPace(&ctx, intervalUs);
        return std::string("paced");
    });
}

const Bytes reply = {0x01, 0x03, 0x02, 0x00, 0x2a, 0x39, 0x9b};

INSTANTIATE_TEST_SUITE_P(
    Recovery, Rows,
    testing::Values(
        Row{"TenBytesWithoutAFrameFailWithoutRetry",
            rx({{{1, 3, 6, 0, 1, 0, 2, 0, 3, 0}}, {reply}}),
            "1 1000 t:\n\rmoddlRx: Received 10 bytes#\n\rmoddlRx: bad CRC: l=10\n\rTry to strip "
            "off first frame.\n\rTried.  i==10, crc=81b5\n\rCheck failed."},
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
                    Row{"SlaveAnswersWithItsOwnUnit", send(0, 7, 7, 3),
                        "1 7 1 1 0 1 0 1 c: 266=0 w: 4: 07 03 43 81"}),
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
            "1 2147483 4294967 c: 258=0 "
            "259=8192 3=2147483 5=2147483 261=5 257=9600"},
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
