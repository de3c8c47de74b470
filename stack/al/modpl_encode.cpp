// Request and response encoding: chooses the function code from the record's kind, reference
// type and single flag (or takes it as stored), writes the PDU into a 256-byte frame buffer
// local to the call and hands it to the link layer. A record whose data cannot be sent whole
// (byte count over one byte, negative count, count past the values array) is refused.
#include "stack/al/modpl.h"

#include "stack/al/fb.h"

namespace {

constexpr uint32_t pduSize = 256;
constexpr int32_t maxBitData = 255 * 8;  // bits a one-byte byte count can announce
constexpr int32_t maxWordData = 255 / 2; // registers a one-byte byte count can announce

uint32_t kindOf(const ModbusMessage *m) {
    return m->flags & msgflag::kindMask;
}
bool isSet(const ModbusMessage *m, uint32_t bit) {
    return (m->flags & bit) != 0;
}
void setFlag(ModbusMessage *m, uint32_t bit, bool on) {
    m->flags = on ? (m->flags | bit) : (m->flags & ~bit);
}

// The function code for kind, reference type and single; 0 when there is none.
uint8_t chooseFunctionCode(ModbusMessage *m) {
    const uint32_t kind = kindOf(m);
    if (kind == msgflag::kindRead) {
        setFlag(m, msgflag::single, false);
        switch (m->refType) {
        case 0:
            return 1;
        case 1:
            return 2;
        case 3:
            return 4;
        case 4:
            return 3;
        default:
            return 0;
        }
    }
    if (kind == msgflag::kindWrite) {
        const bool single = isSet(m, msgflag::single);
        if (m->refType == 0)
            return single ? 5 : 15;
        if (m->refType == 4)
            return single ? 6 : 16;
        return 0;
    }
    return m->functionCode;
}

// Whether the values the data part would read exist and their byte count fits one byte.
bool dataSendable(const ModbusMessage *m) {
    // Only a single register goes out as one word; coils always go by the count.
    if (isSet(m, msgflag::single) && isSet(m, msgflag::wordData))
        return m->capacity >= 1;
    if (m->count < 0 || m->count > m->capacity)
        return false;
    return m->count <= (isSet(m, msgflag::wordData) ? maxWordData : maxBitData);
}

// Byte count (unless single registers), then the packed bits or the registers.
bool putData(FrameBuffer *fb, const ModbusMessage *m) {
    if (!dataSendable(m))
        return false;
    if (!isSet(m, msgflag::wordData)) {
        const int32_t count = m->count;
        const int32_t n = (count + 7) / 8;
        bool ok = fbPutByte(fb, uint8_t(n));
        for (int32_t b = 0; b < n && ok; ++b) {
            uint8_t packed = 0;
            for (int32_t bit = 0; bit < 8 && b * 8 + bit < count; ++bit)
                if (m->values[b * 8 + bit] != 0)
                    packed = uint8_t(packed | (1u << bit));
            ok = fbPutByte(fb, packed);
        }
        return ok;
    }
    int32_t words = 1;
    bool ok = true;
    if (!isSet(m, msgflag::single)) {
        words = m->count;
        ok = fbPutByte(fb, uint8_t(words * 2));
    }
    for (int32_t i = 0; i < words && ok; ++i)
        ok = fbPutWord(fb, uint16_t(m->values[i]));
    return ok;
}

int32_t encodeRequest(FrameBuffer *fb, ModbusMessage *m) {
    const uint8_t code = chooseFunctionCode(m);
    if (code == 0 && kindOf(m) <= msgflag::kindWrite)
        return -3;
    m->functionCode = code;
    bool ok = fbPutByte(fb, code);
    setFlag(m, msgflag::wordData, true);
    switch (code) {
    case 1:
    case 2:
    case 3:
    case 4:
        ok = ok && fbPutWord(fb, m->offset);
        if (!isSet(m, msgflag::single))
            ok = ok && fbPutWord(fb, uint16_t(m->count));
        return ok ? 1 : -3;
    case 5:
        if (m->capacity < 1)
            return -3;
        // A coil goes on the wire as FF00 (on) or 0000 (off).
        m->values[0] = m->values[0] != 0 ? int16_t(0xFF00) : int16_t(0);
        break;
    case 6:
        break;
    case 15:
        setFlag(m, msgflag::wordData, false);
        break;
    case 16:
        break;
    default:
        return -3;
    }
    ok = ok && fbPutWord(fb, m->offset);
    if (!isSet(m, msgflag::single))
        ok = ok && fbPutWord(fb, uint16_t(m->count));
    ok = ok && putData(fb, m);
    return ok ? 1 : -3;
}

int32_t encodeResponse(FrameBuffer *fb, ModbusMessage *m) {
    bool ok = fbPutByte(fb, m->functionCode);
    setFlag(m, msgflag::wordData, true);
    if (m->functionCode & 0x80u)
        return (ok && fbPutByte(fb, uint8_t(m->refType))) ? 1 : -3;
    switch (m->functionCode) {
    case 1:
    case 2:
        setFlag(m, msgflag::wordData, false);
        [[fallthrough]];
    case 3:
    case 4:
        setFlag(m, msgflag::single, false);
        ok = ok && putData(fb, m);
        break;
    case 5:
    case 6:
        // The one word goes back as stored, also for a coil.
        setFlag(m, msgflag::single, true);
        ok = ok && fbPutWord(fb, m->offset) && putData(fb, m);
        break;
    case 15:
    case 16:
        setFlag(m, msgflag::single, false);
        ok = ok && fbPutWord(fb, m->offset) && fbPutWord(fb, uint16_t(m->count));
        break;
    default:
        return -3;
    }
    return ok ? 1 : -3;
}

// The reply a request calls for, so that a serial read ends on its length: a read's byte count
// and data, or a write's echo of address and quantity. An exception, and the reply to any
// other request, end on the character gap.
void expectReply(LinkContext *link, const uint8_t *pdu, uint32_t length) {
    const uint8_t code = pdu[0];
    const uint32_t n = length == 5 ? uint32_t(pdu[3] << 8 | pdu[4]) : 0;
    uint32_t reply = code == 5 || code == 6 || code == 15 || code == 16 ? 8 : 0;
    if ((code == 1 || code == 2) && length == 5)
        reply = 5 + (n + 7) / 8;
    if ((code == 3 || code == 4) && length == 5)
        reply = 5 + 2 * n;
    link->lengths[0] = LinkLength{code, 0, uint16_t(reply)};
    link->lengthCount = reply > 0 && reply <= moddlMaxFrame ? 1 : 0;
}

} // namespace

int32_t modplSendRequest(StackContext *ctx, int32_t unit, ModbusMessage *message) {
    uint8_t pdu[pduSize];
    FrameBuffer fb;
    fbInit(&fb, pduSize, pdu);

    const bool response = ctx->alRole != modplMaster;
    setFlag(message, msgflag::isResponse, response);
    const int32_t encoded = response ? encodeResponse(&fb, message) : encodeRequest(&fb, message);
    if (encoded != 1)
        return -3;

    const PduRecord record{uint16_t(fbPosition(&fb)), pdu};
    if (!response) {
        expectReply(&ctx->link, pdu, record.length);
        answerKeep(&ctx->asked, pdu, record.length);
    }
    if (moddlSend(&ctx->link, uint8_t(unit), &record) != 1)
        return -3;
    ++ctx->alCounts[1];
    if (response && (message->functionCode & 0x80u))
        ++ctx->busCounts[2];
    return 1;
}

uint32_t modplAnswerFrame(StackContext *ctx, ModbusMessage *message, uint8_t *frame) {
    uint8_t pdu[pduSize];
    FrameBuffer fb;
    fbInit(&fb, pduSize, pdu);
    if (ctx->alRole == modplMaster)
        return 0;
    setFlag(message, msgflag::isResponse, true);
    if (encodeResponse(&fb, message) != 1)
        return 0;
    const PduRecord record{uint16_t(fbPosition(&fb)), pdu};
    return moddlAnswerBytes(&ctx->link, &record, frame);
}

int32_t modplWrite(StackContext *ctx, const uint8_t *bytes, uint32_t length) {
    const int32_t result = moddlWrite(&ctx->link, bytes, length);
    return result == 0 ? 1 : result == 1 ? 0 : -1;
}
