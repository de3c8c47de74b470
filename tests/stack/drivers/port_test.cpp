#include "stack/drivers/port.h"

#include <gtest/gtest.h>

TEST(PortTable, EmptyTableAnswersNoOperationEverywhere) {
    PortChannel channel{};
    uint8_t buffer[4] = {};
    uint32_t count = 77;
    uint32_t word = 88;
    EXPECT_EQ(ioOpen(&channel), IoNoOperation);
    EXPECT_EQ(ioClose(&channel), IoNoOperation);
    EXPECT_EQ(ioControl(&channel, SetBaud, uint32_t(9600)), IoNoOperation);
    EXPECT_EQ(ioControl(&channel, GetLineSettings, &word), IoNoOperation);
    EXPECT_EQ(ioRead(&channel, buffer, 4, &count), IoNoOperation);
    EXPECT_EQ(ioWrite(&channel, buffer, 4, &count), IoNoOperation);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(word, 88u);
}
