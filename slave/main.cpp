// korvalen-slave: serves one unit address from an in-memory image on a serial port or a TCP
// connection, through the stack in the slave role. Prints one line per request it took and
// stops on SIGINT or SIGTERM, or after a number of requests or seconds, always through the
// stack's close, so that a serial device gets its settings back.
#include "slave/image.h"
#include "slave/options.h"
#include "stack/al/modpl.h"
#include "stack/drivers/interrupt.h"

#include <cctype>
#include <cstdio>

namespace {

constexpr int32_t receiveTimeoutMs = 1000;
constexpr int32_t maxValues = 2000; // the most values one request carries (coils)

// What became of a request the stack took or refused; the line's closing words.
const char *answer(int32_t unit, uint8_t exception, int32_t sent, char *text, size_t size) {
    if (unit == 0)
        return exception == 0 ? "broadcast, applied" : "broadcast, refused, not answered";
    if (sent != 1)
        return "answer not sent";
    if (exception == 0)
        return "answered";
    snprintf(text, size, "exception %02d", exception);
    return text;
}

void report(uint32_t number, int32_t unit, const ModbusMessage *m, const char *result) {
    const uint8_t code = m->functionCode & 0x7Fu;
    const uint16_t refType = imageRefType(code);
    printf("Request %u: unit %d, fc %02d", number, unit, code);
    if (refType != 2)
        printf(", address %d%5.5d, count %d", refType, int32_t(m->offset) + 1, m->count);
    printf(": %s\n", result);
    fflush(stdout);
}

// One request taken or refused by the stack: served, answered and reported. False when nothing
// arrived for this unit.
bool serveOne(StackContext *ctx, SlaveImage *image, ModbusMessage *m, uint32_t number) {
    m->functionCode = 0;
    m->offset = 0;
    m->count = 0;
    const int32_t taken = modplGetReply(ctx, m);
    if (taken != 1 && m->functionCode == 0)
        return false;
    const int32_t unit = modplGetPeerUnit(ctx);
    char text[16];
    if (taken != 1) {
        // The stack answered exception 1 itself, or the write's data disagreed with its count.
        const bool refused = (m->functionCode & 0x80u) != 0;
        report(number, unit, m,
               refused ? answer(unit, 1, 1, text, sizeof text) : "malformed, not answered");
        return true;
    }
    const uint8_t exception = imageServe(image, m);
    if (exception != 0) {
        m->functionCode = uint8_t(m->functionCode | 0x80u);
        m->refType = exception;
    }
    const int32_t sent = modplSendRequest(ctx, 0, m);
    report(number, unit, m, answer(unit, exception, sent, text, sizeof text));
    return true;
}

int serve(const SlaveSettings *s, SlaveImage *image) {
    // Static: the context holds the link's buffers and the driver state.
    static StackContext ctx;
    static int16_t values[maxValues];
    ModbusMessage message{};
    message.values = values;
    message.capacity = maxValues;

    printf("korvalen-slave: unit %d on %s\n", s->unit, s->portText);
    fflush(stdout);
    modplInstall(&ctx, modplSlave);
    if (modplOpen(&ctx, s->portText, s->unit) != 1) {
        if (interruptRequested()) {
            printf("korvalen-slave: stopped before a master came\n");
            return slaveStatusOk;
        }
        fprintf(stderr, "korvalen-slave: cannot open port '%s'\n", s->portText);
        return slaveStatusFailed;
    }
    const StackSettings settings{0, receiveTimeoutMs, 0};
    modplSetSettings(&ctx, &settings);
    if (modplSetBaud(&ctx, s->baudRate) != 1) {
        fprintf(stderr, "korvalen-slave: port '%s' refuses %d baud: it runs it as %d\n",
                s->portText, s->baudRate, modplGetBaud(&ctx));
        modplClose(&ctx);
        return slaveStatusFailed;
    }
    if (modplSetLineFormat(&ctx, s->dataBits, s->parity, s->stopBits) != 1) {
        fprintf(stderr, "korvalen-slave: port '%s' refuses the line format\n", s->portText);
        modplClose(&ctx);
        return slaveStatusFailed;
    }

    uint32_t served = 0;
    while (!interruptRequested() && (s->maxRequests == 0 || served < s->maxRequests))
        if (serveOne(&ctx, image, &message, served + 1))
            ++served;
    modplClose(&ctx);
    const char *why = interruptTimeUp()      ? "time limit"
                      : interruptRequested() ? "signal"
                                             : "request limit";
    // A driver's error line may stand unfinished before this one.
    printf("\nkorvalen-slave: stopped (%s) after %u requests\n", why, served);
    return slaveStatusOk;
}

} // namespace

int main(int argc, char **argv) {
    // Static: four 65,536-entry tables.
    static SlaveImage image;
    static SlaveSettings settings;
    imageSeed(&image);
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *b = "--VERSION";
        while (*b != '\0' && toupper(static_cast<unsigned char>(*a)) == *b)
            ++a, ++b;
        if (*a == '\0' && *b == '\0') {
            printf("KORVALEN-SLAVE v1.5:  Compiled at %s %s\n", __DATE__, __TIME__);
            return slaveStatusOk;
        }
    }
    const int status = parseSlaveArguments(&settings, &image, argc, argv);
    if (status != slaveStatusOk)
        return status;
    if (argc < 2) {
        printSlaveUsage();
        return slaveStatusOk;
    }
    if (!settings.run)
        return slaveStatusOk;
    interruptCatchSignals();
    interruptAfter(settings.maxSeconds);
    return serve(&settings, &image);
}
