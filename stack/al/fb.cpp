// The frame buffer codec: bounded big-endian puts and gets over a caller's byte array. Every
// operation tests its own bound first, so a failure leaves buffer and destination unchanged
// (the compact two-part forms excepted, whose first part stays moved past).
#include "stack/al/fb.h"

#include <cstring>

namespace {

// position + n would pass the limit; also guards the unsigned sum against wrapping.
bool noRoom(const FrameBuffer *fb, uint32_t n) {
    return n > fb->limit || fb->position > fb->limit - n;
}

} // namespace

int32_t fbInit(FrameBuffer *fb, uint32_t limit, uint8_t *data) {
    fb->limit = limit;
    fb->position = 0;
    fb->data = data;
    return 1;
}

int32_t fbClearLimit(FrameBuffer *fb) {
    fb->limit = 0;
    if (fb->position > fb->limit)
        fb->position = 0; // keeps position within the limit
    return 1;
}

int32_t fbSkip(FrameBuffer *fb, uint32_t n) {
    if (noRoom(fb, n))
        return 0;
    fb->position += n;
    return 1;
}

int32_t fbGetBytes(FrameBuffer *fb, uint32_t n, uint8_t *destination) {
    if (noRoom(fb, n))
        return 0;
    if (n > 0)
        std::memcpy(destination, fb->data + fb->position, n);
    fb->position += n;
    return 1;
}

int32_t fbPutBytes(FrameBuffer *fb, uint32_t n, const uint8_t *source) {
    if (noRoom(fb, n))
        return 0;
    if (n > 0)
        std::memcpy(fb->data + fb->position, source, n);
    fb->position += n;
    return 1;
}

int32_t fbGetByte(FrameBuffer *fb, uint8_t *destination) {
    return fbGetBytes(fb, 1, destination);
}

int32_t fbPutByte(FrameBuffer *fb, uint8_t value) {
    return fbPutBytes(fb, 1, &value);
}

int32_t fbGetWord(FrameBuffer *fb, uint16_t *destination) {
    uint8_t b[2];
    if (!fbGetBytes(fb, 2, b))
        return 0;
    *destination = uint16_t((b[0] << 8) | b[1]);
    return 1;
}

int32_t fbPutWord(FrameBuffer *fb, uint16_t value) {
    const uint8_t b[2] = {uint8_t(value >> 8), uint8_t(value)};
    return fbPutBytes(fb, 2, b);
}

int32_t fbGetLong(FrameBuffer *fb, uint32_t *destination) {
    uint8_t b[4];
    if (!fbGetBytes(fb, 4, b))
        return 0;
    *destination = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    return 1;
}

int32_t fbPutLong(FrameBuffer *fb, uint32_t value) {
    const uint8_t b[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                          uint8_t(value)};
    return fbPutBytes(fb, 4, b);
}

int32_t fbGetVar15(FrameBuffer *fb, uint16_t *destination) {
    uint8_t first = 0;
    if (!fbGetByte(fb, &first))
        return 0;
    *destination = first;
    if ((first & 0x80u) == 0)
        return 1;
    uint8_t second = 0;
    if (!fbGetByte(fb, &second))
        return 0;
    *destination = uint16_t(((first << 8) & 0x7FFF) | second);
    return 1;
}

int32_t fbPutVar15(FrameBuffer *fb, uint16_t value) {
    if (value < 0x80u)
        return fbPutByte(fb, uint8_t(value));
    if (!fbPutByte(fb, uint8_t((value >> 8) | 0x80u)))
        return 0;
    return fbPutByte(fb, uint8_t(value));
}

int32_t fbGetVar31(FrameBuffer *fb, uint32_t *destination) {
    uint16_t first = 0;
    if (!fbGetWord(fb, &first))
        return 0;
    *destination = first;
    if ((first & 0x8000u) == 0)
        return 1;
    uint16_t second = 0;
    if (!fbGetWord(fb, &second))
        return 0;
    *destination = ((uint32_t(first) << 16) & 0x7FFFFFFFu) | second;
    return 1;
}

int32_t fbPutVar31(FrameBuffer *fb, uint32_t value) {
    if (value < 0x8000u)
        return fbPutWord(fb, uint16_t(value));
    if (!fbPutWord(fb, uint16_t((value >> 16) | 0x8000u)))
        return 0;
    return fbPutWord(fb, uint16_t(value));
}

uint32_t fbPosition(const FrameBuffer *fb) {
    return fb->position;
}

uint32_t fbLimit(const FrameBuffer *fb) {
    return fb->limit;
}

uint8_t *fbCurrent(const FrameBuffer *fb) {
    return fb->data + fb->position;
}

uint32_t fbRemaining(const FrameBuffer *fb) {
    return fb->limit - fb->position;
}

int32_t fbAtEnd(const FrameBuffer *fb) {
    return fb->position == fb->limit ? 1 : 0;
}
