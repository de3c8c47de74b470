// Reading the slave's arguments left to right. Numbers are whole decimal texts within the
// option's range; anything else is refused rather than read as 0 as the master would.
#include "slave/options.h"

#include "stack/al/reference.h"
#include "stack/al/typed.h"
#include "stack/trace/trace.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const defaultPort = "COM2";
const char *const defaultStart = "400011";
constexpr int32_t defaultBaud = 9600;
constexpr uint8_t defaultUnit = 100;
constexpr uint32_t defaultIdleSeconds = 60;
constexpr uint32_t identityMost = 64;
// Basic identity objects 0 to 2: vendor name, product code, revision.
const char *const identityOptions[3] = {"VN", "PC", "RV"};
const char *const identityDefaults[3] = {"KORVALEN", "korvalen-slave", "1.5"};

// A value written to the image goes to the register the cursor names, which then moves on
// past it, in the type and order of the whole command line.
struct SeedCursor {
    uint16_t refType;
    uint32_t offset;
    DataType type;
    WordOrder order;
};

bool startsWith(const char *text, const char *name) {
    return strncmp(text, name, strlen(name)) == 0;
}

// Whole decimal text from 0 to max.
bool number(const char *text, uint32_t max, uint32_t *out) {
    if (*text == '\0' || strlen(text) > 10)
        return false;
    uint64_t value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p)))
            return false;
        value = value * 10 + uint32_t(*p - '0');
    }
    if (value > max)
        return false;
    *out = uint32_t(value);
    return true;
}

int refuse(const char *what, const char *argument) {
    fprintf(stderr, "korvalen-slave: %s: '%s' (-? lists the options)\n", what, argument);
    return slaveStatusUsage;
}

bool reference(const char *text, SeedCursor *cursor) {
    uint32_t digits = 0;
    if (strlen(text) > 6 || !number(text, 999999, &digits))
        return false;
    uint16_t offset = 0;
    if (!modplParseReference(text, &cursor->refType, &offset))
        return false;
    cursor->offset = offset;
    return true;
}

void setObject(IdentDevice *identity, uint32_t i, const char *text) {
    identity->length[i] = uint8_t(strlen(text));
    memcpy(identity->value[i], text, identity->length[i]);
    identity->present = uint8_t(identity->present | 1u << i);
}

// "3,17,200", "1-10" or both mixed, each unit 1 to 247: the units' bits, or false.
bool unitList(const char *text, SlaveSettings *s) {
    uint8_t units[32] = {};
    uint32_t first = 0, count = 0;
    char item[16];
    while (*text != '\0') {
        const size_t n = strcspn(text, ",");
        if (n == 0 || n >= sizeof item)
            return false;
        memcpy(item, text, n);
        item[n] = '\0';
        text += n + (text[n] == ',' ? 1 : 0);
        if (text[-1] == ',' && *text == '\0')
            return false;
        char *dash = strchr(item, '-');
        uint32_t low = 0, high = 0;
        if (dash)
            *dash = '\0';
        if (!number(item, 247, &low) || !number(dash ? dash + 1 : item, 247, &high) || low == 0 ||
            high < low)
            return false;
        for (uint32_t u = low; u <= high; ++u, ++count)
            units[u >> 3] = uint8_t(units[u >> 3] | 1u << (u & 7u));
        if (first == 0)
            first = low;
    }
    if (count == 0)
        return false;
    s->unit = uint8_t(first);
    memcpy(s->units, units, sizeof units);
    return true;
}

// Which of -VN, -PC and -RV the option text names, or -1.
int identityOption(const char *text) {
    for (int i = 0; i < 3; ++i)
        if (toupper(static_cast<unsigned char>(text[0])) == identityOptions[i][0] &&
            toupper(static_cast<unsigned char>(text[1])) == identityOptions[i][1])
            return i;
    return -1;
}

bool isOption(const char *argument) {
    return (argument[0] == '-' || argument[0] == '/') && !typedIsNegativeNumber(argument);
}

// Stores a value at the cursor and moves it on: slaveStatusOk, or the value's refusal.
int seed(SlaveImage *image, SeedCursor *cursor, const char *argument) {
    uint32_t value = 0;
    if (cursor->type == DataType::Int16 && number(argument, 0xFFFF, &value)) {
        // 0 to 65535 as ever
    } else if (cursor->type == DataType::Int16) {
        uint16_t word = 0;
        if (typedEncode(argument, DataType::Int16, cursor->order, &word, 1) != 1)
            return refuse("a value is a number from 0 to 65535", argument);
        value = word;
    } else {
        uint16_t *registers = imageRegisters(image, cursor->refType);
        if (registers == nullptr)
            return refuse("coils and inputs take no data type but INT16", argument);
        const uint32_t at = std::min(cursor->offset, imageSize);
        const int32_t n = typedEncode(argument, cursor->type, cursor->order, registers + at,
                                      int32_t(imageSize - at));
        if (n < 0)
            return refuse("value past the end of the image", argument);
        if (n == 0) {
            char what[48];
            snprintf(what, sizeof what, "not a value of %s", typedTypeName(cursor->type));
            return refuse(what, argument);
        }
        cursor->offset += uint32_t(n);
        return slaveStatusOk;
    }
    if (!imageSet(image, cursor->refType, cursor->offset, value))
        return refuse(cursor->offset >= imageSize ? "value past the end of the image"
                                                  : "a coil or input is 0 or 1",
                      argument);
    ++cursor->offset;
    return slaveStatusOk;
}

// slaveStatusOk, or the refusal of an option it does not know or whose value is malformed.
int option(SlaveSettings *s, SeedCursor *cursor, SlaveImage *image, const char *text,
           const char *argument) {
    uint32_t n = 0;
    if (text[0] == '?' || text[0] == 'H' || strcmp(argument, "--HELP") == 0) {
        printSlaveUsage();
        return slaveStatusOk;
    }
    s->run = true;
    if (startsWith(text, "COM")) {
        if (text[3] == '\0')
            return refuse("missing port name", argument);
        s->portText = text;
    } else if (startsWith(text, "SK")) {
        if (strchr(text, '/') == nullptr)
            return refuse("a socket needs 'host/port' or '/port'", argument);
        s->portText = text + 2;
    } else if (startsWith(text, "B")) {
        if (!number(text + 1, 0x7FFFFFFF, &n) || n == 0)
            return refuse("bad baud rate", argument);
        s->baudRate = int32_t(n);
    } else if (startsWith(text, "LF")) {
        const char *format = text + 2;
        const char *parity = format[0] != '\0' ? strchr("NOEMS", format[1]) : nullptr;
        if (strlen(format) != 3 || (format[0] != '7' && format[0] != '8') || !parity ||
            (format[2] != '1' && format[2] != '2'))
            return refuse("the line format is 7 or 8, N, O, E, M or S, 1 or 2, as 8E1", argument);
        s->dataBits = format[0] - '0';
        s->parity = int32_t(parity - "NOEMS");
        s->stopBits = format[2] - '0';
    } else if (startsWith(text, "LA")) {
        if (!modplIsAddress(text + 2))
            return refuse("the listen address is a dotted IPv4 address, as 127.0.0.1", argument);
        s->listenAddress = text + 2;
    } else if (startsWith(text, "IT")) {
        if (!number(text + 2, 86400, &s->idleSeconds))
            return refuse("the idle time-out is 0 to 86400 seconds", argument);
    } else if (startsWith(text, "FAULT")) {
        if (!faultParse(&s->faults, text + 5))
            return refuse("a fault is KIND[=value][@percent], as DELAY=100-300@20", argument);
    } else if (startsWith(text, "SEED")) {
        if (!faultParseSeed(&s->faults, text + 4))
            return refuse("the seed is 0 to 4294967295", argument);
    } else if (startsWith(text, "FR")) {
        if (strcmp(text + 2, "TCP") != 0 && strcmp(text + 2, "RTU") != 0)
            return refuse("the framing is TCP or RTU", argument);
        s->modbusTcp = text[2] == 'T';
    } else if (startsWith(text, "ID")) {
        if (!unitList(text + 2, s))
            return refuse("the unit ID must be 1 to 247, or a list such as 3,17,200 or 1-10",
                          argument);
        s->unitsText = strpbrk(text + 2, ",-") ? text + 2 : nullptr;
    } else if (startsWith(text, "PK")) {
        if (strcmp(text + 2, "ON") == 0)
            traceOn();
        else if (strcmp(text + 2, "OFF") == 0)
            traceOff();
        else
            return refuse("packet dump is ON or OFF", argument);
    } else if (startsWith(text, "RQ")) {
        if (!number(text + 2, 0xFFFFFFFF, &s->maxRequests))
            return refuse("bad number of requests", argument);
    } else if (startsWith(text, "SEC")) {
        if (!number(text + 3, 86400 * 365, &s->maxSeconds))
            return refuse("bad number of seconds", argument);
    } else if (startsWith(text, "SR")) {
        if (!reference(text + 2, cursor))
            return refuse("bad start register", argument);
    } else if (startsWith(text, "DT")) {
        DataType type = DataType::Int16;
        if (!typedParseType(text + 2, &type) || type == DataType::All)
            return refuse("the data type is INT16, UINT16, HEX, INT32, UINT32, FLOAT32, INT64,"
                          " UINT64, FLOAT64 or STRING",
                          argument);
    } else if (startsWith(text, "WO")) {
        WordOrder order = WordOrder::Abcd;
        if (!typedParseOrder(text + 2, &order))
            return refuse("the word order is ABCD, CDAB, BADC or DCBA", argument);
    } else if (startsWith(text, "ES")) {
        // Decimal, or hex after 0x: what function 7 answers.
        const bool hex = startsWith(text + 2, "0X");
        char *end = nullptr;
        const unsigned long status = strtoul(text + 2 + 2 * hex, &end, hex ? 16 : 10);
        if (!isxdigit(static_cast<unsigned char>(text[2 + 2 * hex])) || *end != '\0' ||
            status > 255)
            return refuse("the exception status is 0 to 255, or 0x00 to 0xFF", argument);
        image->exceptionStatus = uint8_t(status);
    } else if (identityOption(text) >= 0) {
        if (text[2] == '\0' || strlen(text + 2) > identityMost)
            return refuse("an identity text is 1 to 64 characters", argument);
        setObject(&s->identity, uint32_t(identityOption(text)), text + 2);
    } else if (strcmp(text, "Q") != 0) {
        return refuse("unknown option", argument);
    }
    return slaveStatusOk;
}

} // namespace

void printSlaveUsage() {
    printf("\nServes a Modbus slave from memory to a master on a serial port or TCP/IP.\n"
           "\nKORVALEN-SLAVE [-COMx | -SKxxx] [-LAxxx] [-ITxxx] [-FRxxx] [-Bxxx] [-LFxxx]"
           " [-IDxxx] [-PKxxx] [-RQxxx] [-SECxxx] [-FAULTxxx] [-SEEDxxx] [-SRxxx v1 v2 ...] [-Q]\n"
           "\n  [-COMx]     Selects comm port (default '%s')"
           "\n  ...OR..."
           "\n  [-SKxxx]    Sets TCP/IP socket: '-SK/3722' waits for a master to connect,"
           "\n              '-SK127.0.0.1/3722' connects to a master listening there"
           "\n  [-LAxxx]    Listens on that address only, as 127.0.0.1 (default: every address)"
           "\n  [-ITxxx]    Closes a master silent for xxx seconds, 0 never (default %d)"
           "\n  [-FRxxx]    Sets the framing: RTU, or TCP for Modbus TCP on a socket (default RTU)"
           "\n  [-Bx]       Selects baud rate (default %d)"
           "\n  [-LFxxx]    Sets the line format, as 8E1 or 8N2 (default 8N1)"
           "\n  [-IDxxx]    Sets the unit ID served, 1 to 247 (default %d)"
           "\n  [-PKxxx]    Sets link trace and packet dump to ON or OFF (default OFF)"
           "\n  [-RQxxx]    Stops after serving xxx requests (default 0: no limit)"
           "\n  [-SECxxx]   Stops after xxx seconds (default 0: no limit)"
           "\n  [-FAULTxxx] Misbehaves on purpose: kind[=value][@percent], kind DROP, DELAY=ms,"
           "\n              DELAY=min-max, CRC, TID, SPLIT=n/gapms, NOISE=n, UNIT=u, TWICE,"
           "\n              EXCEPTION=code or SILENT=n; repeatable"
           "\n  [-SEEDxxx]  Seeds the faults' draws, to repeat a run (default: drawn, printed)"
           "\n  [-ESxx]     Sets the exception status byte function 7 answers (default 0)"
           "\n  [-SRxxx]    Sets the register the values after it are stored from"
           " (default %s)"
           "\n  [v1 v2 ...] Values for the image: 0 to 65535, 0 or 1 for coils and inputs"
           "\n  [-Q]        Serves with the defaults"
           "\n  [-?] [-H]   Prints this text"
           "\n\nThe image holds 65536 coils (0xxxxx), discrete inputs (1xxxxx), input registers"
           "\n(3xxxxx) and holding registers (4xxxxx). Seed, by register number n: holding"
           "\nregister n holds n, input register n holds 65536-n, coil n is on for odd n,"
           "\ndiscrete input n is on for even n.\n",
           defaultPort, int(defaultIdleSeconds), defaultBaud, defaultUnit, defaultStart);
}

int parseSlaveArguments(SlaveSettings *s, SlaveImage *image, int argc, char **argv) {
    *s = SlaveSettings{};
    s->portText = defaultPort;
    s->baudRate = defaultBaud;
    s->dataBits = 8;
    s->stopBits = 1;
    s->unit = defaultUnit;
    s->idleSeconds = defaultIdleSeconds;
    for (uint32_t i = 0; i < 3; ++i)
        setObject(&s->identity, i, identityDefaults[i]);
    traceInit();
    SeedCursor cursor{0, 0, DataType::Int16, WordOrder::Abcd};
    reference(defaultStart, &cursor);
    // The type and order hold for every value, wherever they stand; values keep their case.
    for (int i = 1; i < argc; ++i) {
        char *argument = argv[i];
        if (!isOption(argument))
            continue;
        // An identity text keeps its case; only its option's name is upper-cased.
        const bool identity = identityOption(argument + 1) >= 0;
        for (char *c = argument + 1; *c != '\0' && (!identity || c < argument + 3); ++c)
            *c = char(toupper(static_cast<unsigned char>(*c)));
        DataType type = DataType::All;
        if (startsWith(argument + 1, "DT") && typedParseType(argument + 3, &type) &&
            type != DataType::All)
            cursor.type = type;
        else if (startsWith(argument + 1, "WO"))
            typedParseOrder(argument + 3, &cursor.order);
    }
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        const int status = isOption(argument) ? option(s, &cursor, image, argument + 1, argument)
                                              : seed(image, &cursor, argument);
        if (status != slaveStatusOk)
            return status;
        s->run = s->run || !isOption(argument);
    }
    const char *clash = faultFramingClash(&s->faults, s->modbusTcp);
    if (clash) {
        fprintf(stderr, "korvalen-slave: %s\n", clash);
        return slaveStatusUsage;
    }
    return slaveStatusOk;
}
