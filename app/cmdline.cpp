// The run settings, the banner, the usage text and the reading of the arguments. Everything is
// printed directly with printf; nothing here goes through the trace switch.
#include "app/cmdline.h"

#include "stack/trace/trace.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const versionText = "v1.5";
const char *const defaultPort = "COM2";
const char *const defaultStartreg = "400011";
constexpr int32_t defaultBaud = 9600;
constexpr uint8_t defaultSlave = 100;
constexpr int16_t defaultCount = 3;
constexpr int16_t defaultRequests = 1;
constexpr int32_t defaultTimeout = 5000;
constexpr int32_t defaultSpacing = 100;

// Decimal conversion as a 32-bit long: the tool was built where long has 32 bits, so larger
// numbers saturate there before a narrower setting keeps its low bits.
int32_t decimalValue(const char *text) {
    long long value = strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        value = INT32_MAX;
    if (value < INT32_MIN)
        value = INT32_MIN;
    return static_cast<int32_t>(value);
}

int16_t low16(int32_t value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value));
}

bool startsWith(const char *text, const char *name) {
    return strncmp(text, name, strlen(name)) == 0;
}

// "-" or "/" before anything but a negative number; a value keeps its case (a STRING is
// written as given).
bool isOption(const char *argument) {
    return (argument[0] == '-' || argument[0] == '/') && !typedIsNegativeNumber(argument);
}

void upperFromSecond(char *argument) {
    if (argument[0] == '\0')
        return;
    for (char *c = argument + 1; *c != '\0'; ++c)
        *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
}

void addValue(RunSettings *settings, const char *argument) {
    if (settings->valueCount < maxValues) {
        settings->values[settings->valueCount] = low16(decimalValue(argument));
        settings->valueTexts[settings->valueCount] = argument;
        ++settings->valueCount;
    } else {
        if (settings->valuesIgnored == 0)
            printf("\nToo many values: only the first %d are kept.", maxValues);
        ++settings->valuesIgnored;
    }
    settings->registerCount = 1;
    settings->run = true;
}

void functionOption(RunSettings *settings, const char *value) {
    if (isalpha(static_cast<unsigned char>(value[0]))) {
        if (value[0] == 'R')
            settings->functionSelector = selectorRead;
        else if (value[0] == 'W')
            settings->functionSelector = selectorWrite;
        else
            printf("\nFunction '%s' not supported", value);
        return;
    }
    settings->functionSelector = static_cast<uint8_t>(decimalValue(value));
}

// Three characters: 7 or 8 data bits, parity N, O, E, M or S, 1 or 2 stop bits.
void lineFormatOption(RunSettings *settings, const char *value) {
    printf("\nStripped LF from input: %s", value);
    const char *parity = value[0] != '\0' ? strchr("NOEMS", value[1]) : nullptr;
    if (strlen(value) != 3 || (value[0] != '7' && value[0] != '8') || !parity ||
        (value[2] != '1' && value[2] != '2')) {
        printf("\nLine format '%s' not supported", value);
        return;
    }
    settings->lineFormatGiven = true;
    settings->dataBits = int8_t(value[0] - '0');
    settings->parity = int8_t(parity - "NOEMS");
    settings->stopBits = int8_t(value[2] - '0');
}

// -ST and -ES take exactly ON or OFF; anything else is named and changes nothing.
void switchOption(const char *name, const char *label, const char *value, bool *setting) {
    printf("\nStripped %s from input: %s", name, value);
    if (strcmp(value, "ON") == 0 || strcmp(value, "OFF") == 0)
        *setting = value[1] == 'N';
    else
        printf("\n%s '%s' not supported", label, value);
}

void dataTypeOption(RunSettings *settings, const char *value) {
    printf("\nStripped DT from input: %s", value);
    if (!typedParseType(value, &settings->dataType))
        printf("\nData type '%s' not supported", value);
}

void wordOrderOption(RunSettings *settings, const char *value) {
    printf("\nStripped WO from input: %s", value);
    if (!typedParseOrder(value, &settings->wordOrder))
        printf("\nWord order '%s' not supported", value);
}

// TCP or RTU; any other value keeps the framing.
void framingOption(RunSettings *settings, const char *value) {
    printf("\nStripped FR from input: %s", value);
    if (strcmp(value, "TCP") == 0 || strcmp(value, "RTU") == 0)
        settings->modbusTcp = value[0] == 'T';
    else
        printf("\nFraming '%s' not supported", value);
}

// "a-b" with 1 <= a <= b <= 247, "a" alone, or nothing for every unit; anything else keeps the
// setting, so no scan runs.
void scanOption(RunSettings *settings, const char *value) {
    printf("\nStripped SCAN from input: %s", value);
    unsigned first = 1, last = 247;
    int used = 0;
    const bool empty = value[0] == '\0';
    const bool digits = strspn(value, "0123456789-") == strlen(value);
    const bool one = !empty && sscanf(value, "%3u%n", &first, &used) == 1 && value[used] == '\0';
    const bool range = !empty && !one && sscanf(value, "%3u-%3u%n", &first, &last, &used) == 2 &&
                       value[used] == '\0' && isdigit(static_cast<unsigned char>(value[0]));
    if (one)
        last = first;
    if ((!empty && !one && !range) || !digits || first < 1 || last > 247 || first > last) {
        printf("\nScan range '%s' not supported", value);
        return;
    }
    settings->scanFirst = uint8_t(first);
    settings->scanLast = uint8_t(last);
}

// Nothing for every setting, FIRST to stop at the first device found.
void sweepOption(RunSettings *settings, const char *value) {
    printf("\nStripped SWEEP from input: %s", value);
    if (value[0] == '\0' || strcmp(value, "FIRST") == 0)
        settings->sweep = value[0] == '\0' ? 1 : 2;
    else
        printf("\nSweep '%s' not supported", value);
}

// -1 for OFF, 1 for ON, 0 for anything else; ON is tried first.
int onOffValue(const char *value) {
    if (strncmp(value, "ON", 2) == 0)
        return 1;
    if (strncmp(value, "OFF", 3) == 0)
        return -1;
    return 0;
}

void option(RunSettings *settings, char *argument) {
    const char *text = argument + 1;
    if (text[0] == '?' || text[0] == 'H' || strcmp(argument, "--HELP") == 0) {
        printUsage();
        return;
    }
    settings->run = true;
    // First match wins, so "COM" must come before "B" and the two-letter names after it.
    if (startsWith(text, "COM")) {
        settings->portText = text;
    } else if (startsWith(text, "B")) {
        settings->baudRate = decimalValue(text + 1);
        printf("\nStripped BAUD from input: %ld", static_cast<long>(settings->baudRate));
    } else if (startsWith(text, "FN")) {
        functionOption(settings, text + 2);
    } else if (startsWith(text, "FR")) {
        framingOption(settings, text + 2);
    } else if (startsWith(text, "ID")) {
        settings->modslave = static_cast<uint8_t>(decimalValue(text + 2));
    } else if (startsWith(text, "NR")) {
        settings->registerCount = low16(decimalValue(text + 2));
    } else if (startsWith(text, "PK")) {
        int onOff = onOffValue(text + 2);
        if (onOff > 0)
            traceOn();
        else if (onOff < 0)
            traceOff();
    } else if (startsWith(text, "RD")) {
        int onOff = onOffValue(text + 2);
        if (onOff != 0)
            traceSetRegisterDump(onOff > 0);
    } else if (startsWith(text, "RT")) {
        settings->receiveTimeout = decimalValue(text + 2);
        settings->timeoutGiven = true;
        printf("\nRECEIVE_TIMEOUT set to %d", settings->receiveTimeout);
    } else if (startsWith(text, "RQ")) {
        settings->numRequests = low16(decimalValue(text + 2));
        printf("\nNUM_REQUESTS set to %d", settings->numRequests);
    } else if (startsWith(text, "SR")) {
        settings->startreg = text + 2;
        printf("\nStripped SR from input: %s", settings->startreg);
    } else if (startsWith(text, "SK")) {
        settings->portText = text + 2;
    } else if (startsWith(text, "Q")) {
        // Only sets the run flag, so that a run with every default can be asked for.
    } else if (startsWith(text, "LF")) {
        lineFormatOption(settings, text + 2);
    } else if (startsWith(text, "LA")) {
        printf("\nStripped LA from input: %s", text + 2);
        if (modplIsAddress(text + 2))
            settings->listenAddress = text + 2;
        else
            printf("\nListen address '%s' not supported", text + 2);
    } else if (startsWith(text, "TD")) {
        settings->requestSpacing = decimalValue(text + 2);
        settings->spacingGiven = true;
        printf("\nStripped TD from input: %ld", static_cast<long>(settings->requestSpacing));
    } else if (startsWith(text, "ST")) {
        switchOption("ST", "Statistics", text + 2, &settings->statistics);
    } else if (startsWith(text, "ES")) {
        switchOption("ES", "Exit status", text + 2, &settings->exitStatusTells);
    } else if (startsWith(text, "OF")) {
        printf("\nStripped OF from input: %s", text + 2);
        if (!recordsFormatOf(text + 2, &settings->outputFormat))
            printf("\nOutput format '%s' not supported", text + 2);
    } else if (startsWith(text, "DT")) {
        dataTypeOption(settings, text + 2);
    } else if (startsWith(text, "WO")) {
        wordOrderOption(settings, text + 2);
    } else if (startsWith(text, "SCAN")) {
        scanOption(settings, text + 4);
    } else if (startsWith(text, "SWEEP")) {
        sweepOption(settings, text + 5);
    } else {
        settings->run = false;
        settings->refused = true;
        printf("INVALID INPUT: '%s'", argument);
    }
}

} // namespace

void runSettingsDefaults(RunSettings *settings) {
    settings->portText = defaultPort;
    settings->baudRate = defaultBaud;
    settings->functionSelector = selectorRead;
    settings->modslave = defaultSlave;
    settings->startreg = defaultStartreg;
    settings->registerCount = defaultCount;
    settings->numRequests = defaultRequests;
    settings->receiveTimeout = defaultTimeout;
    settings->requestSpacing = defaultSpacing;
    memset(settings->values, 0, sizeof settings->values);
    settings->valueCount = 0;
    settings->valuesIgnored = 0;
    settings->run = false;
    settings->lineFormatGiven = false;
    settings->dataBits = 8;
    settings->parity = 0;
    settings->stopBits = 1;
    settings->statistics = false;
    settings->outputFormat = OutputFormat::Text;
    settings->exitStatusTells = false;
    settings->refused = false;
    settings->dataType = DataType::Int16;
    settings->wordOrder = WordOrder::Abcd;
    settings->modbusTcp = false;
    settings->scanFirst = settings->scanLast = 0;
    settings->sweep = 0;
    settings->timeoutGiven = settings->spacingGiven = false;
    traceSetRegisterDump(true);
}

void printBanner() {
    printf("KORVALEN %s:  Compiled at %s %s\n", versionText, __DATE__, __TIME__);
}

void printUsage() {
    // From the built-in defaults, never the current settings.
    printf("\nGenerates and sends Modbus request and displays the return data.\n");
    printf("\nKORVALEN [-COMx] [-Bxxx] [-FNxxx] [-IDxxx] [-SRxxxx] [-NRxxx] [v1 v2 ...]\n");
    printf("\n  [-COMx]     Selects comm port (default '%s')", defaultPort);
    printf("\n  ...OR...");
    printf("\n  [-SKxxx]    Sets TCP/IP socket (example '-SK127.0.0.1/3722')\n");
    printf("\n  [-Bx]       Selects baud rate (default %ld)", static_cast<long>(defaultBaud));
    printf("\n  [-FNxxx]    Sets the Modbus function code (default READ).  Options are:");
    printf("\n                 READ:      Read Registers");
    printf("\n                 WRITE:     Write Registers");
    printf("\n  [-IDxxx]    Sets the slave unit ID (default %d).", defaultSlave);
    printf("\n  [-SRxxx]    Sets the start register (default %s).", defaultStartreg);
    printf("\n  [-NRxxx]    Sets the number of regs to transfer (default %d).", defaultCount);
    printf("\n  [-PKxxx]\t\tSets packet dump to ON or OFF (default %s)", "ON");
    printf("\n  [-RDxxx]    Sets register dump to ON or OFF (default %s).", "ON");
    printf("\n  [-RQxxx]    Sets the number of request to perform (default %d).", defaultRequests);
    printf("\n  [-RTxxx]    Sets the time to wait for a response (default %d ms).", defaultTimeout);
    printf("\n  [-TDxxx]    Sets the minimum time between requests (default %d ms).",
           defaultSpacing);
    printf("\n  [v1 v2 ...] List of values for a WRITE request.");
    printf("\n");
}

void parseArguments(RunSettings *settings, int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        char *argument = argv[i];
        if (isOption(argument)) {
            upperFromSecond(argument);
            option(settings, argument);
        } else {
            addValue(settings, argument);
        }
    }
}

// Both upper-case the options as parseArguments does, which later finds them so.
bool versionAsked(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (!isOption(argv[i]))
            continue;
        upperFromSecond(argv[i]);
        if (strcmp(argv[i], "--VERSION") == 0)
            return true;
    }
    return false;
}

OutputFormat outputFormatAsked(int argc, char **argv) {
    OutputFormat format = OutputFormat::Text;
    for (int i = 1; i < argc; ++i) {
        if (!isOption(argv[i]))
            continue;
        upperFromSecond(argv[i]);
        if (startsWith(argv[i] + 1, "OF"))
            recordsFormatOf(argv[i] + 3, &format);
    }
    return format;
}
