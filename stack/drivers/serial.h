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
};

// Writes the serial defaults (port name cut to fit and terminated) and binds the serial
// driver. Cannot fail: answers 0.
int32_t serialInstall(PortChannel *channel, const char *text);

// Closes a port that is still open the way close does and answers that; otherwise 0.
int32_t serialRelease(PortChannel *channel);
