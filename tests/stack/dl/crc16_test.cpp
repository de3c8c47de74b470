#include "stack/dl/crc16.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Crc16, CheckValueOverDigitsOneToNine) {
    const char *digits = "123456789";
    EXPECT_EQ(moddlCrc16(9, reinterpret_cast<const uint8_t *>(digits)), 0x4B37);
}

TEST(Crc16, EmptyRunLeavesRegisterAtStart) {
    EXPECT_EQ(moddlCrc16(0, nullptr), 0xFFFF);
}

// From a zero register one step over byte i yields exactly table entry i.
TEST(Crc16, TableEntriesFollowReflectedPolynomial) {
    EXPECT_EQ(moddlCrc16Step(0, 0), 0x0000);
    EXPECT_EQ(moddlCrc16Step(0, 1), 0xC0C1);
    EXPECT_EQ(moddlCrc16Step(0, 2), 0xC181);
    EXPECT_EQ(moddlCrc16Step(0, 3), 0x0140);
    EXPECT_EQ(moddlCrc16Step(0, 255), 0x4040);
}

TEST(Crc16, ReadRequestGoesOnLineLowByteFirst) {
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(moddlCrc16(6, frame), 0xCDC5);
}

TEST(Crc16, HighBytesIndexTableUnsigned) {
    const uint8_t frame[] = {0x01, 0x83, 0x02};
    EXPECT_EQ(moddlCrc16(3, frame), 0xF1C0);
}

TEST(Crc16, FrameWithItsCrcChecksToZero) {
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD, 0x00};
    EXPECT_EQ(moddlCrc16(8, frame), 0);
    EXPECT_EQ(moddlCrc16(9, frame), 0); // a trailing 0x00 keeps a zero register
    EXPECT_NE(moddlCrc16(7, frame), 0);
}

TEST(Crc16, FfFfChecksToZeroOnItsOwn) {
    const uint8_t bytes[] = {0xFF, 0xFF};
    EXPECT_EQ(moddlCrc16(2, bytes), 0);
}
