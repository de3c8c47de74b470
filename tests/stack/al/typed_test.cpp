// The typed-value codec: each type in each word order both ways, the edge values, the texts it
// refuses, its bounds, and the ALL table.
#include "stack/al/typed.h"
#include "tests/support/support.h"

#include <cstdio>
#include <sstream>

namespace {

using T = DataType;
using O = WordOrder;

std::string words(const uint16_t *r, size_t n) {
    std::string text;
    for (char w[6]; n > 0; --n, ++r)
        text += (snprintf(w, sizeof w, " %04x", *r), w);
    return text;
}

std::string format(const uint16_t *r, int32_t count, T type, O order, size_t size = 96) {
    char text[128] = "left as it was";
    const size_t n = typedFormat(r, count, type, order, text, size);
    return n == strlen(text) ? text : "length " + str(int64_t(n));
}

// What one gives for each of the "|"-separated "TYPE text" cases, joined.
std::function<std::string()> cases(std::string list,
                                   std::function<std::string(T, const char *)> one) {
    return [=] {
        std::string out, c;
        for (std::istringstream in(list); std::getline(in, c, '|');) {
            DataType type = T::Int16;
            typedParseType(c.substr(0, c.find(' ')).c_str(), &type);
            out += one(type, c.c_str() + c.find(' ') + 1);
        }
        return out;
    };
}

// For each order: the registers the text gives (with one past them, untouched), and the text
// they give back when it is not the one put in.
std::function<std::string()> each(std::string list) {
    return cases(list, [](T type, const char *text) {
        std::string out;
        for (O order : {O::Abcd, O::Cdab, O::Badc, O::Dcba}) {
            uint16_t r[5] = {0x5555, 0x5555, 0x5555, 0x5555, 0x5555};
            const int32_t n = typedEncode(text, type, order, r, 4);
            const std::string back = format(r, n, type, order);
            out += str(n) + words(r, size_t(n) + 1) + (back == text ? "" : " " + back) + " ";
        }
        return out;
    });
}

// Encoded in DCBA with this room: the result and the registers written.
std::function<std::string()> encode(std::string list, int32_t room = 4) {
    return cases(list, [room](T type, const char *text) {
        uint16_t r[4] = {};
        const int32_t n = typedEncode(text, type, O::Dcba, r, room);
        return str(n) + words(r, size_t(n < 0 ? 0 : n)) + " ";
    });
}

std::function<std::string()> decode(T type, std::vector<uint16_t> r, size_t size = 96) {
    return [=] { return format(r.data(), int32_t(r.size()), type, O::Abcd, size); };
}

std::function<std::string()> allTable(std::vector<uint16_t> r) {
    return [=] {
        std::string text = typedAllHeader;
        char line[96] = "left as it was";
        for (int32_t i = 0; i <= int32_t(r.size()); ++i)
            for (int32_t l = 0; l <= typedAllLines(int32_t(r.size()) - i); ++l)
                text += typedAllLine(r.data() + i, int32_t(r.size()) - i, l, line, sizeof line)
                            ? "|" + std::string(line)
                            : line; // emptied
        return text;
    };
}

INSTANTIATE_TEST_SUITE_P(
    TypedValue, Rows,
    testing::Values(
        Row{"EdgeFloatsInEachOrder",
            each("FLOAT32 -inf|FLOAT32 -0|FLOAT32 1e-45|FLOAT32 3.4028235e+38"),
            "2 ff80 0000 5555 2 0000 ff80 5555 2 80ff 0000 5555 2 0000 80ff 5555 "
            "2 8000 0000 5555 2 0000 8000 5555 2 0080 0000 5555 2 0000 0080 5555 "
            "2 0000 0001 5555 2 0001 0000 5555 2 0000 0100 5555 2 0100 0000 5555 "
            "2 7f7f ffff 5555 2 ffff 7f7f 5555 2 7f7f ffff 5555 2 ffff 7f7f 5555 "},
        Row{"EveryNanPrintsAsNan",
            [] {
                return decode(T::Float32, {0x7fc0, 0})() + decode(T::Float32, {0xffc0, 1})() +
                       decode(T::Float64, {0xfff8, 0, 0, 0})() + encode("FLOAT32 nan")();
            },
            "nannannan2 0000 c07f "},
        Row{"HexGivesABitPatternAndFloatsTakeEveryDecimalForm",
            encode("INT16 0xFFFF|INT32 0x80000000|FLOAT32 -.5|FLOAT64 1E3"),
            "1 ffff 2 0000 0080 2 0000 00bf 4 0000 0000 0040 8f40 "},
        Row{"TextsOutsideTheirTypeAreRefused",
            encode("INT16 32768|INT16 -32769|UINT16 65536|UINT16 70000|HEX 0x10000|"
                   "INT32 2147483648|INT32 -2147483649|UINT32 4294967296|"
                   "INT64 -9223372036854775809|UINT64 18446744073709551616|"
                   "UINT64 0x10000000000000000|FLOAT32 1e40|FLOAT32 1e-50|INT32 abc|INT32 12a|"
                   "INT32  1|INT32 +1|UINT32 -1|INT32 0x|INT32 -0x1|FLOAT64 |STRING |ALL 1"),
            "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "},
        Row{"AValuePastTheRoomIsCountedAndNotWritten",
            encode("INT64 1|STRING abcde|STRING abcd|FLOAT32 1", 2),
            "-4 -3 2 6162 6364 2 0000 803f "},
        Row{"StringStopsBeforeAnEscapeThatWouldNotFit",
            decode(T::String, std::vector<uint16_t>(20, 0x4100), 101),
            "\"A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00"
            "A\\x00A\\x00A\\x00A\\x00A\\x00A\\x00A\""},
        Row{"FormatNeedsTheWholeValueAndRoomForANumber",
            [] {
                return decode(T::Float32, {0x4365})() + "|" +
                       decode(T::Uint16, {0xffff}, typedTextSize - 1)() + "|" +
                       decode(T::Uint16, {0xffff}, typedTextSize)() + "|" + decode(T::All, {1})() +
                       decode(T::Uint16, {0xffff}, 1)();
            },
            "||65535|"},
        Row{"NamesAreExactAndUpperCaseAndOnlyAMinusBeforeADigitOrAPointIsANumber",
            [] {
                Steps s;
                DataType type = T::Int16;
                WordOrder o = O::Abcd;
                for (const char *n : {"FLOAT", "DOUBLE", "HEX", "float32", "INT", "STRINGS"})
                    s << (typedParseType(n, &type) ? typedTypeName(type) : "no");
                for (const char *n : {"DCBA", "CDAB", "BADC", "ABCD", "ABDC", "DCB"})
                    s << (typedParseOrder(n, &o) ? typedOrderName(o) : "no");
                for (const char *a : {"-5", "-.5", "-0x1", "-", "-DT", "-inf", "5", "/5"})
                    s << typedIsNegativeNumber(a);
                return s;
            },
            "FLOAT32 FLOAT64 HEX no no no DCBA CDAB BADC ABCD no no 1 1 1 0 0 0 0 0 "},
        Row{"AllTableShowsEveryReadingOfARegisterAndItsPair", allTable({0x4365, 0xdeb8}),
            " INT16 UINT16    HEX  Order       INT32     UINT32  FLOAT32| 17253  17253 0x4365   "
            "ABCD  1130749624 1130749624  229.87|                       CDAB  -558349467 "
            "3736617829  -6.6387836e+18|                       BADC  1698937054 1698937054  "
            "5.776698e+22|                       DCBA -1193384637 3101582659  -0.000106046464| "
            "-8520  57016 0xDEB8"}),
    rowName);

} // namespace
