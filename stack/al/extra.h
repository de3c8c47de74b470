// The functions past the reads and writes: Read Exception Status (7), Diagnostics (8), Mask
// Write Register (22), Read/Write Multiple Registers (23), Read FIFO Queue (24), and any PDU as
// the caller typed it. As master it encodes a request, sends it, checks that the answer answers
// it (answer.h) and decodes it; as slave it answers 7, 8, 22 and 23 from what the front end
// gave the context and keeps the bus counters that function 8 reports. Works in PDU arrays
// local to each call and calls the link layer only.
#pragma once

#include "stack/al/modpl.h"

#include <cstdint>

constexpr uint8_t extraFcStatus = 7;
constexpr uint8_t extraFcDiagnostics = 8;
constexpr uint8_t extraFcMaskWrite = 22;
constexpr uint8_t extraFcReadWrite = 23;
constexpr uint8_t extraFcFifo = 24;
constexpr uint32_t extraPduMost = 253; // what an RTU frame carries
constexpr uint32_t extraReadMost = 125;
constexpr uint32_t extraWriteMost = 121; // registers function 23 writes in one request
constexpr uint32_t extraFifoMost = 31;

// What the front end asks: address is 22's register, 23's read start or 24's FIFO pointer;
// words are 8's data, 22's AND and OR masks or 23's registers written.
struct ExtraRequest {
    uint8_t function;
    uint16_t address;
    uint16_t count; // 23: registers read
    uint16_t subfunction;
    uint16_t writeAddress; // 23
    const uint16_t *words;
    uint16_t wordCount;
};

// An answer as it came (pdu, length) and decoded: values are 7's status byte, 8's data, 22's
// AND and OR masks, 23's registers read or 24's FIFO, count of them.
struct ExtraReply {
    uint8_t function;
    uint8_t exception;
    uint16_t address;
    uint16_t subfunction;
    uint16_t count;
    uint16_t values[127];
    uint16_t length;
    uint8_t pdu[256];
};

// The request PDU (function code first) into pdu: its length; 0 for a function not of these
// or data that does not fit one request.
uint32_t extraEncode(const ExtraRequest *request, uint8_t *pdu, uint32_t size);
// Hex digits, two to a byte, blanks between bytes or none, into pdu: the length; 0 for an odd
// digit, anything else, nothing or more than extraPduMost bytes.
uint32_t extraParseHex(const char *text, uint8_t *pdu, uint32_t size);
// Decodes an answer PDU (function code first) of these functions into out; any other function
// is kept only as it came. 1 an answer, 2 an exception (out->exception), -2 cut short or
// inconsistent.
int32_t extraDecode(const uint8_t *pdu, uint32_t length, ExtraReply *out);
// How an answer is taken: decoded, kept as it came (only an exception read from it), or not
// awaited (a broadcast).
enum class ExtraTake : uint8_t { Decoded, Raw, Broadcast };
// Master: sends the PDU as it stands and takes the answer: extraDecode's results, 3 a
// broadcast sent, 0 no answer (time-out, bad frame, another unit), -4 a reply that does not
// answer the request, -3 not sent.
int32_t extraAsk(StackContext *ctx, int32_t unit, const uint8_t *pdu, uint32_t length,
                 ExtraTake take, ExtraReply *out);

// Slave: 22 and 23 are served on these 65,536 holding registers, 7 answers *status; nullptr
// for either gets exception 1. They must outlive the context's use.
void extraServeFrom(StackContext *ctx, uint16_t *registers, const uint8_t *status);
bool extraServes(uint8_t function);
// Slave: answers the request PDU of 7, 8, 22 or 23 for the unit it came to. 1 an answer went
// out or was due (a broadcast gets none), with *exception its code or 0, the record's offset
// and count the registers it addressed; 0 a request cut short, not answered.
int32_t extraAnswer(StackContext *ctx, const uint8_t *pdu, uint32_t length, ModbusMessage *m,
                    uint8_t *exception);
// Slave: counts a receive that came to outcome, for the counters function 8 reports.
void extraCountReceive(StackContext *ctx, RxOutcome outcome);
