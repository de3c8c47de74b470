// Typed requests and replies of the master. Messages follow the front end's: a line of their
// own, no line break at the end.
#include "app/values.h"

#include "app/guard.h"
#include "stack/al/typed.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// A STRING of the most registers a reply carries (127), each byte escaped, in quotes.
constexpr size_t stringTextSize = 4 * 2 * 127 + 3;

// ON or OFF, in any case, as a coil's value.
bool coilWord(const char *text, uint16_t *word) {
    char upper[4] = {};
    for (size_t i = 0; i < 3 && text[i] != '\0'; ++i)
        upper[i] = char(toupper(static_cast<unsigned char>(text[i])));
    const bool known = strlen(text) <= 3 && (strcmp(upper, "ON") == 0 || strcmp(upper, "OFF") == 0);
    if (known)
        *word = upper[1] == 'N' ? 1 : 0;
    return known;
}

bool writesOneRegister(uint8_t selector) {
    return selector == 5 || selector == 6;
}

// The value texts into the value list as registers (bits for coils, one a value); false after a
// message. An INT16 may also be typed as its unsigned bits, as 65535 for -1.
bool encodeValues(RunSettings *s, const char *name, uint16_t refType) {
    uint16_t *registers = reinterpret_cast<uint16_t *>(s->values);
    const int32_t room = refType == 0 ? maxValues : typedMaxWriteRegisters;
    int32_t total = 0;
    for (int32_t i = 0; i < s->valueCount; ++i) {
        const char *text = s->valueTexts[i];
        int32_t n = typedEncode(text, s->dataType, s->wordOrder, registers + total, room - total);
        if (n == 0 && refType == 0 && coilWord(text, registers + total))
            n = 1;
        if (n == 0 && s->dataType == DataType::Int16)
            n = typedEncode(text, DataType::Uint16, s->wordOrder, registers + total, room - total);
        if (n == 0) {
            printf("\nValue '%s' is not a valid %s", text, name);
            settingsRefuse(s, "'%s' is not a valid %s", text, name);
            return false;
        }
        if (n < 0) {
            printf("\nToo many values: one write takes at most %d registers", room);
            settingsRefuse(s, "more values than one write takes");
            return false;
        }
        total += n;
    }
    s->valueCount = int16_t(total);
    return true;
}

} // namespace

bool valuesPrepare(RunSettings *s, uint16_t refType) {
    const DataType type = s->dataType;
    const uint8_t selector = s->functionSelector;
    if (selector == 23)
        s->registerCount = s->readCount;
    // Only a write's values go out: elsewhere INT16 values keep their old reading, a count.
    const bool write = guardIsWrite(selector) || selector == 8;
    if (type == DataType::Int16)
        return !write || encodeValues(s, "INT16", refType);
    const char *name = typedTypeName(type);
    if (refType == 0 || refType == 1) {
        printf("\nData type %s does not apply to coils and inputs: they go as bits", name);
        s->dataType = DataType::Int16;
        return !write || encodeValues(s, "INT16", refType);
    }
    // Function 23 reads and writes in the type.
    if (selector == 3 || selector == selectorRead || selector == 23) {
        const int32_t registers = int32_t(s->registerCount) * typedWidth(type);
        if (registers < 1 || registers > typedMaxReadRegisters) {
            printf("\n%d values of %s are %d registers: a read takes 1 to %d", s->registerCount,
                   name, registers, typedMaxReadRegisters);
            settingsRefuse(s, "a read takes 1 to %d registers", typedMaxReadRegisters);
            return false;
        }
        s->registerCount = int16_t(registers);
        if (selector != 23)
            return true;
    }
    if (type == DataType::All) {
        printf("\nData type ALL only reads");
        settingsRefuse(s, "data type ALL only reads");
        return false;
    }
    if (writesOneRegister(selector) && (typedWidth(type) > 1 || type == DataType::String)) {
        printf("\nFunction code %d writes one register: %s takes more", selector, name);
        settingsRefuse(s, "function %d writes one register", selector);
        return false;
    }
    return encodeValues(s, name, refType);
}

void valuesPrint(const RunSettings *s, const ModbusMessage *reply) {
    const int32_t first = static_cast<int32_t>(reply->offset) + 1;
    // The count comes back from the wire; never read past the value list.
    const int32_t count = std::min<int32_t>(static_cast<uint16_t>(reply->count), maxValues);
    const DataType type = s->dataType;
    // Polling several units, each line names its own.
    char unit[16] = "\n";
    if (s->unitCount > 0)
        snprintf(unit, sizeof unit, "\nUnit %d, ", s->modslave);
    if (type == DataType::Int16) {
        // A coil is on or off: a single-coil write echoes on as FF00.
        for (int32_t i = 0; i < count; ++i)
            printf("%sRegister %d%5.5d: %d", unit, reply->refType, first + i,
                   reply->refType == 0 ? reply->values[i] != 0 : reply->values[i]);
        return;
    }
    const uint16_t *registers = reinterpret_cast<const uint16_t *>(reply->values);
    char text[stringTextSize];
    if (type == DataType::All) {
        printf("%sRegister%s", unit, typedAllHeader);
        for (int32_t i = 0; i < count; ++i) {
            for (int32_t line = 0; line < typedAllLines(count - i); ++line) {
                typedAllLine(registers + i, count - i, line, text, sizeof text);
                if (line == 0)
                    printf("%s%d%5.5d  %s", unit, reply->refType, first + i, text);
                else
                    printf("\n        %s", text);
            }
        }
        return;
    }
    // A STRING is one value of every register.
    const int32_t width = type == DataType::String ? count : typedWidth(type);
    for (int32_t i = 0; i < count; i += width) {
        if (typedFormat(registers + i, count - i, type, s->wordOrder, text, sizeof text) == 0) {
            printf("%sRegister %d%5.5d: not a whole %s", unit, reply->refType, first + i,
                   typedTypeName(type));
            return;
        }
        printf("%sRegister %d%5.5d: %s", unit, reply->refType, first + i, text);
    }
}
