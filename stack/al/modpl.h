// The application layer: the stack context and the interface the front end calls. Encodes
// message records into PDUs and decodes PDUs back, as master (requests out, responses in) or
// as slave (requests in, responses and exception answers out), in frame buffers over fixed
// arrays local to each call. Calls the link layer only; keeps no state outside the context.
#pragma once

#include "stack/al/answer.h"
#include "stack/dl/moddl.h"

#include <cstdint>

// Bits of ModbusMessage::flags.
namespace msgflag {
constexpr uint32_t kindMask = 0x3; // 0 read, 1 write, 2 or 3 send functionCode as stored
constexpr uint32_t kindRead = 0;
constexpr uint32_t kindWrite = 1;
constexpr uint32_t single = 1u << 2;
constexpr uint32_t wordData = 1u << 3;
constexpr uint32_t isResponse = 1u << 4;
} // namespace msgflag

// One Modbus message between the front end and this layer, as request or as reply.
struct ModbusMessage {
    uint32_t flags;
    uint8_t functionCode; // bit 7 marks an exception response
    uint16_t refType;     // exception code in the low byte of an exception response
    uint16_t offset;
    int16_t count;
    int16_t *values;
    uint16_t capacity; // entries values can hold; nothing is read or written past it
};

struct StackSettings {
    int32_t waitForCts;
    int32_t timeoutMs;
    int32_t minIntervalMs;
};

struct TypeLimit {
    uint16_t maxCount;
    uint16_t enabled;
};

struct IdentDevice;

constexpr int32_t modplMaster = 1;
constexpr int32_t modplSlave = 0;

struct StackContext {
    // owned by the link layer and the drivers below it
    LinkContext link;

    // owned by the application layer
    int32_t alRole;
    uint32_t alCounts[2]; // PDUs received for this station, requests (or answers) sent
    TypeLimit typeLimits[5];
    const IdentDevice *identity; // a slave's answer to functions 17 and 43; none after install
    AnswerAsked asked;           // master: the request last sent, which a reply must answer
    // Slave: the holding registers functions 22 and 23 serve and the status byte function 7
    // answers (none after install), and the counters function 8 reports: messages seen on the
    // bus, communication errors, exceptions sent, messages to this station.
    uint16_t *registers;
    const uint8_t *status;
    uint16_t busCounts[4];
};

// 1; 0 for a role above 1, which writes nothing but alRole.
int32_t modplInstall(StackContext *ctx, int32_t role);
int32_t modplOpen(StackContext *ctx, const char *portText, int32_t unit);
// The port text as typed, before upper-casing, for the next open: a serial port is then looked
// for by that name first.
void modplSetPortTyped(StackContext *ctx, const char *typed);
// Why the last open failed, as one line to print after the failure; null when the layers below
// have nothing to add.
const char *modplOpenFailure(const StackContext *ctx);
int32_t modplClose(StackContext *ctx);
// 1; 0 when the link refuses the rate.
int32_t modplSetBaud(StackContext *ctx, int32_t baud);
int32_t modplGetBaud(StackContext *ctx);
// The serial line format: 5 to 8 data bits, parity 0 none, 1 odd, 2 even, 3 mark, 4 space,
// 1 or 2 stop bits. 1; 0 when the link refuses it. A socket channel ignores it.
int32_t modplSetLineFormat(StackContext *ctx, int32_t dataBits, int32_t parity, int32_t stopBits);
// A serial port checks the parity of what it reads (a byte that fails it breaks its frame):
// 1; 0 on a socket.
int32_t modplSetParityCheck(StackContext *ctx, bool on);
int32_t modplSetUnit(StackContext *ctx, int32_t unit);
// Slave: the units answered beside the one opened with, bit u of units[u / 8] for unit u; none
// after install.
void modplSetUnits(StackContext *ctx, const uint8_t units[32]);
// Modbus TCP framing (MBAP) on, or RTU framing back: 1; 0 for Modbus TCP on a serial port,
// which keeps RTU. Each open starts in RTU.
int32_t modplSetFraming(StackContext *ctx, bool modbusTcp);
// Safe on a context whose open failed.
int32_t modplGetSettings(StackContext *ctx, StackSettings *settings);
int32_t modplSetSettings(StackContext *ctx, const StackSettings *settings);
// Master: waits out the minimum time between requests, as the next send would, so that a stop
// during the pause comes before that request rather than in it. Always 1.
int32_t modplPace(StackContext *ctx);
// 1 sent; -3 not encoded or not transmitted.
int32_t modplSendRequest(StackContext *ctx, int32_t unit, ModbusMessage *message);
// Slave: the answer modplSendRequest would send, as its bytes on the wire (unit, PDU and CRC,
// or MBAP header and PDU), in frame (moddlFrameMost bytes), for a caller that sends them
// itself: their count; 0 when it does not encode or nobody is to be answered.
uint32_t modplAnswerFrame(StackContext *ctx, ModbusMessage *message, uint8_t *frame);
// Writes bytes as they stand, traced and paced as a frame: 1 gone (on a connection taken from a
// listener, what could not go at once is kept for modplFlush), 0 time-out, -1 broken or failed.
int32_t modplWrite(StackContext *ctx, const uint8_t *bytes, uint32_t length);
// Master: 1 decoded (normal or exception), 0 nothing for this station, -1 unknown function
// code, -2 PDU cut short, -4 a reply that does not answer the request sent (nothing decoded).
// Slave: 1 request accepted, 0 otherwise.
int32_t modplGetReply(StackContext *ctx, ModbusMessage *message);
// Master: 1 when the PDU answers the request last sent; 0 after a trace line that says what did
// not match.
int32_t modplAnswers(const StackContext *ctx, const uint8_t *pdu, uint32_t length);
// A PDU heard on a line this station takes no part in, decoded as a request or as a reply into
// the record as modplGetReply decodes one (a reply's values up to the count its request asked,
// which the record holds on entry): 1, 0 a write whose byte count disagrees, -1 unknown
// function code, -2 cut short.
int32_t modplDecodePdu(const uint8_t *pdu, uint32_t length, bool reply, ModbusMessage *message);
int32_t modplGetCounts(StackContext *ctx, uint32_t out[2]);
// Master: the unit last addressed. Slave: the unit of the last request taken, 0 for a broadcast.
int32_t modplGetPeerUnit(StackContext *ctx);
int32_t modplResetCounts(StackContext *ctx);
// Master: what the link's last receive came to, and how often its connection was rebuilt.
RxOutcome modplLastReceive(const StackContext *ctx);
uint32_t modplRebuildCount(const StackContext *ctx);
// A well-formed frame a master's receive dropped as not its own: another unit's, or a reply to
// an earlier Modbus TCP request. Its unit, function code and exception code (0 when it is no
// exception), and the tick it came at.
struct StrayFrame {
    uint8_t unit;
    uint8_t functionCode;
    uint8_t exceptionCode;
    uint32_t tick;
};
// Master: whether the last receive dropped such a frame, then in *out.
bool modplStrayFrame(const StackContext *ctx, StrayFrame *out);
// 1 while the channel is open and usable; 0 once an accepted connection has closed, or while a
// lost device or connection waits to be opened again.
int32_t modplIsOpen(StackContext *ctx);
// Bytes received and not yet taken as a frame (a slave's next requests).
int32_t modplPending(StackContext *ctx);

// A TCP server of many masters: one listening socket for the caller's whole run, a stack
// context per master, one wait over all of them.
struct ModplListener {
    LinkListener link;
};
// 1 listening on the port of a "/port" text, or of an "@address/port" text on that address
// only; 0 otherwise.
int32_t modplListen(ModplListener *listener, const char *portText);
// Whether the text is a dotted IPv4 address.
bool modplIsAddress(const char *text);
// The port text of a server ("/port") that listens on the address only, "@address/port", in
// out; any other text, or a null address, as it stands. False when out is too small.
bool modplServerText(char *out, uint32_t size, const char *portText, const char *address);
// Sends what a connection taken from a listener kept of its last answer, which went out only in
// part: 1 nothing is kept (serve it on), 0 some still waits for the master to read, -1 the
// connection broke and was closed.
int32_t modplFlush(StackContext *ctx);
// Takes a master waiting on the listener into an installed context, as modplOpen opens one:
// 1, or 0 when none is waiting.
int32_t modplAccept(ModplListener *listener, StackContext *ctx, int32_t unit);
// Waits at most timeoutMs for a master to connect (ready[0]) or for connection i to have
// something to read or to close (ready[1 + i]); n at most moddlWaitMost. 1 something is
// ready, 0 nothing came, -1 stopped or failed.
int32_t modplWait(ModplListener *listener, StackContext *const *conns, uint32_t n,
                  uint32_t timeoutMs, uint8_t *ready);
void modplUnlisten(ModplListener *listener);
