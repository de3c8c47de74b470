// Device identity: Report Server ID (function 17) and Read Device Identification (function 43,
// MEI type 14). As master it asks a unit and decodes the answers, following a device's "more
// follows" chain for at most identMostRequests requests; as slave it answers both from the
// identity the front end gave the context. Works in PDU arrays local to each call, calls the
// link layer only, and stores nothing past the records' fixed arrays.
#pragma once

#include "stack/al/modpl.h"

#include <cstdint>

constexpr uint8_t identFcServerId = 17;
constexpr uint8_t identFcDevice = 43;
constexpr uint8_t identMeiDevice = 14;
constexpr uint32_t identObjects = 7;      // basic 0-2 and regular 3-6
constexpr uint32_t identValueMost = 245;  // the most one object carries in a 253-byte PDU
constexpr uint32_t identMostRequests = 8; // of one "more follows" chain
constexpr uint32_t identExtraMost = 16;   // objects 7 and up kept, in the order they came

// A Report Server ID answer as it came: server id, run indicator, additional data.
struct IdentServerId {
    uint8_t length;
    uint8_t data[251];
};

// How a master's question ended short of the whole identity, what came being kept: a
// continuation unanswered, refused or malformed, or "more follows" still after the last request.
enum class IdentCut : uint8_t { None, Unanswered, Refused, Malformed, TooLong };

// Objects 0 to 6 of a device, bit i of present: object i came; then the objects from 7 on
// (reserved, and private from 0x80), as many as identExtraMost.
struct IdentDevice {
    uint8_t conformity;
    uint8_t present;
    uint8_t length[identObjects];
    uint8_t value[identObjects][identValueMost];
    uint8_t extraCount;
    uint8_t extraId[identExtraMost];
    uint8_t extraLength[identExtraMost];
    uint8_t extraValue[identExtraMost][identValueMost];
    IdentCut cut;
};

// Results of the master's questions: 1 answered, 2 an exception (its code in *exception), 0 no
// answer (time-out, bad frame, another unit), -2 an answer cut short or inconsistent, or one that
// does not answer the question (answer.h), -3 not sent.
int32_t identAskServerId(StackContext *ctx, int32_t unit, IdentServerId *out, uint8_t *exception);
// Asks the regular stream from object 0, or the basic one when the device refuses the regular
// one with exception 2 or 3, and follows "more follows"; then the extended stream when the
// conformity level says there is one. out holds what came; once something came, a chain that
// ends short is still 1, with out->cut saying how (the exception code in *exception).
int32_t identAskDevice(StackContext *ctx, int32_t unit, IdentDevice *out, uint8_t *exception);

// Decoders of one answer PDU (function code first): 1, 2 with *exception, or -2.
int32_t identDecodeServerId(const uint8_t *pdu, uint32_t length, IdentServerId *out,
                            uint8_t *exception);
// Adds the objects of one answer to out; *more and *next tell whether and where it goes on.
int32_t identDecodeDevice(const uint8_t *pdu, uint32_t length, IdentDevice *out, uint8_t *exception,
                          bool *more, uint8_t *next);

// Object name by id ("VendorName", ...), "Object" past 6.
const char *identObjectName(uint32_t id);

// Slave: the identity answered from now on (nullptr: functions 17 and 43 get exception 1). The
// record must outlive the context's use.
void identServeFrom(StackContext *ctx, const IdentDevice *identity);
// Slave: answers the request PDU of function 17 or 43 (function code first) for the unit it
// came to. 1 an answer went out or was due (a broadcast gets none), with *exception its
// exception code or 0; 0 a request cut short, not answered.
int32_t identAnswer(StackContext *ctx, const uint8_t *pdu, uint32_t length, uint8_t *exception);
