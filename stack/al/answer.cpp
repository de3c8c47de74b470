// The reply check. Fields are compared as they stand on the wire, so what the master sent is
// what the reply must echo, whatever the record held before the encoder converted it.
#include "stack/al/answer.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t fcDeviceId = 43;
constexpr uint8_t fcDiagnostics = 8, fcMaskWrite = 22, fcReadWrite = 23;

// Diagnostics subfunctions whose answer echoes the request: return query data, restart
// communications, change delimiter, clear counters, clear overrun counter.
bool echoes(uint32_t subfunction) {
    return subfunction == 0 || subfunction == 1 || subfunction == 3 || subfunction == 10 ||
           subfunction == 20;
}

uint32_t wordAt(const uint8_t *pdu, uint32_t at) {
    return uint32_t(pdu[at]) << 8 | pdu[at + 1];
}

// The reply's field of width bytes at at against expected: false, with *mismatch, when it is
// there and differs.
bool same(const uint8_t *reply, uint32_t length, uint32_t at, uint32_t width, const char *field,
          uint32_t expected, AnswerMismatch *mismatch) {
    if (length < at + width)
        return true;
    const uint32_t got = width == 1 ? reply[at] : wordAt(reply, at);
    if (got == expected)
        return true;
    *mismatch = AnswerMismatch{field, got, expected};
    return false;
}

// An echo's data: as long as the request's, byte for byte.
bool echoed(const uint8_t *reply, uint32_t length, const AnswerAsked *asked,
            AnswerMismatch *mismatch) {
    if (length != asked->length) {
        *mismatch = AnswerMismatch{"data length", length - 3u, asked->length - 3u};
        return false;
    }
    for (uint32_t i = 3; i < length; ++i)
        if (!same(reply, length, i, 1, "data byte", asked->pdu[i], mismatch))
            return false;
    return true;
}

} // namespace

void answerKeep(AnswerAsked *asked, const uint8_t *pdu, uint32_t length) {
    const uint32_t kept = length < sizeof asked->pdu ? length : sizeof asked->pdu;
    std::memset(asked->pdu, 0, sizeof asked->pdu);
    std::memcpy(asked->pdu, pdu, kept);
    asked->length = uint8_t(kept);
}

int32_t answerCheck(const AnswerAsked *asked, const uint8_t *reply, uint32_t length,
                    AnswerMismatch *mismatch) {
    if (asked->length == 0 || length == 0)
        return 1;
    const uint8_t *q = asked->pdu;
    const uint8_t code = q[0];
    // An exception answers only the function it names.
    if (reply[0] == (code | 0x80u))
        return 1;
    if (!same(reply, length, 0, 1, "function code", code, mismatch))
        return 0;
    bool answers = true;
    switch (code) {
    case 1:
    case 2:
        answers = same(reply, length, 1, 1, "byte count", (wordAt(q, 3) + 7) / 8, mismatch);
        break;
    case 3:
    case 4:
        answers = same(reply, length, 1, 1, "byte count", 2 * wordAt(q, 3), mismatch);
        break;
    case 5:
    case 6:
        answers = same(reply, length, 1, 2, "address", wordAt(q, 1), mismatch) &&
                  same(reply, length, 3, 2, "value", wordAt(q, 3), mismatch);
        break;
    case 15:
    case 16:
        answers = same(reply, length, 1, 2, "address", wordAt(q, 1), mismatch) &&
                  same(reply, length, 3, 2, "quantity", wordAt(q, 3), mismatch);
        break;
    case fcDiagnostics:
        answers = same(reply, length, 1, 2, "subfunction", wordAt(q, 1), mismatch);
        if (answers && echoes(wordAt(q, 1)) && length >= 3 && asked->length >= 3)
            answers = echoed(reply, length, asked, mismatch);
        break;
    case fcMaskWrite:
        answers = same(reply, length, 1, 2, "address", wordAt(q, 1), mismatch) &&
                  same(reply, length, 3, 2, "AND mask", wordAt(q, 3), mismatch) &&
                  same(reply, length, 5, 2, "OR mask", wordAt(q, 5), mismatch);
        break;
    case fcReadWrite:
        answers = same(reply, length, 1, 1, "byte count", 2 * wordAt(q, 3), mismatch);
        break;
    case fcDeviceId:
        answers = same(reply, length, 1, 1, "MEI type", q[1], mismatch);
        break;
    default:
        break;
    }
    return answers ? 1 : 0;
}

void answerText(const AnswerMismatch *mismatch, char *text, size_t size) {
    const bool code = std::strcmp(mismatch->field, "function code") == 0;
    std::snprintf(text, size, code ? "%s %2.2x, expected %2.2x" : "%s %u, expected %u",
                  mismatch->field, unsigned(mismatch->got), unsigned(mismatch->expected));
}
