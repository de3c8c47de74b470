#include "tests/support/support.h"

#include <cstdio>

TEST_P(Rows, Outcome) {
    EXPECT_EQ(GetParam().run(), GetParam().expected);
}

std::string str(int64_t value) {
    return std::to_string(value);
}

std::string hex(const uint8_t *bytes, size_t n) {
    std::string text;
    char b[4];
    for (size_t i = 0; i < n; ++i)
        text += (std::snprintf(b, sizeof b, " %02x", bytes[i]), b);
    return text;
}
