// Response and request decoding: receives one PDU through the link layer into a 256-byte
// array local to the call and decodes it in place into the caller's record. Nothing is stored
// past the record's capacity. As master, nothing is decoded from a reply that does not answer
// the request last sent (answer.h). As slave, a request that cannot be served is answered with an
// exception as devices answer it: 1 for a function code not served, 3 for a quantity outside
// the type limits (and the write limits of an RTU frame) or a byte count that disagrees.
#include "stack/al/modpl.h"

#include "stack/al/extra.h"
#include "stack/al/fb.h"
#include "stack/al/ident.h"
#include "stack/trace/trace.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr uint32_t pduSize = 256;
// The most that one write request may carry: what a 256-byte RTU frame holds.
constexpr int32_t maxWriteCoils = 1968;
constexpr int32_t maxWriteRegisters = 123;

bool isSet(const ModbusMessage *m, uint32_t bit) {
    return (m->flags & bit) != 0;
}
void setFlag(ModbusMessage *m, uint32_t bit, bool on) {
    m->flags = on ? (m->flags | bit) : (m->flags & ~bit);
}
void setKind(ModbusMessage *m, uint32_t kind) {
    m->flags = (m->flags & ~msgflag::kindMask) | kind;
}

// Packed bits or registers into values; count becomes the number stored. 1, or -2 when the
// PDU runs out first.
int32_t getData(FrameBuffer *fb, ModbusMessage *m) {
    if (!isSet(m, msgflag::wordData)) {
        uint8_t n = 0;
        if (!fbGetByte(fb, &n))
            return -2;
        int32_t wanted = m->count < 0 ? 0 : m->count;
        if (wanted > m->capacity)
            wanted = m->capacity;
        int32_t stored = 0;
        for (int32_t b = 0; b < n; ++b) {
            uint8_t packed = 0;
            if (!fbGetByte(fb, &packed))
                return -2;
            for (int32_t bit = 0; bit < 8 && stored < wanted; ++bit)
                m->values[stored++] = int16_t((packed >> bit) & 1u);
        }
        m->count = int16_t(stored);
        return 1;
    }
    uint8_t n = 2;
    if (!isSet(m, msgflag::single) && !fbGetByte(fb, &n))
        return -2;
    int32_t stored = 0;
    // An odd byte count wraps past 0 and reads on until the PDU ends.
    while (n != 0) {
        uint16_t word = 0;
        if (!fbGetWord(fb, &word)) {
            m->count = int16_t(stored);
            return -2;
        }
        if (stored < m->capacity)
            m->values[stored++] = int16_t(word);
        n = uint8_t(n - 2);
    }
    m->count = int16_t(stored);
    return 1;
}

// What each supported function code means for the record. Its data is packed bits for the
// coil and input reads (in the response) and for Write Multiple Coils (in the request).
struct FunctionShape {
    uint8_t code;
    uint32_t kind;
    uint16_t refType;
    bool single;
    bool bitData;
};

constexpr FunctionShape functionShapes[] = {
    {1, msgflag::kindRead, 0, false, true},   {2, msgflag::kindRead, 1, false, true},
    {3, msgflag::kindRead, 4, false, false},  {4, msgflag::kindRead, 3, false, false},
    {5, msgflag::kindWrite, 0, true, false},  {6, msgflag::kindWrite, 4, true, false},
    {15, msgflag::kindWrite, 0, false, true}, {16, msgflag::kindWrite, 4, false, false},
};

// Sets kind, refType, single and wordData from the function code; false for an unknown one.
// A response carries the data of a read, a request the data of a write.
bool applyShape(ModbusMessage *m, bool response) {
    for (const FunctionShape &shape : functionShapes) {
        if (shape.code != m->functionCode)
            continue;
        setKind(m, shape.kind);
        m->refType = shape.refType;
        setFlag(m, msgflag::single, shape.single);
        const bool carried =
            response ? shape.kind == msgflag::kindRead : shape.kind == msgflag::kindWrite;
        setFlag(m, msgflag::wordData, !(shape.bitData && carried));
        return true;
    }
    return false;
}

// The start address, then the quantity unless single (count 1). 1, or -2 when cut short.
int32_t getAddressAndCount(FrameBuffer *fb, ModbusMessage *m) {
    if (!fbGetWord(fb, &m->offset))
        return -2;
    if (isSet(m, msgflag::single)) {
        m->count = 1;
        return 1;
    }
    uint16_t quantity = 0;
    if (!fbGetWord(fb, &quantity))
        return -2;
    m->count = int16_t(quantity);
    return 1;
}

int32_t decodeResponse(FrameBuffer *fb, ModbusMessage *m) {
    setFlag(m, msgflag::wordData, true);
    setFlag(m, msgflag::single, false);
    if (m->functionCode & 0x80u) {
        uint8_t code = 0;
        if (fbGetByte(fb, &code))
            m->refType = uint16_t((m->refType & 0xFF00u) | code);
        return 1;
    }
    if (!applyShape(m, true))
        return -1;
    const bool read = (m->flags & msgflag::kindMask) == msgflag::kindRead;
    if (!read && getAddressAndCount(fb, m) != 1)
        return -2;
    if (m->functionCode <= 6)
        return getData(fb, m);
    return 1;
}

// 1 whole and consistent, 0 a write whose byte count disagrees with its quantity or with the
// bytes that follow, -1 unknown function code, -2 cut short before the data. count stays the
// quantity asked.
int32_t decodeRequest(FrameBuffer *fb, ModbusMessage *m) {
    setFlag(m, msgflag::single, false);
    setFlag(m, msgflag::wordData, true);
    if (!applyShape(m, false))
        return -1;
    if (getAddressAndCount(fb, m) != 1)
        return -2;
    if ((m->flags & msgflag::kindMask) != msgflag::kindWrite)
        return 1;
    if (isSet(m, msgflag::single))
        return getData(fb, m) == 1 ? 1 : -2;
    if (fbRemaining(fb) == 0)
        return -2;
    const int16_t quantity = m->count;
    const int32_t byteCount = fbCurrent(fb)[0];
    const int32_t wanted = isSet(m, msgflag::wordData) ? 2 * quantity : (quantity + 7) / 8;
    if (quantity < 1 || byteCount != wanted || fbRemaining(fb) - 1 < uint32_t(byteCount))
        return 0;
    getData(fb, m);
    m->count = quantity;
    return 1;
}

// The most a request of this function code may ask for.
int32_t quantityLimit(const StackContext *ctx, const ModbusMessage *m) {
    const int32_t limit = ctx->typeLimits[m->refType].maxCount;
    if (m->functionCode == 15)
        return limit < maxWriteCoils ? limit : maxWriteCoils;
    if (m->functionCode == 16)
        return limit < maxWriteRegisters ? limit : maxWriteRegisters;
    return limit;
}

// Slave: 1 the request may be served; 0 otherwise, with an exception sent for a request this
// station refuses. The record keeps the function code asked; isResponse tells that an
// exception went out, with its code in the low byte of refType.
int32_t checkRequest(StackContext *ctx, ModbusMessage *m, int32_t decoded) {
    // A request cut short is not a request to serve or to answer.
    if (decoded == -2)
        return 0;
    uint8_t exception = 1;
    if (decoded == 0) {
        exception = 3;
    } else if (decoded == 1 && m->refType < 5 && ctx->typeLimits[m->refType].enabled) {
        if (m->count >= 1 && m->count <= quantityLimit(ctx, m))
            return 1;
        exception = 3;
    }
    const uint8_t asked = m->functionCode;
    m->functionCode = uint8_t(asked | 0x80u);
    m->refType = uint16_t((m->refType & 0xFF00u) | exception);
    modplSendRequest(ctx, 0, m);
    m->functionCode = asked;
    return 0;
}

// A request's length by its function code, so that a slave's serial read ends on it: the reads
// and single writes are 8 bytes, the multiple writes 9 and their byte count. Other requests end
// on the character gap.
constexpr LinkLength requestLengths[] = {{1, 0, 8}, {2, 0, 8}, {3, 0, 8},  {4, 0, 8},
                                         {5, 0, 8}, {6, 0, 8}, {15, 6, 9}, {16, 6, 9}};
static_assert(std::size(requestLengths) <= moddlMostLengths);

} // namespace

int32_t modplAnswers(const StackContext *ctx, const uint8_t *pdu, uint32_t length) {
    AnswerMismatch mismatch{};
    if (answerCheck(&ctx->asked, pdu, length, &mismatch) == 1)
        return 1;
    char text[64];
    answerText(&mismatch, text, sizeof text);
    tracePrintf("\n\rReply does not answer the request: %s", text);
    return 0;
}

int32_t modplGetReply(StackContext *ctx, ModbusMessage *message) {
    uint8_t pdu[pduSize];
    PduRecord record{uint16_t(pduSize), pdu};
    if (ctx->alRole != modplMaster) {
        std::copy(std::begin(requestLengths), std::end(requestLengths), ctx->link.lengths);
        ctx->link.lengthCount = uint8_t(std::size(requestLengths));
    }
    const int32_t received = moddlReceive(&ctx->link, &record);
    if (ctx->alRole != modplMaster)
        extraCountReceive(ctx, ctx->link.lastRx);
    if (received != 1)
        return 0;
    ctx->alCounts[0] += 1;

    const bool master = ctx->alRole == modplMaster;
    setFlag(message, msgflag::isResponse, master);

    FrameBuffer fb;
    fbInit(&fb, record.length > pduSize ? pduSize : record.length, pdu);
    if (!fbGetByte(&fb, &message->functionCode))
        return -2;
    if (master)
        return modplAnswers(ctx, pdu, fbLimit(&fb)) == 1 ? decodeResponse(&fb, message) : -4;
    const uint8_t code = message->functionCode;
    if (code == identFcServerId || code == identFcDevice || extraServes(code)) {
        uint8_t exception = 0;
        const bool answered =
            (extraServes(code) ? extraAnswer(ctx, pdu, fbLimit(&fb), message, &exception)
                               : identAnswer(ctx, pdu, fbLimit(&fb), &exception)) == 1;
        setFlag(message, msgflag::isResponse, answered);
        message->refType = exception;
        return 0;
    }
    return checkRequest(ctx, message, decodeRequest(&fb, message));
}

int32_t modplDecodePdu(const uint8_t *pdu, uint32_t length, bool reply, ModbusMessage *message) {
    FrameBuffer fb;
    fbInit(&fb, length, const_cast<uint8_t *>(pdu));
    if (!fbGetByte(&fb, &message->functionCode))
        return -2;
    setFlag(message, msgflag::isResponse, reply);
    return reply ? decodeResponse(&fb, message) : decodeRequest(&fb, message);
}
