// Functions 7, 8, 22, 23 and 24 and the raw PDU. Answers are read field by field from a frame
// buffer and must end where their byte counts say: a byte short or over is a bad answer, not
// data.
#include "stack/al/extra.h"

#include "stack/al/fb.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t pduSize = 256;
constexpr uint16_t subEcho = 0, subClear = 10, subFirstCount = 11, subLastCount = 14;

int32_t send(StackContext *ctx, int32_t unit, const uint8_t *pdu, uint32_t length) {
    const PduRecord record{uint16_t(length), const_cast<uint8_t *>(pdu)};
    ctx->link.lengthCount = 0; // the character gap ends the answer
    if (ctx->alRole == modplMaster)
        answerKeep(&ctx->asked, pdu, length);
    if (moddlSend(&ctx->link, uint8_t(unit), &record) != 1)
        return -3;
    ++ctx->alCounts[1];
    if (ctx->alRole != modplMaster && (pdu[0] & 0x80u))
        ++ctx->busCounts[2];
    return 1;
}

int32_t decodeWords(FrameBuffer *fb, uint32_t n, ExtraReply *out) {
    if (n > sizeof out->values / sizeof out->values[0] || fbRemaining(fb) != 2 * n)
        return -2;
    for (uint32_t i = 0; i < n; ++i)
        fbGetWord(fb, &out->values[i]);
    out->count = uint16_t(n);
    return 1;
}

// A diagnostics request's answer, or its exception code.
uint8_t diagnosticsAnswer(StackContext *ctx, const uint8_t *pdu, uint32_t length,
                          FrameBuffer *out) {
    const uint16_t sub = uint16_t(pdu[1] << 8 | pdu[2]);
    if (sub == subEcho) {
        fbPutBytes(out, length, pdu);
        return 0;
    }
    if (sub < subClear || sub > subLastCount)
        return 1;
    if (length != 5 || pdu[3] != 0 || pdu[4] != 0)
        return 3;
    fbPutBytes(out, 3, pdu);
    if (sub == subClear) {
        std::memset(ctx->busCounts, 0, sizeof ctx->busCounts);
        fbPutWord(out, 0);
    } else {
        fbPutWord(out, ctx->busCounts[sub - subFirstCount]);
    }
    return 0;
}

// A read/write request's answer, or its exception code: the write first, then the read.
uint8_t readWriteAnswer(uint16_t *registers, FrameBuffer *in, FrameBuffer *out, ModbusMessage *m) {
    uint16_t read = 0, writeAt = 0, writes = 0;
    uint8_t bytes = 0;
    fbGetWord(in, &m->offset);
    fbGetWord(in, &read);
    fbGetWord(in, &writeAt);
    fbGetWord(in, &writes);
    fbGetByte(in, &bytes);
    m->count = int16_t(read);
    if (read < 1 || read > extraReadMost || writes < 1 || writes > extraWriteMost ||
        bytes != 2 * writes || fbRemaining(in) != bytes)
        return 3;
    if (uint32_t(m->offset) + read > 65536 || uint32_t(writeAt) + writes > 65536)
        return 2;
    for (uint32_t i = 0; i < writes; ++i)
        fbGetWord(in, &registers[writeAt + i]);
    fbPutByte(out, extraFcReadWrite);
    fbPutByte(out, uint8_t(2 * read));
    for (uint32_t i = 0; i < read; ++i)
        fbPutWord(out, registers[m->offset + i]);
    return 0;
}

} // namespace

uint32_t extraEncode(const ExtraRequest *r, uint8_t *pdu, uint32_t size) {
    FrameBuffer fb;
    fbInit(&fb, size < extraPduMost ? size : extraPduMost, pdu);
    bool ok = fbPutByte(&fb, r->function);
    switch (r->function) {
    case extraFcStatus:
        break;
    case extraFcDiagnostics:
        ok = ok && fbPutWord(&fb, r->subfunction);
        for (uint32_t i = 0; i < r->wordCount && ok; ++i)
            ok = fbPutWord(&fb, r->words[i]);
        break;
    case extraFcMaskWrite:
        ok = ok && r->wordCount == 2 && fbPutWord(&fb, r->address) && fbPutWord(&fb, r->words[0]) &&
             fbPutWord(&fb, r->words[1]);
        break;
    case extraFcReadWrite:
        ok = ok && r->count >= 1 && r->count <= extraReadMost && r->wordCount >= 1 &&
             r->wordCount <= extraWriteMost && fbPutWord(&fb, r->address) &&
             fbPutWord(&fb, r->count) && fbPutWord(&fb, r->writeAddress) &&
             fbPutWord(&fb, r->wordCount) && fbPutByte(&fb, uint8_t(2 * r->wordCount));
        for (uint32_t i = 0; i < r->wordCount && ok; ++i)
            ok = fbPutWord(&fb, r->words[i]);
        break;
    case extraFcFifo:
        ok = ok && fbPutWord(&fb, r->address);
        break;
    default:
        ok = false;
    }
    return ok ? fbPosition(&fb) : 0;
}

uint32_t extraParseHex(const char *text, uint8_t *pdu, uint32_t size) {
    uint32_t n = 0;
    for (const char *at = text; *at != '\0';) {
        if (*at == ' ') {
            ++at;
            continue;
        }
        if (!isxdigit(static_cast<unsigned char>(at[0])) ||
            !isxdigit(static_cast<unsigned char>(at[1])) || n == size || n == extraPduMost)
            return 0;
        const char digits[3] = {at[0], at[1], '\0'};
        pdu[n++] = uint8_t(strtoul(digits, nullptr, 16));
        at += 2;
    }
    return n;
}

int32_t extraDecode(const uint8_t *pdu, uint32_t length, ExtraReply *out) {
    FrameBuffer fb;
    fbInit(&fb, length, const_cast<uint8_t *>(pdu));
    out->count = 0;
    if (!fbGetByte(&fb, &out->function))
        return -2;
    if (out->function & 0x80u)
        return fbGetByte(&fb, &out->exception) && fbAtEnd(&fb) ? 2 : -2;
    uint8_t byte = 0;
    uint16_t bytes = 0, fifo = 0;
    switch (out->function) {
    case extraFcStatus:
        if (!fbGetByte(&fb, &byte) || !fbAtEnd(&fb))
            return -2;
        out->values[0] = byte;
        out->count = 1;
        return 1;
    case extraFcDiagnostics:
        if (!fbGetWord(&fb, &out->subfunction) || fbRemaining(&fb) % 2 != 0)
            return -2;
        return decodeWords(&fb, fbRemaining(&fb) / 2, out);
    case extraFcMaskWrite:
        return fbGetWord(&fb, &out->address) ? decodeWords(&fb, 2, out) : -2;
    case extraFcReadWrite:
        if (!fbGetByte(&fb, &byte) || byte % 2 != 0)
            return -2;
        return decodeWords(&fb, byte / 2u, out);
    case extraFcFifo:
        if (!fbGetWord(&fb, &bytes) || !fbGetWord(&fb, &fifo) || fifo > extraFifoMost ||
            bytes != 2u + 2u * fifo)
            return -2;
        return decodeWords(&fb, fifo, out);
    default:
        return 1;
    }
}

int32_t extraAsk(StackContext *ctx, int32_t unit, const uint8_t *pdu, uint32_t length,
                 ExtraTake take, ExtraReply *out) {
    out->length = 0;
    if (length == 0 || length > extraPduMost || send(ctx, unit, pdu, length) != 1)
        return -3;
    if (take == ExtraTake::Broadcast)
        return 3;
    PduRecord record{uint16_t(pduSize), out->pdu};
    if (moddlReceive(&ctx->link, &record) != 1)
        return 0;
    ++ctx->alCounts[0];
    out->length = record.length;
    if (record.length == 0)
        return -2;
    if (modplAnswers(ctx, out->pdu, record.length) != 1)
        return -4;
    if (take == ExtraTake::Decoded)
        return extraDecode(out->pdu, record.length, out);
    out->function = out->pdu[0];
    out->exception = record.length > 1 ? out->pdu[1] : 0;
    return (out->function & 0x80u) && record.length == 2 ? 2 : 1;
}

void extraServeFrom(StackContext *ctx, uint16_t *registers, const uint8_t *status) {
    ctx->registers = registers;
    ctx->status = status;
}

bool extraServes(uint8_t function) {
    return function == extraFcStatus || function == extraFcDiagnostics ||
           function == extraFcMaskWrite || function == extraFcReadWrite;
}

int32_t extraAnswer(StackContext *ctx, const uint8_t *pdu, uint32_t length, ModbusMessage *m,
                    uint8_t *exception) {
    const uint8_t code = pdu[0];
    const uint32_t least = code == extraFcDiagnostics ? 3
                           : code == extraFcMaskWrite ? 7
                           : code == extraFcReadWrite ? 10
                                                      : 1;
    m->offset = 0;
    m->count = 0;
    if (length < least || length > extraPduMost)
        return 0;
    uint8_t answer[pduSize];
    FrameBuffer in, out;
    fbInit(&in, length, const_cast<uint8_t *>(pdu));
    fbSkip(&in, 1);
    fbInit(&out, extraPduMost, answer);
    uint16_t *registers = ctx->registers;
    // A write's broadcast is applied: the log tells it so.
    const bool write = code == extraFcMaskWrite || code == extraFcReadWrite;
    m->flags = (m->flags & ~msgflag::kindMask) | (write ? msgflag::kindWrite : msgflag::kindRead);
    *exception = 1;
    if (code == extraFcStatus && ctx->status) {
        fbPutByte(&out, code);
        fbPutByte(&out, *ctx->status);
        *exception = 0;
    } else if (code == extraFcDiagnostics) {
        *exception = diagnosticsAnswer(ctx, pdu, length, &out);
    } else if (code == extraFcMaskWrite && registers) {
        uint16_t andMask = 0, orMask = 0;
        fbGetWord(&in, &m->offset);
        fbGetWord(&in, &andMask);
        fbGetWord(&in, &orMask);
        m->count = 1;
        uint16_t &r = registers[m->offset];
        r = uint16_t((r & andMask) | (orMask & ~andMask));
        fbPutBytes(&out, 7, pdu);
        *exception = 0;
    } else if (code == extraFcReadWrite && registers) {
        *exception = readWriteAnswer(registers, &in, &out, m);
    }
    if (*exception != 0) {
        fbInit(&out, extraPduMost, answer);
        fbPutByte(&out, uint8_t(code | 0x80u));
        fbPutByte(&out, *exception);
    }
    send(ctx, 0, answer, fbPosition(&out));
    return 1;
}

void extraCountReceive(StackContext *ctx, RxOutcome outcome) {
    if (outcome == RxOutcome::Frame || outcome == RxOutcome::Foreign ||
        outcome == RxOutcome::BadFrame)
        ++ctx->busCounts[0];
    if (outcome == RxOutcome::BadFrame)
        ++ctx->busCounts[1];
    if (outcome == RxOutcome::Frame)
        ++ctx->busCounts[3];
}
