// Receive: reads until the bytes held form a frame whose CRC checks, recovering it from
// joined, prefixed, split and noisy reads by CRC alone, keeps frames by unit address for the
// role, keeps what follows a slave's request for its next receive, and rebuilds a broken
// socket connection so the next request goes out on a fresh one.
#include "stack/dl/crc16.h"
#include "stack/dl/moddl.h"
#include "stack/drivers/clock.h"
#include "stack/trace/trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t rxSlack = moddlRxBufferSize - moddlMaxFrame;
constexpr uint32_t tailFrame = 8;
constexpr uint32_t shortestFrame = 4; // address, function code, CRC
constexpr uint32_t mostNoise = 8;

// One RTU receive call: the reading, the one extra read, and a first frame stripped earlier
// that can still be taken.
struct Rx : LinkRead {
    bool retried;
    bool kept;
    uint8_t keptUnit;
    uint16_t keptLength;
};

// Hands up the frame of length bytes at offset at of the buffer: 0, or 1 for one whose PDU
// does not fit the caller's buffer.
int32_t take(LinkContext *ctx, LinkFrame *frame, const Rx *rx, uint32_t at, uint32_t length) {
    const uint32_t pduLength = length - 3;
    if (pduLength > rx->capacity) {
        tracePrintf("\n\rmoddlRx: frame too long for the buffer.  l==%d", int(length));
        return 1;
    }
    frame->unit = ctx->rxBuffer[at];
    frame->pduLength = uint16_t(pduLength);
    if (pduLength > 0)
        std::memcpy(frame->pdu, ctx->rxBuffer + at + 1, pduLength);
    return 0;
}

// The running CRC over the bytes held from the start: the length of a complete first frame
// shorter than what is held, or 0.
uint32_t firstFrame(const uint8_t *buffer, uint32_t held) {
    tracePrintf("\n\rTry to strip off first frame.");
    uint16_t crc = 0xFFFF;
    uint32_t i = 0;
    while (i < held && crc != 0) {
        crc = moddlCrc16Step(crc, buffer[i]);
        ++i;
    }
    tracePrintf("\n\rTried.  i==%d,", int(i));
    tracePrintf(" crc=%4.4x", unsigned(crc));
    return crc == 0 && i < held ? i : 0;
}

// A frame that checks and ends where the bytes held end, after one to mostNoise bytes of noise
// (a transceiver's turnaround glitch), from a unit the role takes: taken, or -1 when there is
// none. The bounds keep a CRC that checks by chance inside a frame still arriving from
// being taken for one.
int32_t afterNoise(LinkContext *ctx, LinkFrame *frame, const Rx *rx) {
    for (uint32_t start = 1; start <= mostNoise && start + shortestFrame <= rx->held; ++start) {
        const uint8_t unit = ctx->rxBuffer[start];
        const bool expected =
            ctx->role == 1 ? unit == ctx->peerUnit : moddlTakesUnit(ctx, unit) || unit == 0;
        if (expected && moddlCrc16(rx->held - start, ctx->rxBuffer + start) == 0) {
            tracePrintf("\n\rmoddlRx: Found Modbus RTU frame after %d bytes of noise.", int(start));
            return take(ctx, frame, rx, start, rx->held - start);
        }
    }
    return -1;
}

// Where the checks would give up: a frame after leading noise is taken; a socket reads on
// (-1); a first frame stripped earlier is taken with what followed it dropped; otherwise the
// fail line, when there is one, and 1.
int32_t giveUp(LinkContext *ctx, LinkFrame *frame, Rx *rx, uint32_t *waitMs, const char *fail) {
    const int32_t found = afterNoise(ctx, frame, rx);
    if (found >= 0)
        return found;
    if (waitMs && moddlReadOn(ctx, rx, waitMs))
        return -1;
    if (rx->kept) {
        tracePrintf("\n\rmoddlRx: Kept the first frame, dropped %d bytes.", int(rx->held));
        frame->unit = rx->keptUnit;
        frame->pduLength = rx->keptLength;
        return 0;
    }
    if (fail)
        tracePrintf(fail, int(rx->held));
    return 1;
}

// The checks over the bytes held, in their fixed order: 0 a frame was taken, 1 none can be,
// -1 read once more (for at most *waitMs when that is set).
int32_t check(LinkContext *ctx, LinkFrame *frame, Rx *rx, uint32_t *waitMs) {
    uint8_t *buffer = ctx->rxBuffer;
    for (;;) {
        // Only FF FF checks with fewer than 3 bytes; it has no PDU, so it is a bad frame.
        if (rx->held >= 3 && moddlCrc16(rx->held, buffer) == 0)
            return take(ctx, frame, rx, 0, rx->held);
        tracePrintf("\n\rmoddlRx: bad CRC: l=%d", int(rx->held));
        if (rx->held <= tailFrame) {
            if (!rx->retried) {
                rx->retried = true;
                tracePrintf("\n\rmoddlRx: Maybe fragmented frame: try again");
                return -1;
            }
            return giveUp(ctx, frame, rx, waitMs,
                          "\n\rmoddlRx: Couldn't make sense of frame.  l==%d");
        }
        // A slave serves every request in the order sent: the first goes up, the rest waits.
        if (ctx->role != 1) {
            const uint32_t first = firstFrame(buffer, rx->held);
            if (first > 0) {
                tracePrintf("\n\rCRC Check found end of first frame.  Keep %d remaining bytes.",
                            int(rx->held - first));
                const int32_t taken = take(ctx, frame, rx, 0, first);
                std::memmove(buffer, buffer + first, rx->held - first);
                ctx->rxHeld = uint16_t(rx->held - first);
                return taken;
            }
        }
        if (moddlCrc16(tailFrame, buffer + rx->held - tailFrame) == 0) {
            tracePrintf("\n\rmoddlRx: Found Modbus RTU frame in last 8 bytes.");
            return take(ctx, frame, rx, rx->held - tailFrame, tailFrame);
        }
        if (ctx->role == 1) {
            const uint32_t first = firstFrame(buffer, rx->held);
            if (first > 0) {
                tracePrintf("\n\rCRC Check found end of first frame.  Copy %d remaining bytes.",
                            int(rx->held - first));
                // Taken after all if nothing after it becomes a frame.
                if (first >= shortestFrame && first - 3 <= rx->capacity) {
                    rx->kept = true;
                    rx->keptUnit = buffer[0];
                    rx->keptLength = uint16_t(first - 3);
                    std::memcpy(frame->pdu, buffer + 1, first - 3);
                }
                std::memmove(buffer, buffer + first, rx->held - first);
                rx->held -= first;
                continue;
            }
        }
        return giveUp(ctx, frame, rx, waitMs, "\n\rCheck failed.");
    }
}

// The length the context's lengths give the frame that starts with the got bytes, or 0.
uint32_t lengthOf(const LinkContext *ctx, const uint8_t *bytes, uint32_t got) {
    for (uint32_t i = 0; i < ctx->lengthCount && i < moddlMostLengths; ++i) {
        const LinkLength &l = ctx->lengths[i];
        if (l.code == bytes[1])
            return l.countAt == 0 ? l.length : l.countAt < got ? l.length + bytes[l.countAt] : 0;
    }
    return 0;
}

// The got bytes are a whole frame of the length promised, from a unit the role expects (any
// for a slave, which drops another unit's request as it would after the gap), and check.
bool promised(const LinkContext *ctx, const uint8_t *bytes, uint32_t got) {
    return lengthOf(ctx, bytes, got) == got && (ctx->role != 1 || bytes[0] == ctx->peerUnit) &&
           moddlCrc16(got, bytes) == 0;
}

// A read that ended on its count without a promised frame reads on, each read bounded by the
// character gap, until a promised frame is whole or the line pauses: what one read without a
// count would have brought. The bytes added.
uint32_t readToGap(LinkContext *ctx, uint8_t *at, uint32_t got, uint32_t size) {
    uint32_t gapMs = 0, readMs = 0, n = 1;
    ioControl(&ctx->port, GetCharTimeout, &gapMs);
    ioControl(&ctx->port, GetReadTimeout, &readMs);
    // Never 0, which would mean no bound: the link sets a gap of 1 ms at least.
    ioControl(&ctx->port, SetReadTimeout, gapMs);
    const uint32_t from = got;
    while (got < size && n > 0 && !promised(ctx, at, got)) {
        const uint32_t need = lengthOf(ctx, at, got);
        const uint32_t want = need > got && need <= size ? need - got : size - got;
        n = 0;
        if (ioRead(&ctx->port, at + got, want, &n) != IoOk)
            break;
        got += n < want ? n : want;
    }
    ioControl(&ctx->port, SetReadTimeout, readMs);
    return got - from;
}

} // namespace

int32_t moddlReadBegin(LinkContext *ctx, LinkRead *rx, uint16_t capacity) {
    // A slave receives without transmitting first, so a connection lost for good is tried again
    // here too; a failed try waits out the read time-out instead of returning at once, so a
    // caller that receives in a loop never spins on a master or a device that is away.
    if (ctx->connectionLost) {
        if (ctx->isSerial)
            ctx->connectionLost = ioOpen(&ctx->port) != IoOk;
        else
            moddlRebuild(ctx);
        if (ctx->connectionLost) {
            uint32_t waitMs = 0;
            ioControl(&ctx->port, GetReadTimeout, &waitMs);
            std::fflush(stdout);
            delayMs(waitMs);
            return 2;
        }
    }
    // The buffer is sized for the largest frame; a larger capacity cannot use more of it.
    rx->capacity = capacity < moddlMaxFrame ? capacity : moddlMaxFrame;
    // A master takes nothing from an earlier call.
    rx->held = ctx->role == 1 ? 0 : ctx->rxHeld;
    ctx->rxHeld = 0;
    // What an accepted connection kept is stale once its master let the time-out pass.
    if (rx->held > 0 && ctx->accepted && ctx->timeoutMs > 0 &&
        uint32_t(tickCount() - ctx->lastIoTick) > uint32_t(ctx->timeoutMs)) {
        tracePrintf("\n\rmoddlRx: Dropped %d stale bytes", int(rx->held));
        rx->held = 0;
    }
    if (rx->held > 0) {
        tracePrintf("\n\rmoddlRx: %d bytes held over", int(rx->held));
        rx->started = true;
        rx->startTick = tickCount();
    }
    return 0;
}

int32_t moddlReadMore(LinkContext *ctx, LinkRead *rx, uint32_t waitMs) {
    const uint32_t size = rx->capacity + rxSlack - rx->held;
    uint8_t *at = ctx->rxBuffer + rx->held;
    if (waitMs)
        ioControl(&ctx->port, SetReadTimeout, waitMs);
    // A serial read may take its whole time-out; whoever watches sees what came before it.
    if (ctx->isSerial)
        std::fflush(stdout);
    // A serial read from nothing held ends on the shortest length a frame to come may have.
    uint32_t want = size;
    const uint32_t lengths = std::min<uint32_t>(ctx->lengthCount, moddlMostLengths);
    for (uint32_t i = 0; ctx->isSerial && rx->held == 0 && i < lengths; ++i)
        want = ctx->lengths[i].length < want ? ctx->lengths[i].length : want;
    want = want >= shortestFrame ? want : size;
    uint32_t count = 0;
    const int32_t answer = ioRead(&ctx->port, at, want, &count);
    // Never trust a driver to have kept to the size asked.
    count = count < want ? count : want;
    if (answer == IoOk && count == want && want < size && !promised(ctx, at, count))
        count += readToGap(ctx, at, count, size);
    moddlStamp(ctx);
    if (waitMs)
        ioControl(&ctx->port, SetReadTimeout, rx->timeoutMs);
    if (answer == IoTimeout) {
        // An accepted connection comes back with what it held when more has arrived.
        if (ctx->accepted)
            ctx->rxHeld = uint16_t(rx->held);
        return IoTimeout;
    }
    if (answer == IoBroken) {
        tracePrintf("\n\rmoddlRx: broke\n\r");
        moddlLost(ctx);
        return 2;
    }
    if (answer != IoOk) {
        tracePrintf("\n\rmoddlRx: failed");
        if (ctx->isSerial)
            ioControl(&ctx->port, FlushRead, uint32_t(0));
        // A device that fails to read is gone for a slave as one that hung up (Windows reports
        // an unplugged adapter so).
        if (ctx->isSerial && ctx->role != 1)
            moddlLost(ctx);
        return 3;
    }
    tracePrintf("\n\rmoddlRx: Received %d bytes\n\r", int(count));
    tracePacket(count, at);
    ctx->rxBytes += count;
    if (!rx->started && count > 0) {
        rx->started = true;
        rx->startTick = ctx->lastIoTick;
    }
    rx->held += count;
    return IoOk;
}

bool moddlReadOn(LinkContext *ctx, LinkRead *rx, uint32_t *waitMs) {
    if (ctx->isSerial || rx->held >= rx->capacity + rxSlack)
        return false;
    if (!ctx->accepted) {
        ioControl(&ctx->port, GetReadTimeout, &rx->timeoutMs);
        const uint32_t elapsed = uint32_t(tickCount() - rx->startTick);
        if (elapsed >= rx->timeoutMs)
            return false;
        *waitMs = rx->timeoutMs - elapsed;
    }
    if (rx->held > 0)
        tracePrintf("\n\rmoddlRx: Incomplete frame: read on");
    return true;
}

int32_t moddlReceive(LinkContext *ctx, PduRecord *record) {
    LinkFrame frame{0, moddlMaxFrame, record->data};
    const uint32_t bytesBefore = ctx->rxBytes;
    const bool mbap = ctx->framing == framingMbap;
    ctx->strayFrame = false;
    const int32_t received = mbap ? moddlMbapRx(ctx, &frame) : moddlRx(ctx, &frame);
    if (received != 0) {
        ctx->lastRx = received >= 2                 ? RxOutcome::Broken
                      : ctx->rxBytes == bytesBefore ? RxOutcome::Timeout
                      : ctx->strayFrame             ? RxOutcome::Foreign
                                                    : RxOutcome::BadFrame;
        record->length = 0;
        return 0;
    }
    bool taken;
    if (ctx->role == 1) {
        taken = frame.unit == ctx->peerUnit;
    } else {
        taken = moddlTakesUnit(ctx, frame.unit) || frame.unit == 0 ||
                (mbap && frame.unit == moddlMbapDevice);
        if (taken)
            ctx->peerUnit = frame.unit;
    }
    ctx->lastRx = taken ? RxOutcome::Frame : RxOutcome::Foreign;
    if (!taken)
        moddlStray(ctx, frame.unit, frame.pdu, frame.pduLength);
    record->length = taken ? frame.pduLength : 0;
    return taken ? 1 : 0;
}

void moddlStray(LinkContext *ctx, uint8_t unit, const uint8_t *pdu, uint32_t length) {
    ctx->strayFrame = true;
    ctx->strayUnit = unit;
    ctx->strayPdu[0] = length > 0 ? pdu[0] : 0;
    ctx->strayPdu[1] = length > 1 ? pdu[1] : 0;
    ctx->strayTick = ctx->lastIoTick;
}

int32_t moddlRx(LinkContext *ctx, LinkFrame *frame) {
    Rx rx{};
    const int32_t lost = moddlReadBegin(ctx, &rx, frame->pduLength);
    if (lost != 0)
        return lost;
    bool read = rx.held == 0;
    uint32_t waitMs = 0;
    for (;;) {
        if (read) {
            const int32_t answer = moddlReadMore(ctx, &rx, waitMs);
            if (answer == IoTimeout)
                return ctx->accepted ? 1 : giveUp(ctx, frame, &rx, nullptr, nullptr);
            if (answer != IoOk)
                return answer;
        }
        read = true;
        waitMs = 0;
        const int32_t result = check(ctx, frame, &rx, &waitMs);
        if (result >= 0)
            return result;
    }
}
