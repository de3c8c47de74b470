#include "tests/support/support.h"

TEST_P(Rows, Outcome) {
    EXPECT_EQ(GetParam().run(), GetParam().expected);
}

std::string str(int64_t value) {
    return std::to_string(value);
}

std::string hex(const uint8_t *bytes, size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i)
        text += {' ', "0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
    return text;
}
