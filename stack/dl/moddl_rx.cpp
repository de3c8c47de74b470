// Receive: reads until the bytes held form a frame whose CRC checks, recovering it from
// joined, prefixed and split reads by CRC alone, keeps frames by unit address for the role,
// and rebuilds a broken socket connection so the next request goes out on a fresh one.
#include "stack/dl/crc16.h"
#include "stack/dl/moddl.h"
#include "stack/drivers/clock.h"
#include "stack/trace/trace.h"

#include <cstring>

namespace {

constexpr uint32_t rxSlack = 16;
constexpr uint32_t rxBufferSize = moddlMaxFrame + rxSlack;
constexpr uint32_t tailFrame = 8;

} // namespace

int32_t moddlReceive(LinkContext *ctx, PduRecord *record) {
    LinkFrame frame{0, moddlMaxFrame, record->data};
    const uint32_t bytesBefore = ctx->rxBytes;
    const int32_t received = moddlRx(ctx, &frame);
    if (received != 0) {
        ctx->lastRx = received >= 2                 ? RxOutcome::Broken
                      : ctx->rxBytes == bytesBefore ? RxOutcome::Timeout
                                                    : RxOutcome::BadFrame;
        record->length = 0;
        return 0;
    }
    bool taken;
    if (ctx->role == 1) {
        taken = frame.unit == ctx->peerUnit;
    } else {
        taken = frame.unit == ctx->ownUnit || frame.unit == 0;
        if (taken)
            ctx->peerUnit = frame.unit;
    }
    ctx->lastRx = taken ? RxOutcome::Frame : RxOutcome::Foreign;
    record->length = taken ? frame.pduLength : 0;
    return taken ? 1 : 0;
}

int32_t moddlRx(LinkContext *ctx, LinkFrame *frame) {
    // A slave receives without transmitting first, so a connection lost for good is tried again
    // here too; a failed try waits out the read time-out instead of returning at once, so a
    // caller that receives in a loop never spins on a master that is away.
    if (!ctx->isSerial && ctx->connectionLost) {
        moddlRebuild(ctx);
        if (ctx->connectionLost) {
            uint32_t waitMs = 0;
            ioControl(&ctx->port, GetReadTimeout, &waitMs);
            delayMs(waitMs);
            return 2;
        }
    }
    // The buffer is sized for the largest frame; a larger capacity cannot use more of it.
    uint32_t capacity = frame->pduLength < moddlMaxFrame ? frame->pduLength : moddlMaxFrame;
    uint8_t buffer[rxBufferSize];
    uint32_t held = 0;
    bool retried = false;

    for (;;) {
        uint32_t size = capacity + rxSlack - held;
        uint32_t count = 0;
        int32_t answer = ioRead(&ctx->port, buffer + held, size, &count);
        moddlStamp(ctx);
        if (answer == IoTimeout)
            return 1;
        if (answer == IoBroken) {
            tracePrintf("\n\rmoddlRx: broke\n\r");
            if (!ctx->isSerial)
                moddlRebuild(ctx);
            return 2;
        }
        if (answer != IoOk) {
            tracePrintf("\n\rmoddlRx: failed");
            if (ctx->isSerial)
                ioControl(&ctx->port, FlushRead, uint32_t(0));
            return 3;
        }
        // Never trust a driver to have kept to the size asked.
        if (count > size)
            count = size;
        tracePrintf("\n\rmoddlRx: Received %d bytes\n\r", int(count));
        tracePacket(count, buffer + held);
        held += count;
        ctx->rxBytes += count;

        for (;;) {
            // Only FF FF checks with fewer than 3 bytes; it has no PDU, so it is a bad frame.
            if (held >= 3 && moddlCrc16(held, buffer) == 0) {
                uint32_t pduLength = held - 3;
                if (pduLength > capacity) {
                    tracePrintf("\n\rmoddlRx: frame too long for the buffer.  l==%d", int(held));
                    return 1;
                }
                frame->unit = buffer[0];
                frame->pduLength = uint16_t(pduLength);
                if (pduLength > 0)
                    std::memcpy(frame->pdu, buffer + 1, pduLength);
                return 0;
            }
            tracePrintf("\n\rmoddlRx: bad CRC: l=%d", int(held));
            if (held <= tailFrame)
                break;
            if (moddlCrc16(tailFrame, buffer + held - tailFrame) == 0) {
                tracePrintf("\n\rmoddlRx: Found Modbus RTU frame in last 8 bytes.");
                std::memmove(buffer, buffer + held - tailFrame, tailFrame);
                held = tailFrame;
                continue;
            }
            tracePrintf("\n\rTry to strip off first frame.");
            uint16_t crc = 0xFFFF;
            uint32_t i = 0;
            while (i < held && crc != 0) {
                crc = moddlCrc16Step(crc, buffer[i]);
                ++i;
            }
            tracePrintf("\n\rTried.  i==%d,", int(i));
            tracePrintf(" crc=%4.4x", unsigned(crc));
            if (crc == 0 && i < held) {
                tracePrintf("\n\rCRC Check found end of first frame.  Copy %d remaining bytes.",
                            int(held - i));
                std::memmove(buffer, buffer + i, held - i);
                held -= i;
                continue;
            }
            tracePrintf("\n\rCheck failed.");
            return 1;
        }

        if (retried) {
            tracePrintf("\n\rmoddlRx: Couldn't make sense of frame.  l==%d", int(held));
            return 1;
        }
        retried = true;
        tracePrintf("\n\rmoddlRx: Maybe fragmented frame: try again");
    }
}
