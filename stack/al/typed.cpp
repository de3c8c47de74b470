// The typed-value codec: names, word orders, parsing and formatting. Text is built through a
// bounded cursor; numbers never pass through the C library's printf or strtod, whose float text
// differs between platforms.
#include "stack/al/typed.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// In the order of DataType.
const char *const typeNames[] = {"INT16", "UINT16", "HEX",     "INT32",  "UINT32", "FLOAT32",
                                 "INT64", "UINT64", "FLOAT64", "STRING", "ALL"};
const char *const orderNames[] = {"ABCD", "CDAB", "BADC", "DCBA"};
constexpr size_t numberSize = 32; // the longest number text is 24 characters

// A cursor that writes up to end, which is kept free for the NUL.
struct Text {
    char *at;
    char *end;
};

void put(Text *t, const char *s, size_t n) {
    for (size_t i = 0; i < n && t->at < t->end; ++i)
        *t->at++ = s[i];
}
void put(Text *t, const char *s) {
    put(t, s, strlen(s));
}
// Right-aligned in width.
void putRight(Text *t, const char *s, size_t width) {
    for (size_t n = strlen(s); n < width; ++n)
        put(t, " ");
    put(t, s);
}

bool isSigned(DataType type) {
    return type == DataType::Int16 || type == DataType::Int32 || type == DataType::Int64;
}

// Whole-text integer of bits width: decimal with a sign for a signed type, or 0x hex for the
// bits as they stand.
bool parseInteger(const char *text, int bits, bool signedType, uint64_t *out) {
    const char *end = text + strlen(text);
    const bool negative = signedType && text[0] == '-';
    const char *p = text + (negative ? 1 : 0);
    int base = 10;
    if (!negative && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    uint64_t magnitude = 0;
    const std::from_chars_result r = std::from_chars(p, end, magnitude, base);
    if (p == end || r.ec != std::errc() || r.ptr != end)
        return false;
    const uint64_t mask = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    if (base == 16 || !signedType) {
        *out = magnitude;
        return magnitude <= mask;
    }
    const uint64_t half = uint64_t(1) << (bits - 1);
    if (negative ? magnitude > half : magnitude >= half)
        return false;
    *out = (negative ? 0 - magnitude : magnitude) & mask;
    return true;
}

template <typename Float> bool parseFloat(const char *text, uint64_t *out) {
    const char *end = text + strlen(text);
    Float value = 0;
    const std::from_chars_result r = std::from_chars(text, end, value);
    if (text == end || r.ec != std::errc() || r.ptr != end)
        return false;
    if constexpr (sizeof(Float) == 4) {
        uint32_t bits = 0;
        memcpy(&bits, &value, sizeof bits);
        *out = bits;
    } else {
        memcpy(out, &value, sizeof *out);
    }
    return true;
}

bool parseBits(const char *text, DataType type, uint64_t *bits) {
    switch (type) {
    case DataType::Float32:
        return parseFloat<float>(text, bits);
    case DataType::Float64:
        return parseFloat<double>(text, bits);
    default:
        return parseInteger(text, 16 * typedWidth(type), isSigned(type), bits);
    }
}

template <typename T> void numberText(T value, char *text) {
    *std::to_chars(text, text + numberSize - 1, value).ptr = '\0';
}

template <typename Float> void floatText(Float value, char *text) {
    if (std::isnan(value))
        strcpy(text, "nan"); // to_chars keeps the sign of a NaN; a NaN has no sign to show
    else
        numberText(value, text);
}

void hexText(uint16_t value, char *text) {
    strcpy(text, "0x");
    for (int i = 0; i < 4; ++i)
        text[2 + i] = "0123456789ABCDEF"[(value >> (12 - 4 * i)) & 15];
    text[6] = '\0';
}

// The text of a numeric type's bits; text holds numberSize.
void valueText(uint64_t bits, DataType type, char *text) {
    switch (type) {
    case DataType::Uint16:
        return numberText(uint16_t(bits), text);
    case DataType::Hex:
        return hexText(uint16_t(bits), text);
    case DataType::Int32:
        return numberText(int32_t(uint32_t(bits)), text);
    case DataType::Uint32:
        return numberText(uint32_t(bits), text);
    case DataType::Float32: {
        const uint32_t word = uint32_t(bits);
        float value = 0;
        memcpy(&value, &word, sizeof value);
        return floatText(value, text);
    }
    case DataType::Int64:
        return numberText(int64_t(bits), text);
    case DataType::Uint64:
        return numberText(bits, text);
    case DataType::Float64: {
        double value = 0;
        memcpy(&value, &bits, sizeof value);
        return floatText(value, text);
    }
    default:
        return numberText(int16_t(uint16_t(bits)), text);
    }
}

void putString(Text *t, const uint16_t *registers, int32_t count) {
    put(t, "\"");
    for (int32_t i = 0; i < 2 * count; ++i) {
        const uint8_t byte = uint8_t(i % 2 == 0 ? registers[i / 2] >> 8 : registers[i / 2]);
        char piece[5] = {'\\', char(byte), '\0', '\0', '\0'};
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            piece[0] = char(byte), piece[1] = '\0';
        } else if (byte != '"' && byte != '\\') {
            piece[1] = 'x';
            piece[2] = "0123456789abcdef"[byte >> 4];
            piece[3] = "0123456789abcdef"[byte & 15];
        }
        // the closing quote always fits
        if (size_t(t->end - t->at) < strlen(piece) + 1)
            break;
        put(t, piece);
    }
    put(t, "\"");
}

// Empties the text; whether it has room for a number or a line of the ALL table.
bool ready(char *text, size_t size) {
    if (size > 0)
        text[0] = '\0';
    return size >= typedTextSize;
}

Text startText(char *text, size_t size) {
    return Text{text, text + size - 1};
}
size_t endText(Text *t, char *text) {
    *t->at = '\0';
    return size_t(t->at - text);
}

} // namespace

bool typedParseType(const char *name, DataType *type) {
    for (size_t i = 0; i < sizeof typeNames / sizeof typeNames[0]; ++i) {
        if (strcmp(name, typeNames[i]) == 0) {
            *type = DataType(i);
            return true;
        }
    }
    if (strcmp(name, "FLOAT") == 0)
        *type = DataType::Float32;
    else if (strcmp(name, "DOUBLE") == 0)
        *type = DataType::Float64;
    else
        return false;
    return true;
}

bool typedParseOrder(const char *name, WordOrder *order) {
    for (size_t i = 0; i < 4; ++i) {
        if (strcmp(name, orderNames[i]) == 0) {
            *order = WordOrder(i);
            return true;
        }
    }
    return false;
}

const char *typedTypeName(DataType type) {
    return typeNames[size_t(type)];
}

const char *typedOrderName(WordOrder order) {
    return orderNames[size_t(order)];
}

int32_t typedWidth(DataType type) {
    switch (type) {
    case DataType::Int32:
    case DataType::Uint32:
    case DataType::Float32:
        return 2;
    case DataType::Int64:
    case DataType::Uint64:
    case DataType::Float64:
        return 4;
    default:
        return 1;
    }
}

bool typedIsNegativeNumber(const char *argument) {
    return argument[0] == '-' &&
           (isdigit(static_cast<unsigned char>(argument[1])) || argument[1] == '.');
}

void typedPutBits(uint64_t bits, int32_t words, WordOrder order, uint16_t *registers) {
    const bool reverse = order == WordOrder::Cdab || order == WordOrder::Dcba;
    const bool swap = order == WordOrder::Badc || order == WordOrder::Dcba;
    for (int32_t i = 0; i < words; ++i) {
        uint16_t word = uint16_t(bits >> (16 * (words - 1 - i)));
        if (swap)
            word = uint16_t(word << 8 | word >> 8);
        registers[reverse ? words - 1 - i : i] = word;
    }
}

uint64_t typedGetBits(const uint16_t *registers, int32_t words, WordOrder order) {
    const bool reverse = order == WordOrder::Cdab || order == WordOrder::Dcba;
    const bool swap = order == WordOrder::Badc || order == WordOrder::Dcba;
    uint64_t bits = 0;
    for (int32_t i = 0; i < words; ++i) {
        uint16_t word = registers[reverse ? words - 1 - i : i];
        if (swap)
            word = uint16_t(word << 8 | word >> 8);
        bits = bits << 16 | word;
    }
    return bits;
}

int32_t typedEncode(const char *text, DataType type, WordOrder order, uint16_t *registers,
                    int32_t room) {
    if (type == DataType::String) {
        const size_t length = strlen(text);
        const size_t need = (length + 1) / 2;
        if (length == 0)
            return 0;
        if (need > size_t(room))
            return need > size_t(INT32_MAX) ? INT32_MIN + 1 : -int32_t(need);
        for (size_t i = 0; i < need; ++i) {
            const uint8_t low = 2 * i + 1 < length ? uint8_t(text[2 * i + 1]) : 0;
            registers[i] = uint16_t(uint8_t(text[2 * i]) << 8 | low);
        }
        return int32_t(need);
    }
    uint64_t bits = 0;
    if (type == DataType::All || !parseBits(text, type, &bits))
        return 0;
    const int32_t words = typedWidth(type);
    if (words > room)
        return -words;
    typedPutBits(bits, words, words == 1 ? WordOrder::Abcd : order, registers);
    return words;
}

size_t typedFormat(const uint16_t *registers, int32_t count, DataType type, WordOrder order,
                   char *text, size_t size) {
    const int32_t words = typedWidth(type);
    if (!ready(text, size) || type == DataType::All || count < words)
        return 0;
    Text t = startText(text, size);
    if (type == DataType::String) {
        putString(&t, registers, count);
    } else {
        char number[numberSize];
        valueText(typedGetBits(registers, words, words == 1 ? WordOrder::Abcd : order), type,
                  number);
        put(&t, number);
    }
    return endText(&t, text);
}

const char *const typedAllHeader = " INT16 UINT16    HEX  Order       INT32     UINT32  FLOAT32";

int32_t typedAllLines(int32_t left) {
    return left >= 2 ? 4 : left == 1 ? 1 : 0;
}

size_t typedAllLine(const uint16_t *registers, int32_t left, int32_t line, char *text,
                    size_t size) {
    if (!ready(text, size) || line < 0 || line >= typedAllLines(left))
        return 0;
    Text t = startText(text, size);
    char number[numberSize];
    const DataType words[] = {DataType::Int16, DataType::Uint16, DataType::Hex};
    for (size_t i = 0; i < 3; ++i) {
        valueText(registers[0], words[i], number);
        putRight(&t, line == 0 ? number : "", i == 0 ? 6 : 7);
    }
    if (left >= 2) {
        const WordOrder order = WordOrder(line);
        put(&t, "   ");
        put(&t, typedOrderName(order));
        const uint64_t bits = typedGetBits(registers, 2, order);
        const DataType pairs[] = {DataType::Int32, DataType::Uint32};
        for (size_t i = 0; i < 2; ++i) {
            valueText(bits, pairs[i], number);
            putRight(&t, number, i == 0 ? 12 : 11);
        }
        valueText(bits, DataType::Float32, number);
        put(&t, "  ");
        put(&t, number);
    }
    return endText(&t, text);
}
