// Listening on a line that others talk on: cuts the byte stream that a receive-only port
// hears into RTU frames, by the lengths that a frame's function code implies (as request or as
// reply, whichever checks) and, where nothing implies one, by the CRC found running, as the
// receiver finds a first frame; after a quiet line (the character gap) or when nothing can
// complete, what made no frame is handed up as a frame with a bad CRC (it had a length its
// function code implies) or as noise. Holds at most monitorCapacity bytes in the caller's
// cutter record; no allocation, no I/O but monitorRead, which reads through the port table.
#pragma once

#include "stack/dl/moddl.h"

#include <cstdint>

constexpr uint32_t monitorCapacity = 2 * moddlMaxFrame;

struct MonitorCutter {
    uint8_t bytes[monitorCapacity];
    uint32_t head;    // first byte not yet handed up
    uint32_t held;    // end of what was heard
    bool quiet;       // the line went quiet after the last byte held
    uint32_t tick;    // tickMicros of the read that brought the last bytes
    uint32_t waitMs;  // the read time-out the port was last given (0: none yet)
    uint32_t byteNs;  // one character's time on the line, to place a frame within its read
    uint32_t quietMs; // a silence this long ends what is held
};

enum class MonitorKind : uint8_t { Frame, BadCrc, Noise };

// One item heard: a frame that checks (its bytes, CRC included), bytes of a frame's implied
// length that fail the CRC, or noise (only its length is kept).
struct MonitorItem {
    MonitorKind kind;
    uint32_t length;
    uint8_t frame[moddlMaxFrame];
    uint32_t tick; // when its last byte came: its read's, less the bytes read behind it
};

// Empties the cutter; a character takes no time, and the line is never quiet.
void monitorReset(MonitorCutter *cutter);
// Appends what was heard at tick, as much as there is room for (the count taken); the caller
// takes items out before it pushes more.
uint32_t monitorPush(MonitorCutter *cutter, const uint8_t *bytes, uint32_t n, uint32_t tick);
// The line went quiet: what is held cannot grow into a longer frame.
void monitorQuiet(MonitorCutter *cutter);
// Takes the next item out: true with *item filled, false while what is held may still become
// a frame.
bool monitorNext(MonitorCutter *cutter, MonitorItem *item);

// Opens the port of the next moddlOpen for listening only: nothing can be written to it, and
// its modem lines and RS-485 mode stay as the device had them.
void moddlSetReceiveOnly(LinkContext *ctx, bool on);
// Empties the cutter for the port's rate and line format: its character time, and a silence of
// four characters but at least 20 ms (a USB adapter's packets are up to 16 ms apart) as the
// quiet that ends a frame. The port is given a character gap of two characters (at least 1 ms),
// so that a read ends soon after a frame.
void monitorPrepare(LinkContext *ctx, MonitorCutter *cutter);
// Reads what the line brings within the cutter's quiet time (ended at once by a stop) into the
// cutter, noting a quiet line when no byte came: 0 bytes came or the line was quiet, 2 the
// device went away, 3 the read failed.
int32_t monitorRead(LinkContext *ctx, MonitorCutter *cutter);
