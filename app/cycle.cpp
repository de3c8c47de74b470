// The request cycle: the only user of the application layer's interface, as master. Every
// message is printed directly; the stack's own trace comes out between them.
#include "app/cycle.h"

#include "stack/al/modpl.h"
#include "stack/al/reference.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <cstdio>

namespace {

constexpr int exitStatus = 10;

bool selectorSupported(uint8_t selector) {
    switch (selector) {
    case 3:
    case 5:
    case 6:
    case 15:
    case 16:
    case selectorRead:
    case selectorWrite:
        return true;
    default:
        return false;
    }
}

void fillRequest(const RunSettings *settings, ModbusMessage *request, int16_t *values) {
    request->flags &= ~msgflag::single;
    switch (settings->functionSelector) {
    case 3:
    case selectorRead:
        request->flags = (request->flags & ~msgflag::kindMask) | msgflag::kindRead;
        request->count = settings->registerCount;
        break;
    case 5:
    case 6:
        request->flags |= msgflag::single;
        [[fallthrough]];
    case 15:
    case 16:
    case selectorWrite:
        request->flags = (request->flags & ~msgflag::kindMask) | msgflag::kindWrite;
        request->count = settings->valueCount;
        request->values = values;
        break;
    default:
        break;
    }
}

void printReply(const ModbusMessage *reply) {
    printf("\nModbus AL frame received: fc = %2.2x", reply->functionCode);
    if (reply->functionCode & 0x80) {
        printf("\nModbus PL Exception! EC = %2.2x", reply->refType & 0xff);
        return;
    }
    const int32_t first = static_cast<int32_t>(reply->offset) + 1;
    const uint16_t count = static_cast<uint16_t>(reply->count);
    printf("\nModbus AL frame: startreg = %d%5.5d, #regs = %d", reply->refType, first, count);
    if (!traceRegisterDump())
        return;
    // The count comes back from the wire; never read past the value list.
    for (int32_t i = 0; i < count && i < maxValues; ++i)
        printf("\nRegister %d%5.5d: %d", reply->refType, first + i, reply->values[i]);
}

void runRepetitions(RunSettings *settings, StackContext *ctx, ModbusMessage *request,
                    ModbusMessage *reply) {
    int32_t sent = 0;
    while (true) {
        const int16_t taken = settings->numRequests;
        settings->numRequests = static_cast<int16_t>(static_cast<uint16_t>(taken) - 1u);
        if (taken == 0 || interruptRequested())
            break;
        fillRequest(settings, request, settings->values);
        ++sent;
        // Written out by the first wait that lasts, not before every exchange.
        printf("\nSending request #%d", sent);
        if (modplSendRequest(ctx, settings->modslave, request) != 1) {
            printf("\n\rModbus transmit failed.");
            continue;
        }
        reply->refType = request->refType;
        reply->offset = request->offset;
        reply->values = settings->values;
        reply->capacity = maxValues;
        reply->count = request->count;
        const int32_t result = modplGetReply(ctx, reply);
        if (result != 1) {
            printf("\n\rReceive error = %d", result);
            continue;
        }
        printReply(reply);
    }
}

} // namespace

int runRequestCycle(RunSettings *settings) {
    // Static: the context holds the link's buffers and the driver state.
    static StackContext ctx;
    static ModbusMessage request;
    static ModbusMessage reply;
    StackSettings stackSettings{};

    // Ctrl-C and SIGTERM end the run through its normal close.
    interruptCatchSignals();
    request.capacity = maxValues;
    reply.capacity = maxValues;
    if (!modplParseReference(settings->startreg, &request.refType, &request.offset)) {
        printf("Bad startreg specification: %s", settings->startreg);
    } else if (!settings->run) {
        // Nothing asked for a request.
    } else if (!selectorSupported(settings->functionSelector)) {
        // Refused here: such a request would carry whatever the record last held.
        printf("\nFunction code %d not supported.", settings->functionSelector);
    } else {
        printf("\nInstall ModPL");
        modplInstall(&ctx, modplMaster);
        printf("\nAbout to open ModPL with port %s", settings->portText);
        fflush(stdout);
        const int32_t opened = modplOpen(&ctx, settings->portText, settings->modslave);
        modplGetSettings(&ctx, &stackSettings);
        stackSettings.timeoutMs = settings->receiveTimeout;
        stackSettings.minIntervalMs = settings->requestSpacing;
        modplSetSettings(&ctx, &stackSettings);
        if (opened != 1) {
            printf("\nModbus CommStack open failed.");
        } else {
            if (settings->lineFormatGiven)
                modplSetLineFormat(&ctx, settings->dataBits, settings->parity, settings->stopBits);
            if (settings->modbusTcp && modplSetFraming(&ctx, true) != 1)
                printf("\nModbus TCP framing needs a TCP port: the run goes on in RTU framing.");
            modplSetBaud(&ctx, settings->baudRate);
            printf("\nBuilding request: modslave = %d", settings->modslave);
            runRepetitions(settings, &ctx, &request, &reply);
            modplClose(&ctx);
        }
    }
    // The status is the length of that line, also when it could not be written.
    printf("\nExiting.\n");
    return exitStatus;
}
