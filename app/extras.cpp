// The answers are printed from what came on the wire only: a reply that does not answer its
// request was refused below and shows as a receive error, never as data.
#include "app/extras.h"

#include "app/guard.h"
#include "app/records.h"
#include "app/values.h"
#include "stack/al/extra.h"
#include "stack/al/reference.h"
#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <algorithm>
#include <cstdio>

namespace {

uint8_t request[extraPduMost];
uint32_t requestLength;
uint16_t askedType, askedOffset;

// Says why the request is not sent, noted first; false.
bool refused(const RunSettings *s) {
    if (!guardWrites(s))
        printf("\nRun refused: %s.", s->refusal);
    return guardRefuse(s);
}

// Every check of the request; true when it may be built as typed.
bool judged(RunSettings *s, uint16_t refType, uint16_t offset, uint16_t *writeAt) {
    const uint8_t fn = s->functionSelector;
    const int32_t values = s->valueCount;
    const bool registers = fn == 22 || fn == 23 || fn == 24;
    uint16_t writeType = 4;
    const char *start = s->writeStart ? s->writeStart : s->startreg;
    if (registers && refType != 4)
        settingsRefuse(s, "function %d addresses holding registers (4xxxxx)", fn);
    else if (fn == 22 && values != 2)
        settingsRefuse(s, "function 22 takes two values, its AND and OR masks; %d given", values);
    else if (fn == 23 && (s->registerCount < 1 || s->registerCount > int32_t(extraReadMost)))
        settingsRefuse(s, "function 23 reads 1 to %u registers", extraReadMost);
    else if (fn == 23 && (values < 1 || values > int32_t(extraWriteMost)))
        settingsRefuse(s, "function 23 writes 1 to %u registers, not %d", extraWriteMost, values);
    else if (fn == 23 && (!modplParseReference(start, &writeType, writeAt) || writeType != 4))
        settingsRefuse(s, "write start '%s' is no holding register", start);
    else if (fn == 23 && int32_t(offset) + s->registerCount > 65536)
        settingsRefuse(s, "the read runs past register 465536");
    else if (fn == 23 && int32_t(*writeAt) + values > 65536)
        settingsRefuse(s, "the values run past register 465536");
    else if (fn == 8 && values > int32_t(extraReadMost))
        settingsRefuse(s, "more data than one request carries");
    else if ((fn == selectorPdu || fn == 7 || fn == 24) && values > 0)
        settingsRefuse(s, "values have no place in this request");
    else
        return true;
    return false;
}

void printBits(uint16_t status) {
    char bits[9] = {};
    for (int i = 0; i < 8; ++i)
        bits[i] = (status >> (7 - i) & 1u) ? '1' : '0';
    printf("\nException status: %2.2x (bits 7-0: %s)", status, bits);
}

// The answer's own lines: the status, the diagnostic's data, the masks, the register lines,
// the FIFO or the PDU.
void printAnswer(const RunSettings *s, const ExtraReply *r, ModbusMessage *asRead) {
    switch (s->functionSelector) {
    case 7:
        printBits(r->values[0]);
        break;
    case 8:
        printf("\nDiagnostics subfunction %u, data:", r->subfunction);
        for (uint32_t i = 0; i < r->count; ++i)
            printf(" %4.4x", r->values[i]);
        break;
    case 22:
        printf("\nMask write: register 4%5.5u, AND mask %4.4x, OR mask %4.4x",
               uint32_t(r->address) + 1, r->values[0], r->values[1]);
        break;
    case 23:
        progressPrintf("\nModbus AL frame: startreg = 4%5.5d, #regs = %d", int32_t(askedOffset) + 1,
                       r->count);
        if (traceRegisterDump())
            valuesPrint(s, asRead);
        break;
    case 24:
        printf("\nFIFO count: %u", r->count);
        for (uint32_t i = 0; i < r->count; ++i)
            printf("\nFIFO value %u: %d", i + 1, int16_t(r->values[i]));
        break;
    default:
        printf("\nPDU received:");
        for (uint32_t i = 0; i < r->length; ++i)
            printf(" %2.2x", r->pdu[i]);
        break;
    }
}

} // namespace

bool extrasSelected(uint8_t selector) {
    return selector == 7 || selector == 8 || selector == 22 || selector == 23 || selector == 24 ||
           selector == selectorPdu;
}

bool extrasPrepare(RunSettings *s, uint16_t refType, uint16_t offset) {
    uint16_t writeAt = 0;
    if (!judged(s, refType, offset, &writeAt))
        return refused(s);
    askedType = refType;
    askedOffset = offset;
    if (s->functionSelector == selectorPdu) {
        requestLength = s->pduLength;
        std::copy(s->pdu, s->pdu + s->pduLength, request);
        return true;
    }
    // A subfunction without data carries the word 0000.
    static const uint16_t none[1] = {0};
    const bool data = s->valueCount > 0;
    const ExtraRequest asked{s->functionSelector,
                             offset,
                             uint16_t(s->registerCount),
                             s->subfunction,
                             writeAt,
                             data ? reinterpret_cast<const uint16_t *>(s->values) : none,
                             uint16_t(data ? s->valueCount : 1)};
    requestLength = extraEncode(&asked, request, sizeof request);
    return requestLength > 0;
}

void extrasExchange(const RunSettings *s, StackContext *ctx, RunStats *stats, uint32_t number,
                    bool broadcast) {
    static ExtraReply reply;
    static int16_t shown[256];
    const uint32_t started = tickMicros();
    const bool pdu = s->functionSelector == selectorPdu;
    const ExtraTake take = broadcast ? ExtraTake::Broadcast
                           : pdu     ? ExtraTake::Raw
                                     : ExtraTake::Decoded;
    const int32_t result = extraAsk(ctx, s->modslave, request, requestLength, take, &reply);
    RequestResult outcome = result == 1    ? RequestResult::Ok
                            : result == 2  ? RequestResult::Exception
                            : result == 3  ? RequestResult::Broadcast
                            : result == -3 ? RequestResult::TransmitFailed
                                           : statsResultOf(ctx, result, nullptr);
    const uint32_t us = uint32_t(tickMicros() - started);
    const uint32_t count = result != 1 ? 0 : pdu ? reply.length : reply.count;
    for (uint32_t i = 0; i < count; ++i)
        shown[i] = int16_t(pdu ? reply.pdu[i] : reply.values[i]);
    const uint8_t exception = result == 2 ? reply.exception : 0;
    statsCount(stats, outcome, exception, us);
    statsCountUnit(stats, s->modslave, outcome, us);
    const bool typed = s->functionSelector == 23;
    const RequestRecord record{number,
                               s->modslave,
                               pdu ? request[0] : s->functionSelector,
                               askedType,
                               int32_t(askedOffset) + 1,
                               outcome,
                               exception,
                               us,
                               shown,
                               int32_t(count),
                               typed ? s->dataType : DataType::Int16,
                               s->wordOrder,
                               nullptr,
                               nullptr};
    recordsWrite(&record);
    if (result == 3) {
        progressPrintf("\nBroadcast: no reply awaited.");
        fflush(stdout);
        interruptWaitMs(uint32_t(s->requestSpacing > 0 ? s->requestSpacing : 0));
        return;
    }
    if (result == -3) {
        printf("\n\rModbus transmit failed.");
        return;
    }
    if (result != 1 && result != 2) {
        printf("\n\rReceive error = %d", result);
        return;
    }
    const bool lines = !s->quiet || s->outputFormat == OutputFormat::Text;
    progressPrintf("\nModbus AL frame received: fc = %2.2x", reply.function);
    if (lines && result == 2) {
        if (pdu)
            printAnswer(s, &reply, nullptr);
        printf("\nModbus PL Exception! EC = %2.2x", reply.exception);
    } else if (lines) {
        ModbusMessage asRead{0, 23, 4, askedOffset, int16_t(count), shown, 256};
        printAnswer(s, &reply, &asRead);
    }
}
