// Typed values in registers: 16-, 32- and 64-bit integers, IEEE floats, hex and text, in each
// word order. Parses a value's text in its type into registers and formats registers back as
// text, for both programs' command lines and the master's reply listing. A pure codec: no I/O,
// no allocation, no state; it writes only within the array and text sizes it is given. Numbers
// go through std::from_chars and std::to_chars, so their text is the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

enum class DataType : uint8_t {
    Int16, // the default: the front ends keep their own 16-bit reading of it
    Uint16,
    Hex, // 16 bits, printed as 0x002A
    Int32,
    Uint32,
    Float32,
    Int64,
    Uint64,
    Float64,
    String, // two characters per register, high byte first
    All,    // every 16- and 32-bit reading of each register: a view, never written
};

// ABCD: high word first, bytes as sent; CDAB: low word first; BADC: bytes swapped within each
// word; DCBA: both. A value of four words follows the same rule over all four.
enum class WordOrder : uint8_t { Abcd, Cdab, Badc, Dcba };

// Registers one request reads, and writes (the frame's bound), at most.
constexpr int32_t typedMaxReadRegisters = 125;
constexpr int32_t typedMaxWriteRegisters = 123;
// Room for one formatted number or one line of the ALL table, with its NUL.
constexpr size_t typedTextSize = 96;

// The type or order an upper-case name gives (FLOAT and DOUBLE for FLOAT32 and FLOAT64);
// false for any other text, which leaves the output alone.
bool typedParseType(const char *name, DataType *type);
bool typedParseOrder(const char *name, WordOrder *order);
const char *typedTypeName(DataType type);
const char *typedOrderName(WordOrder order);

// Registers one value takes: 1, 2 or 4; 1 for STRING and ALL, which go register by register.
int32_t typedWidth(DataType type);

// True for a command-line argument of "-" followed by a digit or ".": a negative number, so a
// value and not an option.
bool typedIsNegativeNumber(const char *argument);

// The low 16 * words bits in words registers in the order, and back.
void typedPutBits(uint64_t bits, int32_t words, WordOrder order, uint16_t *registers);
uint64_t typedGetBits(const uint16_t *registers, int32_t words, WordOrder order);

// Parses the whole text as one value of the type and puts it into registers, in the order when
// it takes more than one. Integers are decimal (a sign only for the signed types) or 0x hex,
// which gives the type's bits as they stand (0xFFFF as INT16 is -1); floats take any decimal
// or exponent form, inf and nan; a STRING is its bytes, the last register padded with 0. The
// number of registers written; 0 when the text is not a value of the type (out of range, empty,
// any other character, or the type is ALL); minus the registers it needs when that is more
// than room. Nothing is written unless the whole value is.
int32_t typedEncode(const char *text, DataType type, WordOrder order, uint16_t *registers,
                    int32_t room);

// The text of one value of the type from the first typedWidth registers of count, or of a
// STRING from all count of them: in quotes, with bytes outside printable ASCII, the quote and
// the backslash escaped (\x01, \", \\); an escape that would not fit is left out with all that
// follows. Floats print as the shortest text that reads back as the same value; every NaN as
// nan. The length written, always NUL-terminated when size > 0; 0 when count is too short, the
// type is ALL or size is below typedTextSize (a STRING needs 4 per byte and 3 more).
size_t typedFormat(const uint16_t *registers, int32_t count, DataType type, WordOrder order,
                   char *text, size_t size);

// The ALL table, register by register. The header goes after the column of references (8
// wide); a register with left registers from it up to the end of the read has
// typedAllLines(left) lines: the first with its INT16, UINT16 and HEX readings, each but the
// last register's with the INT32, UINT32 and FLOAT32 readings of the pair from it in one word
// order (ABCD, CDAB, BADC, DCBA). typedAllLine writes line number line of them; its length, 0
// for a line that does not exist or a size below typedTextSize.
extern const char *const typedAllHeader;
int32_t typedAllLines(int32_t left);
size_t typedAllLine(const uint16_t *registers, int32_t left, int32_t line, char *text, size_t size);
