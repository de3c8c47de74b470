// Modbus TCP framing: the MBAP header (transaction id, protocol id 0, length, unit id) in
// front of the PDU, no CRC. The header's length ends a frame, so a frame is complete as soon as
// its bytes are there; a transaction id tells a master's own reply from a late one, and a
// header that cannot be one shows the stream is out of step.
#include "stack/dl/moddl.h"
#include "stack/trace/trace.h"

#include <cstring>

namespace {

constexpr uint32_t shortestLength = 2; // unit id and function code
constexpr uint32_t longestLength = 254;

uint16_t word(const uint8_t *at) {
    return uint16_t(at[0] << 8 | at[1]);
}

// Nothing later on the stream can be trusted: what is held goes, and the connection is built
// anew before the next request (an accepted one is closed).
int32_t outOfStep(LinkContext *ctx) {
    ctx->rxHeld = 0;
    if (ctx->accepted)
        moddlLost(ctx);
    else
        ctx->connectionLost = 1;
    return 1;
}

} // namespace

int32_t moddlSetFraming(LinkContext *ctx, uint8_t framing) {
    if (framing == framingMbap && ctx->isSerial)
        return 0;
    ctx->framing = framing;
    return 1;
}

uint32_t moddlMbapWrap(LinkContext *ctx, const LinkFrame *frame, uint8_t *buffer) {
    if (ctx->role == 1)
        ctx->transactionId = uint16_t(ctx->transactionId + 1);
    const uint32_t length = frame->pduLength + 1u;
    const uint8_t header[moddlMbapHeader] = {uint8_t(ctx->transactionId >> 8),
                                             uint8_t(ctx->transactionId),
                                             0,
                                             0,
                                             uint8_t(length >> 8),
                                             uint8_t(length),
                                             frame->unit};
    std::memcpy(buffer, header, sizeof header);
    if (frame->pduLength > 0)
        std::memcpy(buffer + moddlMbapHeader, frame->pdu, frame->pduLength);
    return moddlMbapHeader + frame->pduLength;
}

int32_t moddlMbapRx(LinkContext *ctx, LinkFrame *frame) {
    LinkRead rd{};
    const int32_t lost = moddlReadBegin(ctx, &rd, frame->pduLength);
    if (lost != 0)
        return lost;
    uint8_t *buffer = ctx->rxBuffer;
    bool read = rd.held == 0;
    uint32_t waitMs = 0;
    for (;;) {
        if (read) {
            const int32_t answer = moddlReadMore(ctx, &rd, waitMs);
            if (answer == IoTimeout) {
                if (ctx->accepted || rd.held == 0)
                    return 1;
                tracePrintf("\n\rmoddlRx: Incomplete MBAP frame dropped.  l==%d", int(rd.held));
                return outOfStep(ctx);
            }
            if (answer != IoOk)
                return answer;
        }
        read = true;
        waitMs = 0;
        while (rd.held >= moddlMbapHeader) {
            const uint32_t protocol = word(buffer + 2), length = word(buffer + 4);
            if (protocol != 0 || length < shortestLength || length > longestLength) {
                tracePrintf("\n\rmoddlRx: MBAP header out of step: protocol %u, length %u.  "
                            "Dropped %d bytes.",
                            unsigned(protocol), unsigned(length), int(rd.held));
                return outOfStep(ctx);
            }
            const uint32_t size = 6 + length;
            if (rd.held < size)
                break;
            const uint16_t transaction = word(buffer);
            const uint32_t pduLength = length - 1;
            const bool stale = ctx->role == 1 && transaction != ctx->transactionId;
            if (stale) {
                moddlStray(ctx, buffer[6], buffer + moddlMbapHeader, pduLength);
                tracePrintf("\n\rmoddlRx: Stale MBAP frame dropped: transaction %u, expected %u",
                            unsigned(transaction), unsigned(ctx->transactionId));
            } else if (pduLength > rd.capacity)
                tracePrintf("\n\rmoddlRx: frame too long for the buffer.  l==%d", int(size));
            if (!stale && pduLength <= rd.capacity) {
                frame->unit = buffer[6];
                frame->pduLength = uint16_t(pduLength);
                std::memcpy(frame->pdu, buffer + moddlMbapHeader, pduLength);
                if (ctx->role != 1) {
                    ctx->transactionId = transaction;
                    // The next requests wait for the next receive.
                    ctx->rxHeld = uint16_t(rd.held - size);
                }
                std::memmove(buffer, buffer + size, rd.held - size);
                return 0;
            }
            std::memmove(buffer, buffer + size, rd.held - size);
            rd.held -= size;
            if (!stale)
                return 1;
        }
        // A master that dropped a late reply waits on for its own within the same time-out.
        if (!moddlReadOn(ctx, &rd, &waitMs)) {
            if (rd.held == 0)
                return 1;
            tracePrintf("\n\rmoddlRx: Incomplete MBAP frame dropped.  l==%d", int(rd.held));
            return outOfStep(ctx);
        }
    }
}
