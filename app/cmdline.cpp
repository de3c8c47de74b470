// The run settings, the banner, the usage text and the reading of the arguments. Everything is
// printed directly with printf; nothing here goes through the trace switch.
#include "app/cmdline.h"

#include "stack/al/extra.h"
#include "stack/trace/trace.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

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

// Whether the text is all of one decimal number from least to most: what a write or a -ESON
// run takes, where the reading above would quietly make 0 or cut the value.
bool wholeNumber(const char *text, long long least, long long most) {
    const char *digits = text + (text[0] == '-');
    if (!isdigit(static_cast<unsigned char>(digits[0])) ||
        strspn(digits, "0123456789") != strlen(digits))
        return false;
    const long long value = strtoll(text, nullptr, 10);
    return value >= least && value <= most;
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
        if (settings->valuesIgnored == 0) {
            printf("\nToo many values: only the first %d are kept.", maxValues);
            settingsRefuse(settings, "more than %d values", maxValues);
        }
        ++settings->valuesIgnored;
    }
    settings->registerCount = 1;
    settings->run = true;
}

bool functionOption(RunSettings *settings, const char *value) {
    if (isalpha(static_cast<unsigned char>(value[0]))) {
        if (value[0] == 'R')
            settings->functionSelector = selectorRead;
        else if (value[0] == 'W')
            settings->functionSelector = selectorWrite;
        else
            printf("\nFunction '%s' not supported", value);
        return value[0] == 'R' || value[0] == 'W';
    }
    settings->functionSelector = static_cast<uint8_t>(decimalValue(value));
    return wholeNumber(value, 0, 255);
}

// Three characters: 7 or 8 data bits, parity N, O, E, M or S, 1 or 2 stop bits.
bool lineFormatOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped LF from input: %s", value);
    const char *parity = value[0] != '\0' ? strchr("NOEMS", value[1]) : nullptr;
    if (strlen(value) != 3 || (value[0] != '7' && value[0] != '8') || !parity ||
        (value[2] != '1' && value[2] != '2')) {
        printf("\nLine format '%s' not supported", value);
        return false;
    }
    settings->lineFormatGiven = true;
    settings->dataBits = int8_t(value[0] - '0');
    settings->parity = int8_t(parity - "NOEMS");
    settings->stopBits = int8_t(value[2] - '0');
    return true;
}

// -ST and -ES take exactly ON or OFF; anything else is named and changes nothing.
bool switchOption(const char *name, const char *label, const char *value, bool *setting) {
    progressPrintf("\nStripped %s from input: %s", name, value);
    const bool known = strcmp(value, "ON") == 0 || strcmp(value, "OFF") == 0;
    if (known)
        *setting = value[1] == 'N';
    else
        printf("\n%s '%s' not supported", label, value);
    return known;
}

bool dataTypeOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped DT from input: %s", value);
    const bool known = typedParseType(value, &settings->dataType);
    if (!known)
        printf("\nData type '%s' not supported", value);
    return known;
}

bool wordOrderOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped WO from input: %s", value);
    const bool known = typedParseOrder(value, &settings->wordOrder);
    if (!known)
        printf("\nWord order '%s' not supported", value);
    return known;
}

// TCP or RTU; any other value keeps the framing.
bool framingOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped FR from input: %s", value);
    const bool known = strcmp(value, "TCP") == 0 || strcmp(value, "RTU") == 0;
    if (known)
        settings->modbusTcp = value[0] == 'T';
    else
        printf("\nFraming '%s' not supported", value);
    return known;
}

// "a-b" with 1 <= a <= b <= 247, "a" alone, or nothing for every unit; anything else keeps the
// setting and refuses the run.
bool scanOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped SCAN from input: %s", value);
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
        settings->scanRefused = true;
        return false;
    }
    settings->scanFirst = uint8_t(first);
    settings->scanLast = uint8_t(last);
    return true;
}

// Nothing for every setting, FIRST to stop at the first device found.
bool sweepOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped SWEEP from input: %s", value);
    const bool known = value[0] == '\0' || strcmp(value, "FIRST") == 0;
    if (known)
        settings->sweep = value[0] == '\0' ? 1 : 2;
    else
        printf("\nSweep '%s' not supported", value);
    settings->scanRefused = settings->scanRefused || !known;
    return known;
}

// Units to poll in turn: "a", "a-b" and lists of them joined by commas, 1 to 247 each, none
// twice. A list that is not one is named, and polls nothing more than -ID's one unit.
bool unitListOption(RunSettings *settings, const char *value) {
    progressPrintf("\nStripped ID from input: %s", value);
    bool seen[248] = {};
    int16_t n = 0;
    bool ok = true;
    for (const char *at = value; ok;) {
        char *end = nullptr;
        ok = isdigit(static_cast<unsigned char>(at[0])) != 0;
        const long first = strtol(at, &end, 10);
        long last = first;
        if (ok && end[0] == '-') {
            ok = isdigit(static_cast<unsigned char>(end[1])) != 0;
            last = strtol(end + 1, &end, 10);
        }
        ok = ok && first >= 1 && first <= last && last <= 247;
        for (long u = first; ok && u <= last; ++u) {
            ok = !seen[u];
            seen[u] = true;
            settings->units[n++] = uint8_t(u);
        }
        if (!ok || end[0] == '\0')
            break;
        ok = end[0] == ',';
        at = end + 1;
    }
    settings->unitCount = ok ? n : 0;
    if (!ok)
        printf("\nUnit list '%s' not supported", value);
    return ok;
}

// -1 for OFF, 1 for ON, 0 for anything else; ON is tried first.
int onOffValue(const char *value) {
    if (strncmp(value, "ON", 2) == 0)
        return 1;
    if (strncmp(value, "OFF", 3) == 0)
        return -1;
    return 0;
}

// Reads one option; whether its value was understood as typed. The reading itself stays as it
// always was: numbers that are not one read as 0 and keep their low bits.
bool optionUnderstood(RunSettings *settings, const char *text) {
    // First match wins, so "COM" must come before "B" and the two-letter names after it.
    if (startsWith(text, "COM")) {
        settings->portText = text;
    } else if (startsWith(text, "B")) {
        settings->baudRate = decimalValue(text + 1);
        progressPrintf("\nStripped BAUD from input: %ld", static_cast<long>(settings->baudRate));
        return wholeNumber(text + 1, 0, INT32_MAX);
    } else if (startsWith(text, "FN")) {
        settings->functionGiven = true;
        return functionOption(settings, text + 2);
    } else if (startsWith(text, "FR")) {
        return framingOption(settings, text + 2);
    } else if (startsWith(text, "ID")) {
        settings->modslave = static_cast<uint8_t>(decimalValue(text + 2));
        settings->unitText = text + 2;
        settings->unitCount = 0;
        if (isdigit(static_cast<unsigned char>(text[2])) && strpbrk(text + 2, ",-"))
            return unitListOption(settings, text + 2);
    } else if (startsWith(text, "NR")) {
        settings->registerCount = low16(decimalValue(text + 2));
        settings->readCount = settings->registerCount;
        return wholeNumber(text + 2, INT16_MIN, UINT16_MAX);
    } else if (startsWith(text, "PK")) {
        int onOff = onOffValue(text + 2);
        if (onOff > 0)
            traceOn();
        else if (onOff < 0)
            traceOff();
        return onOff != 0;
    } else if (startsWith(text, "RD")) {
        int onOff = onOffValue(text + 2);
        if (onOff != 0)
            traceSetRegisterDump(onOff > 0);
        return onOff != 0;
    } else if (startsWith(text, "RT")) {
        settings->receiveTimeout = decimalValue(text + 2);
        settings->timeoutGiven = true;
        progressPrintf("\nRECEIVE_TIMEOUT set to %d", settings->receiveTimeout);
        return wholeNumber(text + 2, INT32_MIN, INT32_MAX);
    } else if (startsWith(text, "RQ")) {
        settings->numRequests = low16(decimalValue(text + 2));
        settings->requestsGiven = true;
        progressPrintf("\nNUM_REQUESTS set to %d", settings->numRequests);
        return wholeNumber(text + 2, INT16_MIN, UINT16_MAX);
    } else if (startsWith(text, "SR")) {
        settings->startreg = text + 2;
        progressPrintf("\nStripped SR from input: %s", settings->startreg);
    } else if (startsWith(text, "SK")) {
        settings->portText = text + 2;
    } else if (startsWith(text, "Q")) {
        // Only sets the run flag, so that a run with every default can be asked for.
    } else if (startsWith(text, "LF")) {
        return lineFormatOption(settings, text + 2);
    } else if (startsWith(text, "LA")) {
        progressPrintf("\nStripped LA from input: %s", text + 2);
        const bool known = modplIsAddress(text + 2);
        if (known)
            settings->listenAddress = text + 2;
        else
            printf("\nListen address '%s' not supported", text + 2);
        return known;
    } else if (startsWith(text, "TD")) {
        settings->requestSpacing = decimalValue(text + 2);
        settings->spacingGiven = true;
        progressPrintf("\nStripped TD from input: %ld",
                       static_cast<long>(settings->requestSpacing));
        return wholeNumber(text + 2, INT32_MIN, INT32_MAX);
    } else if (startsWith(text, "ST")) {
        return switchOption("ST", "Statistics", text + 2, &settings->statistics);
    } else if (startsWith(text, "TR")) {
        bool on = !settings->quiet;
        const bool known = switchOption("TR", "Trace", text + 2, &on);
        settings->quiet = !on;
        return known;
    } else if (startsWith(text, "ES")) {
        return switchOption("ES", "Exit status", text + 2, &settings->exitStatusTells);
    } else if (startsWith(text, "OF")) {
        progressPrintf("\nStripped OF from input: %s", text + 2);
        const bool known = recordsFormatOf(text + 2, &settings->outputFormat);
        if (!known)
            printf("\nOutput format '%s' not supported", text + 2);
        return known;
    } else if (startsWith(text, "DT")) {
        return dataTypeOption(settings, text + 2);
    } else if (startsWith(text, "WO")) {
        return wordOrderOption(settings, text + 2);
    } else if (startsWith(text, "SCAN")) {
        return scanOption(settings, text + 4);
    } else if (startsWith(text, "SWEEP")) {
        return sweepOption(settings, text + 5);
    } else if (startsWith(text, "POLL")) {
        progressPrintf("\nStripped POLL from input: %s", text + 4);
        const bool known = text[4] == '\0' || wholeNumber(text + 4, 1, 86400000);
        if (known) {
            settings->poll = true;
            settings->pollPeriodMs = uint32_t(decimalValue(text + 4));
        } else {
            printf("\nPoll period '%s' not supported", text + 4);
        }
        return known;
    } else if (startsWith(text, "WS")) {
        settings->writeStart = text + 2;
        progressPrintf("\nStripped WS from input: %s", text + 2);
    } else if (startsWith(text, "SF")) {
        progressPrintf("\nStripped SF from input: %s", text + 2);
        const bool known = wholeNumber(text + 2, 0, UINT16_MAX);
        if (known)
            settings->subfunction = uint16_t(decimalValue(text + 2));
        else
            printf("\nSubfunction '%s' not supported", text + 2);
        return known;
    } else if (startsWith(text, "PDU")) {
        progressPrintf("\nStripped PDU from input: %s", text + 3);
        // Not understood, it is still a PDU to send: the run is refused as a write's.
        settings->pduLength =
            uint16_t(extraParseHex(text + 3, settings->pdu, sizeof settings->pdu));
        settings->functionSelector = selectorPdu;
        if (settings->pduLength == 0)
            printf("\nPDU '%s' not supported", text + 3);
        return settings->pduLength > 0;
    } else if (startsWith(text, "MON")) {
        progressPrintf("\nStripped MON from input: %s", text + 3);
        // Whatever follows the name: a typing error must not make a listener send.
        settings->monitor = true;
        if (text[3] != '\0')
            printf("\nMonitor '%s' not supported", text + 3);
        return text[3] == '\0';
    } else {
        settings->run = false;
        settings->refused = true;
        printf("INVALID INPUT: '%s'", text - 1); // the whole argument, prefix included
        return false;
    }
    return true;
}

void option(RunSettings *settings, char *argument) {
    const char *text = argument + 1;
    if (text[0] == '?' || text[0] == 'H' || strcmp(argument, "--HELP") == 0) {
        printUsage();
        settingsRefuse(settings, "'%s' asks for the usage", argument);
        return;
    }
    settings->run = true;
    if (!optionUnderstood(settings, text))
        settingsRefuse(settings, "'%s' was not understood", argument);
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
    settings->scanRefused = false;
    settings->refusal[0] = '\0';
    settings->unitText = nullptr;
    settings->quiet = false;
    settings->unitCount = 0;
    settings->listenAddress = nullptr;
    settings->poll = false;
    settings->pollPeriodMs = 0;
    settings->writeStart = nullptr;
    settings->readCount = defaultCount;
    settings->subfunction = 0;
    settings->pduLength = 0;
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

void printExtensions() {
    static const char *const lines[] = {
        "-LFxxx      Serial line format: 7 or 8 data bits, parity N E O M S, 1 or 2 stop bits",
        "-DTxxx      Type: INT16 UINT16 HEX INT32 UINT32 FLOAT32 INT64 UINT64 FLOAT64 STRING ALL",
        "-WOxxx      Word order of longer values: ABCD CDAB BADC DCBA",
        "-FRxxx      Framing on a TCP port: RTU, or TCP for Modbus TCP",
        "-LAaddress  With -SK/port: listen on that IPv4 address only",
        "-OFxxx      Output format: TEXT, or CSV or JSON records on standard output",
        "-STON/OFF   Run statistics after the last request",
        "-ESON/OFF   An exit status that tells what happened; the command line is a contract",
        "-TRON/OFF   Trace; OFF leaves only records, the summary, warnings and errors",
        "-IDa,b-c    Several units, polled in turn each round (-RQ rounds)",
        "-POLL[ms]   Rounds until stopped, one every ms from start to start",
        "-SCAN[a-b]  Find the units that answer (1 to 247 without a range)",
        "-SWEEP[FIRST] With -SCAN on a serial port: every rate and line format",
        "-FN7 -FN24  Read exception status; read the FIFO queue at -SR",
        "-FN8 -SFxxx Diagnostics: subfunction (default 0, echo), the values its data",
        "-FN22       Mask write of the register at -SR: values AND mask, OR mask",
        "-FN23 -WSxxx Read -NR registers from -SR and write the values from -WS in one request",
        "-PDUhex     Send this PDU as given and show the answer's",
        "-MON        Listen to a serial line and show its exchanges; sends nothing",
        "--version   The banner alone",
    };
    printf("\nExtensions:");
    for (const char *line : lines)
        printf("\n  %s", line);
    printf("\n");
}

void parseArguments(RunSettings *settings, int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        char *argument = argv[i];
        if (isOption(argument)) {
            // A link in the working directory is looked for by the name as typed, too.
            char typed[sizeof settings->portTyped];
            snprintf(typed, sizeof typed, "%s", argument);
            const char *port = settings->portText;
            upperFromSecond(argument);
            option(settings, argument);
            if (settings->portText != port && size_t(settings->portText - argument) < sizeof typed)
                snprintf(settings->portTyped, sizeof settings->portTyped, "%s",
                         typed + (settings->portText - argument));
        } else {
            addValue(settings, argument);
        }
    }
}

void settingsRefuse(RunSettings *settings, const char *format, ...) {
    if (settings->refusal[0] != '\0')
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(settings->refusal, sizeof settings->refusal, format, args);
    va_end(args);
}

namespace {

// The option as parseArguments will upper-case it, into name; false when it does not fit, as no
// option looked for ahead is that long. The argument itself stays as typed, as the port text
// must until it is read.
bool upperCopy(const char *argument, char *name, size_t size) {
    if (strlen(argument) >= size)
        return false;
    snprintf(name, size, "%s", argument);
    upperFromSecond(name);
    return true;
}

bool asked(int argc, char **argv, const char *wanted) {
    char name[16];
    for (int i = 1; i < argc; ++i)
        if (isOption(argv[i]) && upperCopy(argv[i], name, sizeof name) && strcmp(name, wanted) == 0)
            return true;
    return false;
}

} // namespace

bool versionAsked(int argc, char **argv) {
    return asked(argc, argv, "--VERSION");
}

bool helpAsked(int argc, char **argv) {
    return asked(argc, argv, "--HELP");
}

bool quietAsked(int argc, char **argv) {
    bool quiet = false;
    char name[16];
    for (int i = 1; i < argc; ++i) {
        if (!isOption(argv[i]) || !upperCopy(argv[i], name, sizeof name))
            continue;
        const char *value = name + 3;
        if (startsWith(name + 1, "TR") && (strcmp(value, "ON") == 0 || strcmp(value, "OFF") == 0))
            quiet = value[1] == 'F';
    }
    return quiet;
}

OutputFormat outputFormatAsked(int argc, char **argv) {
    OutputFormat format = OutputFormat::Text;
    char name[16];
    for (int i = 1; i < argc; ++i)
        if (isOption(argv[i]) && upperCopy(argv[i], name, sizeof name) &&
            startsWith(name + 1, "OF"))
            recordsFormatOf(name + 3, &format);
    return format;
}

bool scanAsked(int argc, char **argv) {
    char name[16];
    for (int i = 1; i < argc; ++i)
        if (isOption(argv[i]) && upperCopy(argv[i], name, sizeof name) &&
            startsWith(name + 1, "SCAN"))
            return true;
    return false;
}

bool monitorAsked(int argc, char **argv) {
    return asked(argc, argv, "-MON") || asked(argc, argv, "/MON");
}
