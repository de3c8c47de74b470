// The faults: what a spec reads as, and what a hit does to an answer's bytes.
#include "slave/fault.h"
#include "tests/support/support.h"

namespace {

// The spec's kind, percent and values, or "refused".
std::function<std::string()> parsed(const char *text) {
    return [=] {
        FaultPlan plan{};
        if (!faultParse(&plan, text))
            return std::string("refused");
        const FaultSpec &f = plan.specs[0];
        return (Steps() << int(f.kind) << f.percent << f.low << f.high).text;
    };
}

// The pieces, due tick and gap of an RTU answer under the first draw of these specs,
// its faults' text and its bytes (each kind's bytes are pinned end to end).
std::function<std::string()> shaped(std::vector<const char *> specs) {
    return [=] {
        FaultPlan plan{};
        for (const char *s : specs)
            faultParse(&plan, s);
        plan.seedGiven = true;
        FaultRun run;
        faultStart(&run, &plan);
        FaultHit hit;
        faultDecide(&run, &hit);
        const uint8_t rtu[] = {0x64, 0x03, 0x02, 0x00, 0x01, 0x35, 0x8c};
        static FaultAnswer a;
        a = FaultAnswer{};
        if (!faultHas(&hit, FaultKind::Drop))
            faultShape(&run, &hit, rtu, sizeof rtu, false, &a, 1000);
        char text[96];
        faultText(&hit, text, sizeof text);
        return (Steps() << a.pieces << a.dueTick << a.gapMs).text + text + hex(a.bytes, a.length);
    };
}

INSTANTIATE_TEST_SUITE_P(
    FaultSpecs, Rows,
    testing::Values(Row{"DropTakesNoValue", parsed("DROP"), "0 100 0 0 "},
                    Row{"DelayRangeAndPercent", parsed("DELAY=5-60000@0"), "1 0 5 60000 "},
                    Row{"DelayOfOneValueIsBothEnds", parsed("DELAY=7@100"), "1 100 7 7 "},
                    Row{"SplitPiecesAndGap", parsed("SPLIT=2/10000"), "4 100 2 10000 "},
                    Row{"ExceptionCode", parsed("EXCEPTION=255"), "8 100 255 255 "},
                    Row{"SilentCount", parsed("SILENT=1000000"), "9 100 1000000 1000000 "},
                    Row{"DelayPast60sRefused", parsed("DELAY=60001"), "refused"},
                    Row{"DelayRangeDownRefused", parsed("DELAY=9-8"), "refused"},
                    Row{"SplitOfOnePieceRefused", parsed("SPLIT=1/5"), "refused"},
                    Row{"SplitWithoutGapRefused", parsed("SPLIT=3"), "refused"},
                    Row{"SplitGapPast10sRefused", parsed("SPLIT=2/10001"), "refused"},
                    Row{"NoiseOf0Refused", parsed("NOISE=0"), "refused"},
                    Row{"NoiseOf256Refused", parsed("NOISE=256"), "refused"},
                    Row{"ExceptionOf0Refused", parsed("EXCEPTION=0"), "refused"},
                    Row{"ValueOnDropRefused", parsed("DROP=1"), "refused"},
                    Row{"PercentPast100Refused", parsed("DROP@101"), "refused"},
                    Row{"EmptyPercentRefused", parsed("CRC@"), "refused"},
                    Row{"KindPrefixRefused", parsed("DEL=5"), "refused"},
                    Row{"ValueMissingRefused", parsed("UNIT"), "refused"}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    FaultShapes, Rows,
    testing::Values(Row{"SplitAndDelayAreScheduled", shaped({"SPLIT=3/40", "DELAY=250"}),
                        "3 1250 40 , delay 250 ms, split 3/40 ms 64 03 02 00 01 35 8c"},
                    Row{"SplitIsAtMostOnePiecePerByte", shaped({"SPLIT=200/0"}),
                        "7 1000 0 , split 200/0 ms 64 03 02 00 01 35 8c"},
                    Row{"DropShowsAloneAndShapesNothing", shaped({"CRC", "DROP"}), "0 0 0 , drop"},
                    Row{"PercentZeroNeverHits", shaped({"CRC@0"}),
                        "1 1000 0  64 03 02 00 01 35 8c"}),
    rowName);

} // namespace
