// The data link layer: opens a channel from a port text (serial, TCP client or TCP server),
// derives the driver time-outs from the baud rate and timing, frames, paces and transmits RTU
// frames, receives and recovers them by CRC alone, and rebuilds a broken TCP connection. It
// reaches ports only through the port driver table and traces through tracePrintf. Frames
// are built in fixed buffers local to each call: 256 bytes to send, 272 to receive.
#pragma once

#include "stack/drivers/port.h"

#include <cstdint>

constexpr uint32_t moddlPortTextSize = 100;
constexpr uint32_t moddlMaxFrame = 256;

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

// What the last moddlReceive came to: a frame handed up, nothing at all within the time-out,
// bytes that made no frame, a frame from another unit, or a broken or failed port.
enum class RxOutcome : uint8_t { Frame, Timeout, BadFrame, Foreign, Broken };

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
    uint8_t connectionLost; // a socket rebuild could not reopen
    uint32_t lineFormat;    // data, parity and stop fields of the line word; 0 is 8N1

    // link interface: role written by the application layer's install, the rest here
    int32_t role;
    uint8_t ownUnit;
    uint8_t peerUnit;
    uint32_t linkCounts[2];
    int32_t timeoutMs;
    uint8_t isOpen;

    // kept by the link layer for a front end's run statistics; nothing else reads them
    uint32_t rxBytes;  // bytes read, to tell a silent peer from a garbled answer
    RxOutcome lastRx;  // of the last moddlReceive
    uint32_t rebuilds; // socket connections closed and made again
};

// ---- Open, configuration, port selection. Results 1 success, 0 failure. -----------------

int32_t moddlLinkOpen(LinkContext *ctx, const char *portText, uint8_t unit);
int32_t moddlLinkClose(LinkContext *ctx);
// Records the baud rate and derives the driver time-outs from it; 0 for a rate of 0 or
// below, which is refused with a trace line and changes nothing, and 0 for a rate the serial
// device cannot run, after which moddlGetBaud answers the rate it runs instead.
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
int32_t moddlRx(LinkContext *ctx, LinkFrame *frame);
