// Serial port driver: its state in the driver area of a channel, the binding step that fills
// that state with its defaults and binds the five table operations, and the release step the
// link layer calls after a close. Settings sent while the port is closed are kept here and
// applied at open. Never prints.
#pragma once

#include "stack/drivers/platform.h"

#include <cstdint>

struct PortChannel;

constexpr uint32_t serialPortNameSize = plat::maxPath;

struct SerialState {
    char portName[serialPortNameSize];
    plat::Handle portHandle;
    uint32_t lastError;
    uint32_t inQueueSize;
    uint32_t outQueueSize;
    plat::Dcb lineState;
    plat::CommTimeouts timeouts;
    plat::Dcb savedLineState;
    plat::CommTimeouts savedTimeouts;
    char typedName[serialPortNameSize]; // the name as typed, looked for before portName
    char failure[160];                  // why the last open failed; empty after one that did not
    char note[120];                     // what an open that succeeded had to do without
    bool receiveOnly; // listening: writes refused, modem lines and RS-485 mode as found
};

// Writes the serial defaults (port name cut to fit and terminated) and binds the serial
// driver. Cannot fail: answers 0.
int32_t serialInstall(PortChannel *channel, const char *text);

// Closes a port that is still open the way close does and answers that; otherwise 0.
int32_t serialRelease(PortChannel *channel);

// The port text as typed, before the command line upper-cased it (cut to fit): a file of that
// name in the working directory is looked for before one named as portName.
void serialSetTypedName(PortChannel *channel, const char *typed);
// Opens the port for listening only: every write is refused, and the open keeps the RTS, DTR
// and CTS modes (and so the RS-485 mode) the device had, so that no line moves.
void serialSetReceiveOnly(PortChannel *channel, bool on);
// Why the last open failed, as one line ("Port NAME: reason"), and what the last open that
// succeeded had to do without; each "" when there is nothing to say.
const char *serialOpenFailure(const PortChannel *channel);
const char *serialOpenNote(const PortChannel *channel);
