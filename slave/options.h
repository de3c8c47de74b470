// The slave's command line: the master's option style ("-" or "/", case-insensitive, the value
// in the same argument) with options of its own for stopping and for seeding the image, and its
// usage text. Every malformed input is refused with a message on standard error.
#pragma once

#include "slave/fault.h"
#include "slave/image.h"
#include "stack/al/ident.h"

#include <cstdint>

struct SlaveSettings {
    const char *portText; // points into the argument text or to the default
    int32_t baudRate;
    int32_t dataBits;      // the line format: 7 or 8 data bits,
    int32_t parity;        // 0 none, 1 odd, 2 even, 3 mark, 4 space,
    int32_t stopBits;      // 1 or 2 stop bits
    uint8_t unit;          // the first unit of -ID
    uint8_t units[32];     // every unit of -ID, bit u of units[u / 8] for unit u
    const char *unitsText; // -ID's value when it names more than one unit, else nullptr
    IdentDevice identity;  // answered to functions 17 and 43: -VN, -PC, -RV
    uint32_t maxRequests;  // 0: no limit
    uint32_t maxSeconds;   // 0: no limit
    bool modbusTcp;        // -FRTCP: Modbus TCP framing instead of RTU
    bool run;              // false: the usage text was all that was asked for

    // -LA: the one address a server listens on, else nullptr; -IT: a server closes a master
    // silent this many seconds, 0 never
    const char *listenAddress;
    uint32_t idleSeconds;
    FaultPlan faults; // -FAULT and -SEED
};

constexpr int slaveStatusOk = 0;
constexpr int slaveStatusFailed = 1;
constexpr int slaveStatusUsage = 2;

void printSlaveUsage();

// Reads argv[1..argc-1] into the settings and writes the given values into the image (which
// the caller has seeded), upper-casing each argument from its second character as the master
// does. Turns the stack's trace on for -PKON. slaveStatusOk, or slaveStatusUsage after a
// message on standard error.
int parseSlaveArguments(SlaveSettings *settings, SlaveImage *image, int argc, char **argv);
