// One request served and logged, and the serving loop of a serial port or a TCP client: a
// device or master that goes away is reported and opened again once a second.
#include "slave/serve.h"

#include "stack/al/extra.h"
#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <cstdio>

namespace {

// What became of a request: the closing words of its line.
const char *outcome(int32_t unit, const ModbusMessage *m, uint8_t exception, bool sent, char *text,
                    size_t size) {
    if (unit == 0) {
        if (exception != 0)
            return "broadcast, refused, not answered";
        const bool write = (m->flags & msgflag::kindMask) == msgflag::kindWrite;
        return write ? "broadcast, applied" : "broadcast, not answered";
    }
    if (!sent)
        return "answer not sent";
    if (exception == 0)
        return "answered";
    snprintf(text, size, "exception %02d", exception);
    return text;
}

void logRequest(uint32_t number, int32_t unit, uint8_t code, const ModbusMessage *m,
                const char *result) {
    const uint16_t refType = imageRefType(code);
    char where[40] = "";
    if (refType != 2)
        snprintf(where, sizeof where, ", address %d%5.5d, count %d", refType,
                 int32_t(m->offset) + 1, m->count);
    traceLogLine("Request %u: unit %d, fc %02d%s: %s", number, unit, code, where, result);
}

bool openChannel(StackContext *ctx, const SlaveSettings *s) {
    modplInstall(ctx, modplSlave);
    if (modplOpen(ctx, s->portText, s->unit) != 1)
        return false;
    modplSetUnits(ctx, s->units);
    identServeFrom(ctx, &s->identity);
    const StackSettings settings{0, slaveReceiveTimeoutMs, 0};
    modplSetSettings(ctx, &settings);
    modplSetBaud(ctx, s->baudRate);
    if (s->modbusTcp && modplSetFraming(ctx, true) != 1)
        traceLogLine("korvalen-slave: Modbus TCP framing needs a TCP port: serving RTU framing");
    return true;
}

// A request the faults may hit: a silenced one is not served, one that gets an exception is
// answered with it instead.
void serveFaulted(StackContext *ctx, SlaveImage *image, ModbusMessage *m, uint32_t number,
                  int32_t unit, FaultRun *faults, FaultAnswer *answer) {
    const uint8_t asked = m->functionCode;
    FaultHit hit;
    faultDecide(faults, &hit);
    const bool answered = !faultHas(&hit, FaultKind::Drop) && !faultHas(&hit, FaultKind::Silent);
    uint8_t exception = hit.exception;
    if (exception == 0 && !faultHas(&hit, FaultKind::Silent))
        exception = imageServe(image, m);
    if (exception != 0) {
        m->functionCode = uint8_t(asked | 0x80u);
        m->refType = exception;
    }
    char text[16], faulted[96], result[128];
    faultText(&hit, faulted, sizeof faulted);
    const char *said = "not answered";
    if (answered) {
        uint8_t frame[moddlFrameMost];
        const uint32_t length = modplAnswerFrame(ctx, m, frame);
        const bool sent = faultShape(faults, &hit, frame, length, ctx->link.framing == framingMbap,
                                     answer, tickCount()) &&
                          faultPump(ctx, answer, answer->inPlace) >= 0;
        said = outcome(unit, m, exception, sent, text, sizeof text);
    }
    snprintf(result, sizeof result, "%s%s", said, faulted);
    logRequest(number, unit, asked, m, result);
}

} // namespace

bool serveRequest(StackContext *ctx, SlaveImage *image, ModbusMessage *m, uint32_t number,
                  FaultRun *faults, FaultAnswer *answer) {
    uint32_t before[2], after[2];
    // Functions 7, 22 and 23 are answered in the stack, from the image.
    extraServeFrom(ctx, image->holdingRegisters, &image->exceptionStatus);
    modplGetCounts(ctx, before);
    m->flags = 0;
    m->offset = 0;
    m->count = 0;
    const int32_t taken = modplGetReply(ctx, m);
    modplGetCounts(ctx, after);
    if (after[0] == before[0])
        return false;
    const int32_t unit = modplGetPeerUnit(ctx);
    const uint8_t asked = m->functionCode;
    char text[16];
    if (taken != 1) {
        // The stack answered with an exception itself, or the request was cut short.
        const bool refused = (m->flags & msgflag::isResponse) != 0;
        const uint8_t exception = uint8_t(m->refType & 0xFFu);
        logRequest(number, unit, asked, m,
                   refused ? outcome(unit, m, exception, after[1] > before[1], text, sizeof text)
                           : "malformed, not answered");
        return true;
    }
    if (faults != nullptr && unit != 0) {
        serveFaulted(ctx, image, m, number, unit, faults, answer);
        return true;
    }
    const uint8_t exception = imageServe(image, m);
    if (exception != 0) {
        m->functionCode = uint8_t(asked | 0x80u);
        m->refType = exception;
    }
    const bool sent = modplSendRequest(ctx, 0, m) == 1;
    logRequest(number, unit, asked, m, outcome(unit, m, exception, sent, text, sizeof text));
    return true;
}

void logStop(uint32_t served) {
    const char *why = interruptTimeUp()      ? "time limit"
                      : interruptRequested() ? "signal"
                                             : "request limit";
    traceLogLine("korvalen-slave: stopped (%s) after %u request%s", why, served,
                 served == 1 ? "" : "s");
}

int serveChannel(const SlaveSettings *s, SlaveImage *image, FaultRun *faults) {
    // Static: the context holds the link's buffers and the driver state.
    static StackContext ctx;
    static FaultAnswer answer;
    answer.inPlace = true;
    static int16_t values[slaveMaxValues];
    ModbusMessage message{};
    message.values = values;
    message.capacity = slaveMaxValues;

    if (!openChannel(&ctx, s)) {
        if (interruptRequested()) {
            traceLogLine("korvalen-slave: stopped before a master came");
            return slaveStatusOk;
        }
        fprintf(stderr, "\nkorvalen-slave: cannot open port '%s'\n", s->portText);
        return slaveStatusFailed;
    }
    if (s->baudRate > 0 && modplSetBaud(&ctx, s->baudRate) != 1) {
        fprintf(stderr, "\nkorvalen-slave: port '%s' refuses %d baud: it runs it as %d\n",
                s->portText, s->baudRate, modplGetBaud(&ctx));
        modplClose(&ctx);
        return slaveStatusFailed;
    }
    if (modplSetLineFormat(&ctx, s->dataBits, s->parity, s->stopBits) != 1) {
        fprintf(stderr, "\nkorvalen-slave: port '%s' refuses the line format\n", s->portText);
        modplClose(&ctx);
        return slaveStatusFailed;
    }
    uint32_t served = 0;
    bool open = true;
    while (!interruptRequested() && (s->maxRequests == 0 || served < s->maxRequests)) {
        // A receive on a channel that went away tries to open it again, or waits a second.
        if (serveRequest(&ctx, image, &message, served + 1, faults, &answer))
            ++served;
        // A receive ended by a stop closed nothing: the stop line alone tells of it.
        if (open != (modplIsOpen(&ctx) == 1) && !interruptRequested()) {
            open = !open;
            traceLogLine(open ? "korvalen-slave: '%s' is back"
                              : "korvalen-slave: lost '%s'; trying again once a second",
                         s->portText);
        }
    }
    modplClose(&ctx);
    logStop(served);
    return slaveStatusOk;
}
