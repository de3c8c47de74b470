// Run statistics: the exit status the counts call for, and the summary's response times.
#include "app/runstats.h"
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

std::vector<std::pair<R, uint32_t>> ramp(uint32_t n) {
    std::vector<std::pair<R, uint32_t>> times;
    for (uint32_t i = n; i > 0; --i) // descending, so that the percentile must sort
        times.push_back({R::Ok, i});
    return times;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    RunStatistics, Rows,
    testing::Values(
        Row{"NothingSentIsStatus0", run({}), "0:     none answered"},
        Row{"ExceptionIsStatus1AndItsTimeCounts", run({{R::Ok, 2}, {R::Exception, 7}}),
            "1:     min 2, mean 4.5, 99th percentile 7, max 7"},
        Row{"TimeoutBadFrameOrTransmitFailureIsStatus2AndTakesNoTime",
            run({{R::Exception, 3}, {R::Timeout, 300}, {R::BadFrame, 9}, {R::TransmitFailed, 1}}),
            "2:     min 3, mean 3.0, 99th percentile 3, max 3"},
        Row{"BadFrameAloneIsStatus2", run({{R::BadFrame, 1}}), "2:     none answered"},
        Row{"TransmitFailureAloneIsStatus2", run({{R::TransmitFailed, 1}}), "2:     none answered"},
        Row{"Of100TimesThe99thIsThe99thSmallest", run(ramp(100)),
            "0:     min 1, mean 50.5, 99th percentile 99, max 100"},
        Row{"Of101TimesTheRankRoundsUpToThe100th", run(ramp(101)),
            "0:     min 1, mean 51.0, 99th percentile 100, max 101"}),
    rowName);
