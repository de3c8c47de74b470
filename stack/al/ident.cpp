// Identity questions and answers over the link, and their decoders. A device's answer is read
// field by field from a frame buffer, so a byte count or object length that runs past the PDU
// is caught by the buffer's own bound.
#include "stack/al/ident.h"

#include "stack/al/fb.h"

#include <cstring>

namespace {

constexpr uint32_t pduSize = 256;
constexpr uint32_t pduMost = 253; // what an RTU frame carries
constexpr uint8_t streamBasic = 1, streamRegular = 2, streamExtended = 3, oneObject = 4;

const char *const objectNames[identObjects] = {
    "VendorName",  "ProductCode", "MajorMinorRevision", "VendorUrl",
    "ProductName", "ModelName",   "UserApplicationName"};

int32_t send(StackContext *ctx, int32_t unit, const uint8_t *pdu, uint16_t length) {
    const PduRecord record{length, const_cast<uint8_t *>(pdu)};
    ctx->link.lengthCount = 0; // an answer's length follows from its objects: the gap ends it
    answerKeep(&ctx->asked, pdu, length);
    if (moddlSend(&ctx->link, uint8_t(unit), &record) != 1)
        return -3;
    ++ctx->alCounts[1];
    if (pdu[0] & 0x80u)
        ++ctx->busCounts[2];
    return 1;
}

// The answer's PDU into pdu: its length; 0 when none came from the unit, -2 when what came
// does not answer the question.
int32_t receive(StackContext *ctx, uint8_t *pdu) {
    PduRecord record{uint16_t(pduSize), pdu};
    if (moddlReceive(&ctx->link, &record) != 1)
        return 0;
    ++ctx->alCounts[0];
    return modplAnswers(ctx, pdu, record.length) == 1 ? int32_t(record.length) : -2;
}

// The exception of an answer to code: 2 with its code, -2 cut short, 0 not an exception.
int32_t exceptionOf(FrameBuffer *fb, uint8_t code, uint8_t *exception) {
    uint8_t answered = 0;
    if (!fbGetByte(fb, &answered))
        return -2;
    if (answered == (code | 0x80u))
        return fbGetByte(fb, exception) ? 2 : -2;
    return answered == code ? 0 : -2;
}

// The objects from first on in the category of code, as many as fit behind the header.
void putObjects(FrameBuffer *fb, const IdentDevice *id, uint8_t code, uint8_t first) {
    const uint32_t last = code == streamBasic ? 3 : identObjects;
    uint8_t *count = fbCurrent(fb) - 1;
    uint8_t *more = count - 2;
    for (uint32_t i = first; i < last; ++i) {
        if (!(id->present >> i & 1u))
            continue;
        if (fbRemaining(fb) < 2u + id->length[i]) {
            more[0] = 0xFF;
            more[1] = uint8_t(i);
            return;
        }
        fbPutByte(fb, uint8_t(i));
        fbPutByte(fb, id->length[i]);
        fbPutBytes(fb, id->length[i], id->value[i]);
        ++*count;
        if (code == oneObject)
            return;
    }
}

// The answer to a Read Device Identification request, or its exception code.
uint8_t deviceAnswer(FrameBuffer *in, FrameBuffer *out, const IdentDevice *id) {
    uint8_t mei = 0, code = 0, first = 0;
    fbGetByte(in, &mei);
    fbGetByte(in, &code);
    fbGetByte(in, &first);
    if (mei != identMeiDevice)
        return 1;
    if (code < streamBasic || code > oneObject)
        return 3;
    const bool known = first < identObjects && (id->present >> first & 1u);
    if (code == oneObject && !known)
        return 2;
    // A stream asked from an object the device lacks starts from the first.
    if (!known || (code == streamBasic && first > 2))
        first = 0;
    const bool regular = (id->present & 0x78u) != 0;
    const uint8_t header[] = {identFcDevice,
                              identMeiDevice,
                              code,
                              uint8_t((regular ? streamRegular : streamBasic) | 0x80u),
                              0,
                              0,
                              0};
    fbPutBytes(out, sizeof header, header);
    putObjects(out, id, code == streamExtended ? streamRegular : code, first);
    return 0;
}

} // namespace

const char *identObjectName(uint32_t id) {
    return id < identObjects ? objectNames[id] : "Object";
}

int32_t identDecodeServerId(const uint8_t *pdu, uint32_t length, IdentServerId *out,
                            uint8_t *exception) {
    FrameBuffer fb;
    fbInit(&fb, length, const_cast<uint8_t *>(pdu));
    const int32_t answered = exceptionOf(&fb, identFcServerId, exception);
    if (answered != 0)
        return answered;
    uint8_t count = 0;
    // A count short of the data is as wrong as one past it.
    if (!fbGetByte(&fb, &count) || count > sizeof out->data || !fbGetBytes(&fb, count, out->data) ||
        fbRemaining(&fb) != 0)
        return -2;
    out->length = count;
    return 1;
}

int32_t identDecodeDevice(const uint8_t *pdu, uint32_t length, IdentDevice *out, uint8_t *exception,
                          bool *more, uint8_t *next) {
    FrameBuffer fb;
    fbInit(&fb, length, const_cast<uint8_t *>(pdu));
    const int32_t answered = exceptionOf(&fb, identFcDevice, exception);
    if (answered != 0)
        return answered;
    uint8_t mei = 0, code = 0, follows = 0, count = 0;
    if (!fbGetByte(&fb, &mei) || mei != identMeiDevice || !fbGetByte(&fb, &code) ||
        !fbGetByte(&fb, &out->conformity) || !fbGetByte(&fb, &follows) || !fbGetByte(&fb, next) ||
        !fbGetByte(&fb, &count))
        return -2;
    *more = follows != 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t object = 0, size = 0;
        if (!fbGetByte(&fb, &object) || !fbGetByte(&fb, &size) || fbRemaining(&fb) < size)
            return -2;
        if (object < identObjects && size <= identValueMost) {
            fbGetBytes(&fb, size, out->value[object]);
            out->length[object] = size;
            out->present = uint8_t(out->present | 1u << object);
        } else if (object >= identObjects && out->extraCount < identExtraMost &&
                   size <= identValueMost) {
            const uint32_t k = out->extraCount++;
            out->extraId[k] = object;
            out->extraLength[k] = size;
            fbGetBytes(&fb, size, out->extraValue[k]);
        } else {
            fbSkip(&fb, size);
        }
    }
    return 1;
}

int32_t identAskServerId(StackContext *ctx, int32_t unit, IdentServerId *out, uint8_t *exception) {
    uint8_t pdu[pduSize] = {identFcServerId};
    if (send(ctx, unit, pdu, 1) != 1)
        return -3;
    const int32_t length = receive(ctx, pdu);
    return length <= 0 ? length : identDecodeServerId(pdu, uint32_t(length), out, exception);
}

int32_t identAskDevice(StackContext *ctx, int32_t unit, IdentDevice *out, uint8_t *exception) {
    std::memset(out, 0, sizeof *out);
    uint8_t code = streamRegular, first = 0;
    uint32_t asked = 0, answers = 0;
    for (;;) {
        if (asked == identMostRequests) {
            out->cut = IdentCut::TooLong;
            return 1;
        }
        uint8_t pdu[pduSize] = {identFcDevice, identMeiDevice, code, first};
        if (send(ctx, unit, pdu, 4) != 1)
            return -3;
        ++asked;
        // What does not answer the question decodes as a malformed answer would.
        const int32_t length = receive(ctx, pdu);
        bool more = false;
        const int32_t decoded =
            length <= 0 ? length
                        : identDecodeDevice(pdu, uint32_t(length), out, exception, &more, &first);
        if (decoded == 2 && code == streamRegular && answers == 0 &&
            (*exception == 2 || *exception == 3)) {
            code = streamBasic;
            continue;
        }
        // What came is kept; the rest is said to be missing.
        if (decoded != 1 && answers > 0) {
            out->cut = decoded == 0   ? IdentCut::Unanswered
                       : decoded == 2 ? IdentCut::Refused
                                      : IdentCut::Malformed;
            return 1;
        }
        if (decoded != 1)
            return decoded;
        ++answers;
        if (more)
            continue;
        // Conformity 03 or 83: the device has extended objects, from 0x80, in a stream of
        // their own.
        if (code == streamExtended || (out->conformity & 0x7Fu) != streamExtended)
            return 1;
        code = streamExtended;
        first = 0x80;
        asked = 0;
    }
}

void identServeFrom(StackContext *ctx, const IdentDevice *identity) {
    ctx->identity = identity;
}

int32_t identAnswer(StackContext *ctx, const uint8_t *pdu, uint32_t length, uint8_t *exception) {
    const uint8_t code = pdu[0];
    if (code == identFcDevice && length < 4)
        return 0;
    uint8_t answer[pduSize];
    FrameBuffer in, out;
    fbInit(&in, length, const_cast<uint8_t *>(pdu));
    fbSkip(&in, 1);
    fbInit(&out, pduMost, answer);
    const IdentDevice *id = ctx->identity;
    *exception = 1;
    if (id && code == identFcDevice) {
        *exception = deviceAnswer(&in, &out, id);
    } else if (id && code == identFcServerId) {
        // Server id (the unit asked), run indicator on, then vendor, product and revision.
        fbPutByte(&out, code);
        fbPutByte(&out, 0);
        fbPutByte(&out, ctx->link.peerUnit);
        fbPutByte(&out, 0xFF);
        for (uint32_t i = 0; i < 3; ++i) {
            if (i > 0)
                fbPutByte(&out, ' ');
            fbPutBytes(&out, id->length[i], id->value[i]);
        }
        answer[1] = uint8_t(fbPosition(&out) - 2);
        *exception = 0;
    }
    if (*exception != 0) {
        fbInit(&out, pduMost, answer);
        fbPutByte(&out, uint8_t(code | 0x80u));
        fbPutByte(&out, *exception);
    }
    send(ctx, 0, answer, uint16_t(fbPosition(&out)));
    return 1;
}
