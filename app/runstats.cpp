// Run statistics and their summary. Response times are kept in microseconds and printed as
// milliseconds to the microsecond: a loopback exchange takes well under one.
#include "app/runstats.h"

#include "stack/drivers/interrupt.h"

#include <algorithm>
#include <cstdio>

RequestResult statsResultOf(const StackContext *ctx, int32_t replyResult,
                            const ModbusMessage *reply) {
    if (replyResult == 1)
        return (reply->functionCode & 0x80) ? RequestResult::Exception : RequestResult::Ok;
    if (replyResult < 0)
        return RequestResult::BadFrame;
    if (interruptRequested())
        return RequestResult::Interrupted;
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

void statsCount(RunStats *stats, RequestResult result, uint8_t exceptionCode, uint32_t us) {
    ++stats->sent;
    switch (result) {
    case RequestResult::Exception:
        ++stats->exceptions[exceptionCode];
        [[fallthrough]];
    case RequestResult::Ok:
        ++stats->answered;
        if (stats->timeCount < statsMaxTimes)
            stats->times[stats->timeCount++] = us;
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
    case RequestResult::Interrupted:
        ++stats->interrupted;
        break;
    case RequestResult::Late:
        ++stats->late;
        break;
    }
}

void statsCountUnit(RunStats *stats, uint8_t unit, RequestResult result, uint32_t us) {
    UnitStats &u = stats->units[unit];
    ++u.sent;
    if (result == RequestResult::Ok || result == RequestResult::Exception) {
        ++u.answered;
        u.totalUs += us;
        u.maxUs = std::max(u.maxUs, us);
    }
    u.exceptions += result == RequestResult::Exception;
    u.timeouts += result == RequestResult::Timeout;
    u.badFrames += result == RequestResult::BadFrame;
}

namespace {

// Minimum, mean, 99th percentile and maximum of the answers' times; reorders them.
void printTimes(uint32_t *times, uint32_t n) {
    uint64_t total = 0;
    for (uint32_t i = 0; i < n; ++i)
        total += times[i];
    // Nearest rank: the smallest time that at least 99 % of the answers took or less.
    const uint32_t rank = (99 * uint64_t(n) + 99) / 100 - 1;
    std::nth_element(times, times + rank, times + n);
    const uint32_t p99 = times[rank];
    const uint32_t least = *std::min_element(times, times + n);
    const uint32_t most = *std::max_element(times, times + n);
    printf("\n  Response time (ms):     min %u.%03u, mean %.3f, 99th percentile %u.%03u, "
           "max %u.%03u",
           least / 1000, least % 1000, double(total) / n / 1000.0, p99 / 1000, p99 % 1000,
           most / 1000, most % 1000);
}

void printUnits(const RunStats *stats) {
    int polled = 0;
    for (const UnitStats &u : stats->units)
        polled += u.sent > 0;
    if (polled < 2)
        return;
    for (int unit = 0; unit < 256; ++unit) {
        const UnitStats &u = stats->units[unit];
        if (u.sent == 0)
            continue;
        const uint32_t mean = u.answered > 0 ? uint32_t(u.totalUs / u.answered) : 0;
        printf("\n  Unit %3d: sent %u, answered %u, exceptions %u, time-outs %u, bad frames %u, "
               "mean %u.%03u ms, max %u.%03u ms",
               unit, u.sent, u.answered, u.exceptions, u.timeouts, u.badFrames, mean / 1000,
               mean % 1000, u.maxUs / 1000, u.maxUs % 1000);
    }
}

} // namespace

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
    if (stats->interrupted > 0)
        printf("\n  Interrupted waits:      %u", stats->interrupted);
    printf("\n  Bad or foreign frames:  %u", stats->badFrames);
    if (stats->late > 0)
        printf("\n  Late answers:           %u", stats->late);
    printf("\n  Transmit failures:      %u", stats->transmitFailures);
    printf("\n  Connection rebuilds:    %u", rebuilds);
    if (stats->overruns > 0)
        printf("\n  Round overruns:         %u", stats->overruns);
    const uint32_t n = stats->timeCount;
    if (n == 0)
        printf("\n  Response time (ms):     none answered");
    else
        printTimes(stats->times, n);
    printUnits(stats);
}
