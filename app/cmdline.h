// The run settings and the command line: built-in defaults, the banner, reading the arguments
// left to right with their echo messages, and the usage text. Texts are kept as pointers into
// the argument text (upper-cased in place from the second character) or to the defaults.
#pragma once

#include "app/records.h"
#include "stack/al/typed.h"

#include <cstdint>

constexpr int32_t maxValues = 2000;

struct RunSettings {
    const char *portText;
    char portTyped[100]; // the port text as typed, before upper-casing (cut to fit)
    int32_t baudRate;
    uint8_t functionSelector; // 65 READ, 66 WRITE, or a function code
    uint8_t modslave;
    const char *startreg;
    int16_t registerCount;
    int16_t numRequests;
    int32_t receiveTimeout; // ms
    int32_t requestSpacing; // ms
    int16_t values[maxValues];
    const char *valueTexts[maxValues]; // as given, not upper-cased: read in the type at the end
    int16_t valueCount;
    int32_t valuesIgnored; // value arguments past the list's end
    bool run;
    // -LF: data bits, parity (0 none, 1 odd, 2 even, 3 mark, 4 space), stop bits
    bool lineFormatGiven;
    int8_t dataBits, parity, stopBits;
    // -ST, -OF, -ES; refused: an invalid option was given
    bool statistics;
    OutputFormat outputFormat;
    bool exitStatusTells;
    bool refused;
    // -DT, -WO: the type the values are read and written in, and its word order
    DataType dataType;
    WordOrder wordOrder;
    bool modbusTcp; // -FR: Modbus TCP framing instead of RTU
    // -SCAN: the units probed (scanFirst 0: no scan); -SWEEP: 0 none, 1 every setting, 2 up to
    // the first device found; whether -RT and -TD were given (a scan derives its own otherwise)
    uint8_t scanFirst, scanLast;
    uint8_t sweep;
    bool timeoutGiven, spacingGiven;
    bool scanRefused; // a -SCAN or -SWEEP value not understood: no run, rather than a plain read
    // The first argument that was not understood, and why: it keeps a write from being sent
    // and, with -ESON, any run. Empty while every argument was understood. The -ID text as
    // typed, which a write's unit is judged by (nullptr: not given).
    char refusal[160];
    const char *unitText;
    bool quiet; // -TROFF: records, the summary, warnings and errors only
    // -ID as a list (1,3-5): the units each round polls in turn; 0 for -ID's one unit.
    uint8_t units[247];
    int16_t unitCount;
    // -POLL: rounds until stopped, one every pollPeriodMs from start to start (0: back to back).
    bool poll;
    uint32_t pollPeriodMs;
    // -LA: the one address a server port ("/port") listens on; null listens on every address
    const char *listenAddress = nullptr;
    // -WS: the start of function 23's write (null: -SR's); -SF: function 8's subfunction; -PDU:
    // the PDU as given, which -FN's selectorPdu sends
    const char *writeStart = nullptr;
    int16_t readCount = 3; // -NR as typed, which a value does not reset: function 23's read
    uint16_t subfunction = 0;
    uint8_t pdu[253];
    uint16_t pduLength = 0;
    // -MON: listen to the line and show its exchanges, sending nothing; whether -FN and -RQ
    // were given, which then select and end what the monitor shows
    bool monitor = false;
    bool functionGiven = false;
    bool requestsGiven = false;
};

constexpr uint8_t selectorRead = 65;
constexpr uint8_t selectorWrite = 66;
constexpr uint8_t selectorPdu = 67;

// Defaults of every setting; the register dump switch on.
void runSettingsDefaults(RunSettings *settings);
void printBanner();
void printUsage();
// The extensions, one line each, after the usage text for --help.
void printExtensions();
// Before anything is printed: whether --version or --help is among the arguments (in any case),
// and the output format the -OF options will leave set.
bool versionAsked(int argc, char **argv);
bool helpAsked(int argc, char **argv);
// Whether the last valid -TR option asks for a quiet run (-TROFF).
bool quietAsked(int argc, char **argv);
OutputFormat outputFormatAsked(int argc, char **argv);
bool scanAsked(int argc, char **argv);
bool monitorAsked(int argc, char **argv);
// Reads argv[1..argc-1] into the settings, printing what each option echoes. An argument is a
// value when it begins with neither "-" nor "/", or with "-" and a digit or ".".
void parseArguments(RunSettings *settings, int argc, char **argv);
// Notes why the run may not be what was typed, unless an earlier reason is noted already.
void settingsRefuse(RunSettings *settings, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
