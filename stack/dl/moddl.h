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

// How frames are delimited: RTU (address, PDU, CRC) on any channel, or Modbus TCP (the 7-byte
// MBAP header, then the PDU) on a socket.
enum LinkFraming : uint8_t { framingRtu = 0, framingMbap = 1 };
constexpr uint32_t moddlMbapHeader = 7;
constexpr uint32_t moddlFrameMost = moddlMbapHeader + moddlMaxFrame - 3; // the longest PDU's
constexpr uint8_t moddlMbapDevice = 255; // on Modbus TCP, the unit id of the device itself

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

// What the application layer knows of a frame's length: frames whose second byte is code are
// length bytes long, plus the value of byte countAt when that is not 0. A serial read then ends
// on that byte count instead of the character gap.
struct LinkLength {
    uint8_t code;
    uint8_t countAt;
    uint16_t length;
};
constexpr uint32_t moddlMostLengths = 8;

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
    char portTyped[moddlPortTextSize]; // the port text as typed, if the caller gave it
    char openFailure[96];              // why the last open failed, when the link knows
    uint32_t lastIoTick;
    uint32_t lowerCounts[2];
    uint8_t connectionLost; // a socket rebuild, or a serial device that went away, must reopen
    uint32_t lineFormat;    // data, parity and stop fields of the line word; 0 is 8N1
    uint8_t accepted;       // taken from a listener: reads never wait, nothing is rebuilt
    uint16_t rxHeld;        // bytes at the start of rxBuffer kept for the next receive
    uint8_t rxBuffer[moddlRxBufferSize];
    uint8_t framing;        // a LinkFraming; RTU after every open
    uint16_t transactionId; // MBAP: the master's last request, or the request a slave answers
    bool receiveOnly;       // a serial port opened to listen: never written, lines untouched

    // link interface: role written by the application layer's install, the rest here
    int32_t role;
    uint8_t ownUnit;
    uint8_t unitSet[32]; // a slave's further units, bit u of unitSet[u / 8] for unit u
    uint8_t peerUnit;
    uint32_t linkCounts[2];
    int32_t timeoutMs;
    uint8_t isOpen;
    // written by the application layer before each receive; lengthCount 0 knows none
    LinkLength lengths[moddlMostLengths];
    uint8_t lengthCount;

    // kept by the link layer for a front end's run statistics; nothing else reads them
    uint32_t rxBytes;  // bytes read, to tell a silent peer from a garbled answer
    RxOutcome lastRx;  // of the last moddlReceive
    uint32_t rebuilds; // socket connections closed and made again, serial devices reopened
    // a well-formed frame the last moddlReceive did not take (another unit's, or a reply to an
    // earlier MBAP request): its unit, its first two PDU bytes (0 where it has none) and when it
    // came, so a scan can name a late device
    bool strayFrame;
    uint8_t strayUnit;
    uint8_t strayPdu[2];
    uint32_t strayTick;
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
// Whether a serial port checks the parity of what it reads, so that a byte that fails it
// breaks its frame: 1; 0 on a socket or when the port refuses.
int32_t moddlSetParityCheck(LinkContext *ctx, bool on);
int32_t moddlSetTiming(LinkContext *ctx, const LinkTimingRequest *request);
// Whether a slave answers this unit: its own or one of its further units.
bool moddlTakesUnit(const LinkContext *ctx, uint8_t unit);
int32_t moddlGetTiming(LinkContext *ctx, LinkTimingRequest *request);
// Classifies the port text, binds the matching driver, sets the defaults, opens the port. A
// text of moddlPortTextSize characters or more is refused. A serial port whose open had to do
// without something says so in a trace line.
int32_t moddlOpen(LinkContext *ctx, const char *portText);
// The port text as the user typed it, for the next open: a serial port is then looked for by
// that name first. Ignored unless it equals the port text but for case.
void moddlSetPortTyped(LinkContext *ctx, const char *typed);
// Why the last open failed, as one line: a serial port's ("Port NAME: reason"), a host name
// that was not found, a connection refused or a port in use; null when there is nothing to add.
const char *moddlOpenFailure(const LinkContext *ctx);
int32_t moddlCreateSocket(LinkContext *ctx);
int32_t moddlClose(LinkContext *ctx);
int32_t moddlConfigure(LinkContext *ctx, const LinkTiming *timing);
void moddlStamp(LinkContext *ctx);
// Closes a socket channel, binds it again with the time-outs it had and reopens it, with four
// trace lines; a reopen that fails leaves connectionLost set for the next transmit or receive
// to retry.
void moddlRebuild(LinkContext *ctx);
// A connection or device that broke: a socket channel is rebuilt; an accepted connection is
// closed for good (isOpen 0); a serial port is closed with connectionLost set, and a master's
// next transmit, a slave's next receive, opens it again.
void moddlLost(LinkContext *ctx);

// ---- Modbus TCP framing (MBAP) -----------------------------------------------------------

// Selects the framing: 1, or 0 for MBAP on a serial channel, which keeps RTU.
int32_t moddlSetFraming(LinkContext *ctx, uint8_t framing);
// Writes the MBAP header and the frame's PDU into buffer (room for moddlMbapHeader + 253
// bytes): a master's transaction id counts up per request and wraps, a slave's echoes the
// request's. The frame's length.
uint32_t moddlMbapWrap(LinkContext *ctx, const LinkFrame *frame, uint8_t *buffer);
// Receives one MBAP frame, whose header's length ends it: a master drops replies to earlier
// requests and waits on for its own; a header out of step (protocol id not 0, length below 2
// or above 254), or a frame still incomplete at the time-out, drops what is held and has the
// connection rebuilt before the next request (an accepted one is closed). Results as moddlRx.
int32_t moddlMbapRx(LinkContext *ctx, LinkFrame *frame);

// ---- Reading, shared by the framings ------------------------------------------------------

// One receive call's reading: the bytes held at the start of the context's buffer, when the
// first of them came, and the driver's own read time-out while a read on has set a shorter one.
struct LinkRead {
    uint32_t capacity;
    uint32_t held;
    bool started;
    uint32_t startTick;
    uint32_t timeoutMs;
};

// Starts a receive call: a channel lost earlier is tried again (2 when it stays lost, after a
// wait of its read time-out); a master starts from nothing, a slave from the bytes it kept,
// which an accepted connection drops once its master let the time-out pass. 0 to go on.
int32_t moddlReadBegin(LinkContext *ctx, LinkRead *rd, uint16_t capacity);
// Reads behind the bytes held, for at most waitMs when that is set (a socket reading on). A
// serial read from nothing held ends on the length the context's lengths give a frame that
// checks (from the unit a master expects); any other bytes are read on to the character gap.
// IoOk with the bytes traced and added, IoTimeout (an accepted connection then keeps what is
// held for its next receive), or the result 2 or 3 after its trace.
int32_t moddlReadMore(LinkContext *ctx, LinkRead *rd, uint32_t waitMs);
// A socket reads on while its time-out, counted from the call's first bytes, lasts and the
// buffer has room: true with *waitMs what is left (0 on an accepted connection, which never
// waits), after a trace line when part of a frame is held.
bool moddlReadOn(LinkContext *ctx, LinkRead *rd, uint32_t *waitMs);

// ---- A server of many masters ------------------------------------------------------------

// A TCP server that keeps one listening socket for its whole life and takes each master that
// connects into a context of its own; held by the caller.
struct LinkListener {
    SocketListener socket;
};
constexpr uint32_t moddlWaitMost = 32;

// Listens on the port of a "/port" text, or of an "@address/port" text on that address only:
// 1, or 0 (the driver prints why).
int32_t moddlListen(LinkListener *listener, const char *portText);
// Whether the text is a dotted IPv4 address, four numbers from 0 to 255.
bool moddlIsAddress(const char *text);
// A server's port text ("/port") made to listen on the address only: "@address/port" in out;
// any other text, or no address, as it stands. False when out is too small.
bool moddlServerText(char *out, uint32_t size, const char *portText, const char *address);
// Sends what an accepted connection kept of its last frame: 1 nothing is kept, 0 some still
// waits for room, -1 the connection broke and was closed.
int32_t moddlFlush(LinkContext *ctx);
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
// The bytes moddlTransmit sends for a frame (unit, PDU and CRC, or MBAP header and PDU), in
// buffer (moddlFrameMost bytes): their count. The PDU fits moddlMaxFrame.
uint32_t moddlFrameBytes(LinkContext *ctx, const LinkFrame *frame, uint8_t *buffer);
// Slave: the bytes of the answer moddlSend would send for the PDU, in buffer: their count; 0
// when nobody is to be answered or the PDU is too long.
uint32_t moddlAnswerBytes(LinkContext *ctx, const PduRecord *pdu, uint8_t *buffer);
// Writes bytes as they stand, traced and paced as a frame is: results as moddlTransmit.
int32_t moddlWrite(LinkContext *ctx, const uint8_t *buffer, uint32_t length);
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
// Notes a well-formed frame from unit that the receive did not take, as it came now.
void moddlStray(LinkContext *ctx, uint8_t unit, const uint8_t *pdu, uint32_t length);
