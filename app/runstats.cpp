// Run statistics and their summary. Response times are whole milliseconds of the stack's clock.
#include "app/runstats.h"

#include <algorithm>
#include <cstdio>

RequestResult statsResultOf(const StackContext *ctx, int32_t replyResult,
                            const ModbusMessage *reply) {
    if (replyResult == 1)
        return (reply->functionCode & 0x80) ? RequestResult::Exception : RequestResult::Ok;
    if (replyResult < 0)
        return RequestResult::BadFrame;
    const RxOutcome outcome = modplLastReceive(ctx);
    return outcome == RxOutcome::Timeout || outcome == RxOutcome::Broken ? RequestResult::Timeout
                                                                         : RequestResult::BadFrame;
}

namespace {

uint32_t exceptionTotal(const RunStats *stats) {
    uint32_t total = 0;
    for (uint32_t n : stats->exceptions)
        total += n;
    return total;
}

} // namespace

void statsReset(RunStats *stats) {
    *stats = RunStats{};
}

void statsCount(RunStats *stats, RequestResult result, uint8_t exceptionCode, uint32_t ms) {
    ++stats->sent;
    switch (result) {
    case RequestResult::Exception:
        ++stats->exceptions[exceptionCode];
        [[fallthrough]];
    case RequestResult::Ok:
        ++stats->answered;
        if (stats->timeCount < statsMaxTimes)
            stats->times[stats->timeCount++] = ms;
        break;
    case RequestResult::Timeout:
        ++stats->timeouts;
        break;
    case RequestResult::BadFrame:
        ++stats->badFrames;
        break;
    case RequestResult::TransmitFailed:
        ++stats->transmitFailures;
        break;
    case RequestResult::Broadcast:
        ++stats->broadcasts;
        break;
    case RequestResult::Late:
        ++stats->late;
        break;
    }
}

int statsStatus(const RunStats *stats) {
    if (stats->timeouts + stats->badFrames + stats->transmitFailures > 0)
        return 2;
    return exceptionTotal(stats) > 0 ? 1 : 0;
}

void statsPrint(RunStats *stats, uint32_t rebuilds) {
    const uint32_t exceptions = exceptionTotal(stats);
    printf("\nRun statistics:");
    printf("\n  Requests sent:          %u", stats->sent);
    if (stats->broadcasts > 0)
        printf("\n  Broadcasts:             %u", stats->broadcasts);
    printf("\n  Answered:               %u", stats->answered);
    printf("\n  Exceptions:             %u", exceptions);
    const char *separator = " (";
    for (int code = 0; code < 256; ++code) {
        if (stats->exceptions[code] == 0)
            continue;
        printf("%scode %2.2x: %u", separator, code, stats->exceptions[code]);
        separator = ", ";
    }
    printf("%s", exceptions > 0 ? ")" : "");
    printf("\n  Time-outs:              %u", stats->timeouts);
    printf("\n  Bad or foreign frames:  %u", stats->badFrames);
    if (stats->late > 0)
        printf("\n  Late answers:           %u", stats->late);
    printf("\n  Transmit failures:      %u", stats->transmitFailures);
    printf("\n  Connection rebuilds:    %u", rebuilds);
    const uint32_t n = stats->timeCount;
    if (n == 0) {
        printf("\n  Response time (ms):     none answered");
        return;
    }
    uint32_t *times = stats->times;
    uint64_t total = 0;
    for (uint32_t i = 0; i < n; ++i)
        total += times[i];
    // Nearest rank: the smallest time that at least 99 % of the answers took or less.
    const uint32_t rank = (99 * uint64_t(n) + 99) / 100 - 1;
    std::nth_element(times, times + rank, times + n);
    const uint32_t p99 = times[rank];
    printf("\n  Response time (ms):     min %u, mean %.1f, 99th percentile %u, max %u",
           *std::min_element(times, times + n), double(total) / n, p99,
           *std::max_element(times, times + n));
}
