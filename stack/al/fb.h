// The frame buffer: a bounded cursor over a byte array that the application layer writes a
// PDU into and reads one from, field by field, big-endian. Every operation checks its own
// bound and fails (0) without moving past the limit; it never owns the array.
#pragma once

#include <cstdint>

struct FrameBuffer {
    uint32_t limit;
    uint32_t position;
    uint8_t *data;
};

int32_t fbInit(FrameBuffer *fb, uint32_t limit, uint8_t *data);
int32_t fbClearLimit(FrameBuffer *fb);
int32_t fbSkip(FrameBuffer *fb, uint32_t n);
int32_t fbGetBytes(FrameBuffer *fb, uint32_t n, uint8_t *destination);
int32_t fbPutBytes(FrameBuffer *fb, uint32_t n, const uint8_t *source);
int32_t fbGetByte(FrameBuffer *fb, uint8_t *destination);
int32_t fbPutByte(FrameBuffer *fb, uint8_t value);
int32_t fbGetWord(FrameBuffer *fb, uint16_t *destination);
int32_t fbPutWord(FrameBuffer *fb, uint16_t value);
int32_t fbGetLong(FrameBuffer *fb, uint32_t *destination);
int32_t fbPutLong(FrameBuffer *fb, uint32_t value);
// Compact forms: one byte below 128 (one word below 0x8000), else two with the top bit set.
// When only the first part fits, the result is 0 with that part moved past.
int32_t fbGetVar15(FrameBuffer *fb, uint16_t *destination);
int32_t fbPutVar15(FrameBuffer *fb, uint16_t value);
int32_t fbGetVar31(FrameBuffer *fb, uint32_t *destination);
int32_t fbPutVar31(FrameBuffer *fb, uint32_t value);
uint32_t fbPosition(const FrameBuffer *fb);
uint32_t fbLimit(const FrameBuffer *fb);
uint8_t *fbCurrent(const FrameBuffer *fb);
uint32_t fbRemaining(const FrameBuffer *fb);
int32_t fbAtEnd(const FrameBuffer *fb);
