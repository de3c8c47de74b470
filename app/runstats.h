// Run statistics: what each request came to and how long its answer took, counted in one fixed
// record (nothing is allocated per request), the summary block printed after the last request,
// and the exit status the counts call for.
#pragma once

#include "stack/al/modpl.h"

#include <cstdint>

// A broadcast went out and, as no slave answers one, was waited on by no one; a stop ended the
// wait for an answer (Interrupted). Late: a scan's probe heard the unit probed before it,
// answering after its own time-out.
enum class RequestResult : uint8_t {
    Ok,
    Exception,
    Timeout,
    BadFrame,
    TransmitFailed,
    Broadcast,
    Interrupted,
    Late
};

// The request count is 16 bits, so every answered request's time fits and the 99th
// percentile is exact rather than read from a histogram's buckets.
constexpr uint32_t statsMaxTimes = 65536;

// A unit's share of a run that polls several: counts, and its answers' total and longest time.
struct UnitStats {
    uint32_t sent, answered, exceptions, timeouts, badFrames;
    uint64_t totalUs;
    uint32_t maxUs;
};

struct RunStats {
    uint32_t sent, answered, timeouts, badFrames, transmitFailures, broadcasts, interrupted, late;
    uint32_t overruns; // polling rounds that ran past their period
    UnitStats units[256];
    uint32_t exceptions[256];      // by exception code
    uint32_t times[statsMaxTimes]; // µs, one per answered request (exceptions included)
    uint32_t timeCount;
};

// What a request came to from modplGetReply's result and the reply; a broken or failed port
// while waiting counts as a time-out, a frame from another unit as a bad frame.
RequestResult statsResultOf(const StackContext *ctx, int32_t replyResult,
                            const ModbusMessage *reply);
void statsReset(RunStats *stats);
void statsCount(RunStats *stats, RequestResult result, uint8_t exceptionCode, uint32_t us);
// The same request in its unit's counts, which the summary lists when more than one unit was
// polled.
void statsCountUnit(RunStats *stats, uint8_t unit, RequestResult result, uint32_t us);
// 0 every request answered without exception, 1 at least one exception and nothing worse, 2 at
// least one time-out, bad frame or transmit failure.
int statsStatus(const RunStats *stats);
// The summary block, with printf; reorders the times.
void statsPrint(RunStats *stats, uint32_t rebuilds);
