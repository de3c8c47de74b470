// Frame buffer bounds, byte order and the compact forms.
#include "stack/al/fb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> written(const FrameBuffer &fb) {
    return std::vector<uint8_t>(fb.data, fb.data + fb.position);
}

} // namespace

TEST(FrameBuffer, LimitOf256HoldsExactly128Words) {
    uint8_t bytes[256];
    FrameBuffer fb;
    fbInit(&fb, sizeof bytes, bytes);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(fbPutWord(&fb, uint16_t(i)), 1);
    EXPECT_EQ(fbPutWord(&fb, 0xBEEF), 0);
    EXPECT_EQ(fbPosition(&fb), 256u);
    EXPECT_EQ(fbAtEnd(&fb), 1);
}

TEST(FrameBuffer, WordsAndLongsAreBigEndian) {
    uint8_t bytes[8];
    FrameBuffer fb;
    fbInit(&fb, sizeof bytes, bytes);
    fbPutWord(&fb, 0x1234);
    fbPutLong(&fb, 0x12345678);
    EXPECT_EQ(written(fb), (std::vector<uint8_t>{0x12, 0x34, 0x12, 0x34, 0x56, 0x78}));
    fbInit(&fb, 6, bytes);
    uint16_t word = 0;
    uint32_t longValue = 0;
    EXPECT_EQ(fbGetWord(&fb, &word), 1);
    EXPECT_EQ(fbGetLong(&fb, &longValue), 1);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(longValue, 0x12345678u);
}

TEST(FrameBuffer, GetFromEmptyLimitFailsAndLeavesDestination) {
    uint8_t bytes[1] = {0x55};
    FrameBuffer fb;
    fbInit(&fb, 0, bytes);
    uint8_t b = 0xAA;
    EXPECT_EQ(fbGetByte(&fb, &b), 0);
    EXPECT_EQ(b, 0xAA);
    EXPECT_EQ(fbPosition(&fb), 0u);
}

TEST(FrameBuffer, Var15TakesOneByteBelow128AndTwoFrom128) {
    uint8_t bytes[4];
    FrameBuffer fb;
    fbInit(&fb, sizeof bytes, bytes);
    fbPutVar15(&fb, 5);
    fbPutVar15(&fb, 300);
    EXPECT_EQ(written(fb), (std::vector<uint8_t>{0x05, 0x81, 0x2C}));
    fbInit(&fb, 3, bytes);
    uint16_t a = 0, b = 0;
    EXPECT_EQ(fbGetVar15(&fb, &a), 1);
    EXPECT_EQ(fbGetVar15(&fb, &b), 1);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 300);
}

TEST(FrameBuffer, Var31TakesOneWordBelow0x8000AndTwoFromIt) {
    uint8_t bytes[6];
    FrameBuffer fb;
    fbInit(&fb, sizeof bytes, bytes);
    fbPutVar31(&fb, 0x12345);
    fbPutVar31(&fb, 0x7FFF);
    EXPECT_EQ(written(fb), (std::vector<uint8_t>{0x80, 0x01, 0x23, 0x45, 0x7F, 0xFF}));
    fbInit(&fb, 4, bytes);
    uint32_t v = 0;
    EXPECT_EQ(fbGetVar31(&fb, &v), 1);
    EXPECT_EQ(v, 0x12345u);
}

TEST(FrameBuffer, Var15CutAfterFirstByteFailsWithFirstPartRead) {
    uint8_t bytes[1] = {0x81};
    FrameBuffer fb;
    fbInit(&fb, 1, bytes);
    uint16_t v = 0;
    EXPECT_EQ(fbGetVar15(&fb, &v), 0);
    EXPECT_EQ(fbPosition(&fb), 1u);
    EXPECT_EQ(v, 0x81);
}

TEST(FrameBuffer, Var15PutWithRoomForOneByteLeavesItWritten) {
    uint8_t bytes[1] = {0};
    FrameBuffer fb;
    fbInit(&fb, 1, bytes);
    EXPECT_EQ(fbPutVar15(&fb, 300), 0);
    EXPECT_EQ(fbPosition(&fb), 1u);
    EXPECT_EQ(bytes[0], 0x81);
}

TEST(FrameBuffer, SkipOfExactlyTheRestReachesTheEnd) {
    uint8_t bytes[10] = {};
    FrameBuffer fb;
    fbInit(&fb, sizeof bytes, bytes);
    fbSkip(&fb, 3);
    EXPECT_EQ(fbSkip(&fb, fbRemaining(&fb) + 1), 0);
    EXPECT_EQ(fbSkip(&fb, fbRemaining(&fb)), 1);
    EXPECT_EQ(fbAtEnd(&fb), 1);
    EXPECT_EQ(fbCurrent(&fb), bytes + 10);
}
