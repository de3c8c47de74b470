// Whether a reply answers the request it came to. The master keeps each request it sends and
// checks the reply's PDU against it before anything is decoded from it: the function code or
// its exception form (the request's with bit 7 set), a read's byte count against the quantity
// asked, a write's echo of its address and quantity or value (a mask write's of its masks), an
// identification's MEI type, a diagnostic's subfunction and, where it echoes, its data. Reads
// the two PDUs within their lengths only; no I/O and no state of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// The request last sent, whole (a diagnostic echo is checked against all of it).
struct AnswerAsked {
    uint8_t length;   // 0: nothing asked, nothing to check against
    uint8_t pdu[253]; // zero past length
};

// The first field that did not match: its name, what came and what the request calls for.
struct AnswerMismatch {
    const char *field;
    uint32_t got;
    uint32_t expected;
};

void answerKeep(AnswerAsked *asked, const uint8_t *pdu, uint32_t length);

// 1 the reply answers the request, or lacks the field that would tell (a reply cut short is the
// decoder's to refuse), or nothing was asked; 0 it does not, with *mismatch filled.
int32_t answerCheck(const AnswerAsked *asked, const uint8_t *reply, uint32_t length,
                    AnswerMismatch *mismatch);

// "byte count 4, expected 6"; a function code in hex, as the front end prints it.
void answerText(const AnswerMismatch *mismatch, char *text, size_t size);
