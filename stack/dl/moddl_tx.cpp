// Transmit: the send rules of the two roles, RTU framing with the CRC, pacing from the last
// port operation, the write through the table and its result mapping, and the frame counters.
#include "stack/dl/crc16.h"
#include "stack/dl/moddl.h"
#include "stack/drivers/clock.h"
#include "stack/trace/trace.h"

#include <cstdio>
#include <cstring>

namespace {

// A slave answers only a request addressed to it, never a broadcast; on Modbus TCP unit 255
// means the device itself.
bool answersPeer(const LinkContext *ctx) {
    const bool toMe = moddlTakesUnit(ctx, ctx->peerUnit) ||
                      (ctx->framing == framingMbap && ctx->peerUnit == moddlMbapDevice);
    return toMe && ctx->peerUnit != 0;
}

} // namespace

int32_t moddlSend(LinkContext *ctx, uint8_t unit, const PduRecord *pdu) {
    if (ctx->role == 1) {
        ctx->peerUnit = unit;
    } else if (!answersPeer(ctx)) {
        return 0;
    }
    LinkFrame frame{ctx->peerUnit, pdu->length, pdu->data};
    int32_t result = moddlTransmit(ctx, &frame);
    if (result == 0) {
        ctx->linkCounts[0] += 1;
        return 1;
    }
    return result == 1 ? 0 : -3;
}

int32_t moddlTransmit(LinkContext *ctx, const LinkFrame *frame) {
    // A connection lost for good in an earlier rebuild, or a master's serial device that went
    // away, is tried again before every request.
    if (ctx->connectionLost && !ctx->isSerial) {
        moddlRebuild(ctx);
    } else if (ctx->connectionLost && ctx->role == 1) {
        ++ctx->rebuilds;
        const int32_t opened = ioOpen(&ctx->port);
        ctx->connectionLost = opened != IoOk;
        tracePrintf("\n\rmoddlTransmit: reopened serial port (%d)", opened == IoOk ? 0 : 1);
    }
    tracePrintf("\n\rEnter moddlTransmit().");
    if (uint32_t(frame->pduLength) + 3u > moddlMaxFrame) {
        tracePrintf("\n\rPacket too long.");
        return 3;
    }
    uint8_t buffer[moddlFrameMost];
    return moddlWrite(ctx, buffer, moddlFrameBytes(ctx, frame, buffer));
}

uint32_t moddlFrameBytes(LinkContext *ctx, const LinkFrame *frame, uint8_t *buffer) {
    if (ctx->framing == framingMbap)
        return moddlMbapWrap(ctx, frame, buffer);
    const uint32_t n = frame->pduLength;
    buffer[0] = frame->unit;
    if (n > 0)
        std::memcpy(buffer + 1, frame->pdu, n);
    const uint16_t crc = moddlCrc16(n + 1, buffer);
    buffer[n + 1] = uint8_t(crc & 0xFFu);
    buffer[n + 2] = uint8_t(crc >> 8);
    return n + 3;
}

uint32_t moddlAnswerBytes(LinkContext *ctx, const PduRecord *pdu, uint8_t *buffer) {
    if (ctx->role == 1 || !answersPeer(ctx) || uint32_t(pdu->length) + 3u > moddlMaxFrame)
        return 0;
    const LinkFrame frame{ctx->peerUnit, pdu->length, pdu->data};
    return moddlFrameBytes(ctx, &frame, buffer);
}

int32_t moddlWrite(LinkContext *ctx, const uint8_t *buffer, uint32_t length) {
    tracePrintf("\n\n\rmoddlTx: about to transmit %d bytes\n\r", int(length));
    tracePacket(length, buffer);
    // Whatever came before a request is stale for a master; a slave's input may already hold
    // the next request.
    if (ctx->isSerial && ctx->role == 1)
        ioControl(&ctx->port, FlushRead, uint32_t(0));
    moddlPace(ctx, ctx->timing.minIntervalUs);
    // A serial write lasts until the bytes have left; whoever watches sees what came before.
    if (ctx->isSerial)
        std::fflush(stdout);
    uint32_t written = 0;
    int32_t answer = ioWrite(&ctx->port, buffer, length, &written);
    moddlStamp(ctx);
    if (answer == IoOk) {
        ctx->lowerCounts[1] += 1;
        return 0;
    }
    int32_t result;
    if (answer == IoTimeout) {
        tracePrintf("\n\rmoddlTransmit timeout");
        result = 1;
    } else if (answer == IoBroken) {
        tracePrintf("\n\rmoddlTransmit broke");
        result = 2;
        moddlLost(ctx);
    } else {
        tracePrintf("\n\rmoddlTransmit failed");
        result = 3;
    }
    if (ctx->isSerial) {
        tracePrintf("\n\rmoddlTransmit Io--FlushWrite");
        ioControl(&ctx->port, FlushWrite, uint32_t(0));
    }
    return result;
}

void moddlPace(LinkContext *ctx, uint32_t intervalUs) {
    uint32_t ms = intervalUs / 1000u;
    if (ms == 0)
        return;
    uint32_t elapsed = uint32_t(tickCount() - ctx->lastIoTick);
    if (elapsed < ms) {
        // Whoever watches the console sees the trace before the wait, not after it.
        std::fflush(stdout);
        delayMs(ms - elapsed);
    }
}

int32_t moddlGetCounts(LinkContext *ctx, uint32_t out[2]) {
    out[0] = ctx->linkCounts[0];
    out[1] = ctx->linkCounts[1];
    return 1;
}

int32_t moddlGetLowerCounts(LinkContext *ctx, uint32_t out[2]) {
    out[0] = ctx->lowerCounts[0];
    out[1] = ctx->lowerCounts[1];
    return 1;
}

int32_t moddlResetCounts(LinkContext *ctx) {
    ctx->linkCounts[0] = 0;
    ctx->linkCounts[1] = 0;
    ctx->lowerCounts[0] = 0;
    ctx->lowerCounts[1] = 0;
    return 1;
}
