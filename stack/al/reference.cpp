// Register reference parsing: a type digit and a one-based number of up to five digits into
// the reference type and the zero-based offset the encoder sends.
#include "stack/al/reference.h"

namespace {

// 0 to 9 for a digit, 255 for anything else.
uint8_t charValue(char c) {
    return (c >= '0' && c <= '9') ? uint8_t(c - '0') : uint8_t(255);
}

int32_t invalid(uint16_t *refType, uint16_t *offset) {
    *refType = 0;
    *offset = 0;
    return 0;
}

} // namespace

int32_t modplParseReference(const char *text, uint16_t *refType, uint16_t *offset) {
    const uint8_t type = charValue(text[0]);
    if (type == 2 || type > 4)
        return invalid(refType, offset);
    *refType = type;

    uint32_t number = 0;
    for (int taken = 0; taken < 5 && text[1 + taken] != '\0'; ++taken) {
        const uint8_t digit = charValue(text[1 + taken]);
        if (digit > 9)
            return invalid(refType, offset);
        number = number * 10 + digit;
    }
    if (number == 0 || number > 65536)
        return invalid(refType, offset);
    *offset = uint16_t(number - 1);
    return 1;
}
