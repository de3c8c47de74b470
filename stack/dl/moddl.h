// The data link layer: opens a channel from a port text (serial, TCP client or TCP server),
// derives the driver time-outs from the baud rate and timing, frames, paces and transmits RTU
// frames, receives and recovers them by CRC alone, and rebuilds a broken TCP connection. It
// reaches ports only through the port driver table and traces through tracePrintf. Frames are
// built in a fixed 256-byte buffer local to each send and received into the context's 272-byte
// receive buffer, which keeps what follows a slave's request for its next receive.
#pragma once

#include "stack/drivers/port.h"

#include <cstdint>

constexpr uint32_t moddlPortTextSize = 100;
constexpr uint32_t moddlMaxFrame = 256;
constexpr uint32_t moddlRxBufferSize = moddlMaxFrame + 16;

// The timing the time-outs and the pacing are derived from.
struct LinkTiming {
    int32_t waitForCts;
    uint32_t minIntervalUs;
    int16_t charGap;        // character times
    int16_t frameAllowance; // 256-character frame times
    int32_t timeoutBaseUs;
};

// What moddlSetTiming takes and moddlGetTiming fills.
struct LinkTimingRequest {
    int32_t waitForCts;
    int32_t minIntervalMs;
    int32_t timeoutMs;
};

// Unit address and PDU of one RTU frame. For moddlRx pduLength is the capacity of pdu on
// entry and the PDU length on success.
struct LinkFrame {
    uint8_t unit;
    uint16_t pduLength;
    uint8_t *pdu;
};

// A PDU between the application layer and moddlSend/moddlReceive.
struct PduRecord {
    uint16_t length;
    uint8_t *data;
};

struct LinkContext {
    // owned by the drivers through the table
    PortChannel port;

    // owned by the link layer; others don't touch
    int32_t isSerial;
    LinkTiming timing;
    int32_t baudRate;
    char portText[moddlPortTextSize];
    uint32_t lastIoTick;
    uint32_t lowerCounts[2];
    uint8_t connectionLost; // a socket rebuild, or a slave's serial device, could not reopen
    uint32_t lineFormat;    // data, parity and stop fields of the line word; 0 is 8N1
    uint8_t accepted;       // taken from a listener: reads never wait, nothing is rebuilt
    uint16_t rxHeld;        // bytes at the start of rxBuffer kept for the next receive
    uint8_t rxBuffer[moddlRxBufferSize];

    // link interface: role written by the application layer's install, the rest here
    int32_t role;
    uint8_t ownUnit;
    uint8_t peerUnit;
    uint32_t linkCounts[2];
    int32_t timeoutMs;
    uint8_t isOpen;
};

// ---- Open, configuration, port selection. Results 1 success, 0 failure. -----------------

int32_t moddlLinkOpen(LinkContext *ctx, const char *portText, uint8_t unit);
int32_t moddlLinkClose(LinkContext *ctx);
// Records the baud rate and derives the driver time-outs from it; 0 for a rate of 0 or
// below, which is refused with a trace line and changes nothing.
int32_t moddlSetBaud(LinkContext *ctx, int32_t baud);
int32_t moddlGetBaud(LinkContext *ctx);
// Sends the line format in the line settings word (the other fields as they are) and derives
// the time-outs again from the bits a character then takes. 0 for a format out of range.
int32_t moddlSetLineFormat(LinkContext *ctx, int32_t dataBits, int32_t parity, int32_t stopBits);
int32_t moddlSetTiming(LinkContext *ctx, const LinkTimingRequest *request);
int32_t moddlGetTiming(LinkContext *ctx, LinkTimingRequest *request);
// Classifies the port text, binds the matching driver, sets the defaults, opens the port. A
// text of moddlPortTextSize characters or more is refused.
int32_t moddlOpen(LinkContext *ctx, const char *portText);
int32_t moddlCreateSocket(LinkContext *ctx);
int32_t moddlClose(LinkContext *ctx);
int32_t moddlConfigure(LinkContext *ctx, const LinkTiming *timing);
void moddlStamp(LinkContext *ctx);
// Closes a socket channel, binds it again with the time-outs it had and reopens it, with four
// trace lines; a reopen that fails leaves connectionLost set for the next transmit or receive
// to retry.
void moddlRebuild(LinkContext *ctx);
// A connection or device that broke: a socket channel is rebuilt; an accepted connection is
// closed for good (isOpen 0); a slave's serial port is closed with connectionLost set, and the
// next receive opens it again.
void moddlLost(LinkContext *ctx);

// ---- A server of many masters ------------------------------------------------------------

// A TCP server that keeps one listening socket for its whole life and takes each master that
// connects into a context of its own; held by the caller.
struct LinkListener {
    SocketListener socket;
};
constexpr uint32_t moddlWaitMost = 32;

// Listens on the port of a "/port" text: 1, or 0 (the driver prints why).
int32_t moddlListen(LinkListener *listener, const char *portText);
// Takes a master waiting on the listener into ctx as an accepted connection, in the context's
// role, as moddlLinkOpen opens a channel: 1, or 0 when none is waiting or the accept failed.
int32_t moddlAccept(LinkListener *listener, LinkContext *ctx, uint8_t unit);
// Waits at most timeoutMs until a master waits on the listener (ready[0]) or connection i has
// something to read or was closed (ready[1 + i]), for the first moddlWaitMost connections.
// 1 something is ready, 0 nothing came, -1 the run is being stopped or the wait failed.
int32_t moddlWait(LinkListener *listener, LinkContext *const *conns, uint32_t n, uint32_t timeoutMs,
                  uint8_t *ready);
void moddlUnlisten(LinkListener *listener);

// ---- Transmit -----------------------------------------------------------------------------

// 1 sent; 0 not sent (slave with nobody to answer) or write time-out; -3 any other failure.
int32_t moddlSend(LinkContext *ctx, uint8_t unit, const PduRecord *pdu);
// 0 sent; 1 time-out; 2 connection broken; 3 frame too long or other failure.
int32_t moddlTransmit(LinkContext *ctx, const LinkFrame *frame);
// Sleeps until intervalUs (in whole milliseconds) has passed since lastIoTick.
void moddlPace(LinkContext *ctx, uint32_t intervalUs);
int32_t moddlGetCounts(LinkContext *ctx, uint32_t out[2]);
int32_t moddlGetLowerCounts(LinkContext *ctx, uint32_t out[2]);
int32_t moddlResetCounts(LinkContext *ctx);

// ---- Receive ------------------------------------------------------------------------------

// 1 a frame from the expected unit was handed up into record->data (256 bytes); 0 otherwise,
// with record->length 0.
int32_t moddlReceive(LinkContext *ctx, PduRecord *record);
// 0 frame received; 1 time-out or no usable frame; 2 connection broken; 3 other failure.
// A master starts from nothing; a slave from what followed its last request. A socket reads on
// until a frame checks or the time-out, counted from the first bytes, has passed; an accepted
// connection never waits and keeps a frame not yet complete for the next call.
int32_t moddlRx(LinkContext *ctx, LinkFrame *frame);
