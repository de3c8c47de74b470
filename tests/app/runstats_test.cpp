// Run statistics: the exit status the counts call for, and the summary's response times; the
// scan's order of line settings and probe time-outs.
#include "app/runstats.h"
#include "app/scan.h"
#include "tests/support/support.h"

namespace {

using R = RequestResult;

// Counts each result with its time; the status, then the summary's response-time line.
std::function<std::string()> run(std::vector<std::pair<R, uint32_t>> requests) {
    return [=] {
        static RunStats stats;
        statsReset(&stats);
        for (const auto &r : requests)
            statsCount(&stats, r.first, r.first == R::Exception ? 4 : 0, r.second);
        testing::internal::CaptureStdout();
        statsPrint(&stats, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        return str(statsStatus(&stats)) + out.substr(out.rfind(':'));
    };
}

// Units 5 (one answer) and 7 (a time-out, then an answer) polled in turn: their summary lines.
std::string unitLines() {
    static RunStats stats;
    statsReset(&stats);
    for (const auto &[unit, result, us] :
         {std::tuple{5, R::Ok, 1500}, {7, R::Timeout, 0}, {7, R::Ok, 2500}})
        statsCountUnit(&stats, uint8_t(unit), result, uint32_t(us));
    testing::internal::CaptureStdout();
    statsPrint(&stats, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    return out.substr(out.find("\n  Unit"));
}

std::vector<std::pair<R, uint32_t>> ramp(uint32_t n) {
    std::vector<std::pair<R, uint32_t>> times;
    for (uint32_t i = n; i > 0; --i)            // descending, so that the percentile must sort
        times.push_back({R::Ok, i * 1000 + 1}); // µs
    return times;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    RunStatistics, Rows,
    testing::Values(
        Row{"NothingSentIsStatus0", run({}), "0:     none answered"},
        Row{"ExceptionIsStatus1AndItsTimeCounts", run({{R::Ok, 187}, {R::Exception, 7000}}),
            "1:     min 0.187, mean 3.594, 99th percentile 7.000, max 7.000"},
        Row{"TimeoutBadFrameOrTransmitFailureIsStatus2AndTakesNoTime",
            run({{R::Exception, 3}, {R::Timeout, 300}, {R::BadFrame, 9}, {R::TransmitFailed, 1}}),
            "2:     min 0.003, mean 0.003, 99th percentile 0.003, max 0.003"},
        Row{"BroadcastOrInterruptedWaitIsStatus0AndTakesNoTime",
            run({{R::Broadcast, 5}, {R::Interrupted, 9}}), "0:     none answered"},
        Row{"BadFrameAloneIsStatus2", run({{R::BadFrame, 1}}), "2:     none answered"},
        Row{"TransmitFailureAloneIsStatus2", run({{R::TransmitFailed, 1}}), "2:     none answered"},
        Row{"Of100TimesThe99thIsThe99thSmallest", run(ramp(100)),
            "0:     min 1.001, mean 50.501, 99th percentile 99.001, max 100.001"},
        Row{"EachPolledUnitHasALineOfItsOwn", unitLines,
            "\n  Unit   5: sent 1, answered 1, exceptions 0, time-outs 0, bad frames 0, mean 1.500 "
            "ms, max 1.500 ms\n  Unit   7: sent 2, answered 1, exceptions 0, time-outs 1, bad "
            "frames 0, mean 2.500 ms, max 2.500 ms"},
        Row{"Of101TimesTheRankRoundsUpToThe100th", run(ramp(101)),
            "0:     min 1.001, mean 51.001, 99th percentile 100.001, max 101.001"}),
    rowName);

namespace {

std::function<std::string()> probeMs(int32_t baud, int8_t parity, int8_t stopBits) {
    return [=] {
        const ScanSetting s{baud, 8, parity, stopBits};
        return str(scanProbeTimeoutMs(&s)) + "/" + str(scanSpacingMs(&s));
    };
}

RunStats scanStats;

// A scan of units 1 to last (at every setting with sweep) on a scripted serial port, or a socket
// in Modbus TCP framing: its status, and what it printed in *out.
int scanUnits(ScriptPort &script, uint8_t last, uint8_t sweep, std::string *out,
              bool mbap = false) {
    static RunSettings settings;
    static StackContext ctx;
    runSettingsDefaults(&settings);
    settings.scanFirst = 1;
    settings.scanLast = last;
    settings.sweep = sweep;
    modplInstall(&ctx, modplMaster);
    ctx.link.isSerial = !mbap;
    ctx.link.framing = mbap ? framingMbap : framingRtu;
    scriptPortBind(&ctx.link.port, &script);
    statsReset(&scanStats);
    testing::internal::CaptureStdout();
    const int status = scanRun(&settings, &ctx, &scanStats);
    *out = testing::internal::GetCapturedStdout();
    return status;
}

// A sweep of unit 1 on a port that never answers: its status, then the rates and line formats
// the port was set to, in order, each where it changed, and where the parity check went on and
// off.
std::string sweptSettings() {
    ScriptPort script;
    std::string text, format, baud;
    text = str(scanUnits(script, 1, 1, &text)) + ":";
    bool check = false;
    for (const auto &[request, word] : script.controls) {
        const std::string f = " " + str(8 - (word & line::dataBitsMask)) +
                              "NOE"[word >> line::parityShift & 3u] +
                              (word & line::stopBitsMask ? "2" : "1");
        if (request == SetLineSettings && f != format)
            text += format = f;
        if (request == SetLineSettings && bool(word & line::parityCheckMask) != check)
            text += (check = !check) ? " check" : " unchecked";
        if (request == SetBaud && " " + str(word) != baud)
            text += baud = " " + str(word);
    }
    return text;
}

// Unit 1 silent to its probe, then its answer 12 ms into the listening after the broadcast:
// the status, the late answers counted, and the line that names it.
std::string lateAfterTheBroadcast() {
    ScriptPort script;
    script.reads = {{{}, 70, IoTimeout}, {rtuFrame(1, {3, 2, 0, 42}), 12, IoOk}};
    std::string out;
    const int status = scanUnits(script, 1, 0, &out);
    return str(status) + " " + str(scanStats.late) + out.substr(0, out.find("\nNo answer"));
}

// Over Modbus TCP a gateway's "no path" for unit 1 comes while unit 2 is probed: the status and
// the summary.
std::string lateGatewayException() {
    ScriptPort script;
    const Bytes stale{0, 1, 0, 0, 0, 3, 1, 0x83, 0x0a};
    script.reads = {{{}, 100, IoTimeout}, {stale, 150, IoOk}};
    std::string out;
    const int status = scanUnits(script, 2, 0, &out, true);
    return str(status) + out.substr(out.find("\nScan done"));
}

INSTANTIATE_TEST_SUITE_P(
    Scan, Rows,
    testing::Values(
        Row{"SweepTriesLikelySettingsFirstThenEveryRateInEachFormatSlowLast", sweptSettings,
            "2: 8N1 check 9600 8E1 8N1 19200 8E1 8N1 38400 57600 115200 4800 2400 1200 8E1 38400 "
            "57600 115200 4800 2400 1200 8O1 9600 19200 38400 57600 115200 4800 2400 1200 8N2 9600 "
            "19200 38400 57600 115200 4800 2400 1200 unchecked"},
        // 18.5 characters of 10 or 11 bits, rounded up, and the 50 ms margin; then 3.5
        // characters, rounded up, and 1 ms.
        Row{"LateAnswerHeardAfterTheBroadcastFindsItsUnit", lateAfterTheBroadcast,
            "0 1\nLate answer from unit 1 at 9600 8N1 after 82 ms: give -RT more"},
        Row{"LateGatewayExceptionIsAnAbsentUnit", lateGatewayException,
            "2\nScan done: 0 units found; a gateway answered for 1 absent unit (exception 0a)"},
        Row{"ProbeAt9600N1Waits70MsAfter5", probeMs(9600, 0, 1), "70/5"},
        Row{"ProbeAt1200E1Waits220MsAfter33", probeMs(1200, 2, 1), "220/33"},
        Row{"ProbeAt115200N2Waits52MsAfter2", probeMs(115200, 0, 2), "52/2"}),
    rowName);

} // namespace
