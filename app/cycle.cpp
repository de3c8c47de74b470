// The request cycle: the only user of the application layer's interface, as master. Every
// message is printed directly; the stack's own trace comes out between them.
#include "app/cycle.h"

#include "app/guard.h"
#include "app/identity.h"
#include "app/records.h"
#include "app/runstats.h"
#include "app/scan.h"
#include "app/values.h"
#include "stack/al/ident.h"
#include "stack/al/modpl.h"
#include "stack/al/reference.h"
#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <cstdio>

namespace {

constexpr int exitStatus = 10;
// With -ESON, beside statsStatus's 0, 1 and 2.
constexpr int statusPortFailed = 3;
constexpr int statusRefused = 4;
constexpr int statusInterrupted = 5;

bool selectorSupported(uint8_t selector) {
    switch (selector) {
    case 3:
    case 5:
    case 6:
    case 15:
    case 16:
    case identFcServerId:
    case identFcDevice:
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

void printReply(const RunSettings *settings, const ModbusMessage *reply) {
    printf("\nModbus AL frame received: fc = %2.2x", reply->functionCode);
    if (reply->functionCode & 0x80) {
        printf("\nModbus PL Exception! EC = %2.2x", reply->refType & 0xff);
        return;
    }
    const int32_t first = static_cast<int32_t>(reply->offset) + 1;
    const uint16_t count = static_cast<uint16_t>(reply->count);
    printf("\nModbus AL frame: startreg = %d%5.5d, #regs = %d", reply->refType, first, count);
    if (traceRegisterDump())
        valuesPrint(settings, reply);
}

// Counts what the request came to and writes its record.
void noteRequest(RunStats *stats, const RunSettings *settings, uint32_t number,
                 const ModbusMessage *request, const ModbusMessage *reply, RequestResult result,
                 uint32_t started) {
    const uint32_t ms = uint32_t(tickCount() - started);
    const bool exception = result == RequestResult::Exception;
    const uint8_t code = exception ? uint8_t(reply->refType & 0xff) : 0;
    statsCount(stats, result, code, ms);
    // As printReply reads it: the count from the wire, never past the value list.
    const uint16_t wire = result == RequestResult::Ok ? uint16_t(reply->count) : 0;
    const int32_t count = wire < maxValues ? wire : maxValues;
    const RequestRecord record{number,
                               settings->modslave,
                               request->functionCode,
                               request->refType,
                               int32_t(request->offset) + 1,
                               result,
                               code,
                               ms,
                               reply->values,
                               count,
                               request->refType < 2 ? DataType::Int16 : settings->dataType,
                               settings->wordOrder,
                               nullptr,
                               nullptr};
    recordsWrite(&record);
}

// One identity question: its lines, or the error lines of a request, and its count.
void askIdentity(const RunSettings *settings, StackContext *ctx, RunStats *stats) {
    const uint32_t started = tickCount();
    uint8_t exception = 0;
    const int32_t result =
        identityShow(ctx, settings->functionSelector, settings->modslave, &exception);
    RequestResult outcome = RequestResult::Ok;
    if (result == -3) {
        printf("\n\rModbus transmit failed.");
        outcome = RequestResult::TransmitFailed;
    } else if (result == 0 || result == -2) {
        printf("\n\rReceive error = %d", result);
        outcome = result == 0 ? statsResultOf(ctx, 0, nullptr) : RequestResult::BadFrame;
    } else if (result == 2) {
        outcome = RequestResult::Exception;
    }
    statsCount(stats, outcome, exception, uint32_t(tickCount() - started));
}

void runRepetitions(RunSettings *settings, StackContext *ctx, ModbusMessage *request,
                    ModbusMessage *reply, RunStats *stats) {
    const bool broadcast = guardIsBroadcast(settings);
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
        if (settings->functionSelector == identFcServerId ||
            settings->functionSelector == identFcDevice) {
            askIdentity(settings, ctx, stats);
            continue;
        }
        // From the frame's last byte out, after the pacing the send waits through.
        const int32_t sendResult = modplSendRequest(ctx, settings->modslave, request);
        const uint32_t started = tickCount();
        if (sendResult != 1) {
            printf("\n\rModbus transmit failed.");
            noteRequest(stats, settings, uint32_t(sent), request, reply,
                        RequestResult::TransmitFailed, started);
            continue;
        }
        if (broadcast) {
            printf("\nBroadcast: no reply awaited.");
            noteRequest(stats, settings, uint32_t(sent), request, reply, RequestResult::Broadcast,
                        started);
            // The slaves apply it in this pause; the next request's pacing counts from the send.
            fflush(stdout);
            interruptWaitMs(uint32_t(settings->requestSpacing > 0 ? settings->requestSpacing : 0));
            continue;
        }
        reply->refType = request->refType;
        reply->offset = request->offset;
        reply->values = settings->values;
        reply->capacity = maxValues;
        reply->count = request->count;
        const int32_t result = modplGetReply(ctx, reply);
        noteRequest(stats, settings, uint32_t(sent), request, reply,
                    statsResultOf(ctx, result, reply), started);
        if (result != 1) {
            printf("\n\rReceive error = %d", result);
            continue;
        }
        printReply(settings, reply);
    }
}

} // namespace

int runRequestCycle(RunSettings *settings) {
    // Static: the context holds the link's buffers and the driver state.
    static StackContext ctx;
    static ModbusMessage request;
    static ModbusMessage reply;
    static RunStats stats;
    StackSettings stackSettings{};
    int status = statusRefused;
    statsReset(&stats);

    // Ctrl-C and SIGTERM end the run through its normal close.
    interruptCatchSignals();
    request.capacity = maxValues;
    reply.capacity = maxValues;
    if (!modplParseReference(settings->startreg, &request.refType, &request.offset)) {
        printf("Bad startreg specification: %s", settings->startreg);
        settingsRefuse(settings, "start register '%s' not understood", settings->startreg);
        guardRefuse(settings);
    } else if (!guardAllows(settings)) {
        // Refused with its reason: a write goes out as typed or not at all.
    } else if (!settings->run) {
        // Nothing asked for a request.
        status = settings->refused ? statusRefused : 0;
    } else if (!selectorSupported(settings->functionSelector)) {
        // Refused here: such a request would carry whatever the record last held.
        printf("\nFunction code %d not supported.", settings->functionSelector);
    } else if (!valuesPrepare(settings, request.refType)) {
        guardRefuse(settings);
    } else if (guardIsWrite(settings->functionSelector) &&
               !guardWrite(settings, request.refType, request.offset)) {
        // Refused with its reason: nothing is opened.
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
        status = statusPortFailed;
        if (opened != 1) {
            printf("\nModbus CommStack open failed.");
        } else {
            if (settings->lineFormatGiven)
                modplSetLineFormat(&ctx, settings->dataBits, settings->parity, settings->stopBits);
            if (settings->modbusTcp && modplSetFraming(&ctx, true) != 1)
                printf("\nModbus TCP framing needs a TCP port: the run goes on in RTU framing.");
            // A rate of 0 or below is only traced; one the port cannot run ends the run.
            if (modplSetBaud(&ctx, settings->baudRate) != 1 && settings->baudRate > 0) {
                printf("\nBaud rate %d refused: the port runs it as %d", settings->baudRate,
                       modplGetBaud(&ctx));
            } else if (settings->scanFirst != 0) {
                printf("\nScanning units %d to %d", settings->scanFirst, settings->scanLast);
                status = scanRun(settings, &ctx, &stats);
                if (settings->statistics)
                    statsPrint(&stats, modplRebuildCount(&ctx));
            } else {
                printf("\nBuilding request: modslave = %d", settings->modslave);
                runRepetitions(settings, &ctx, &request, &reply, &stats);
                status = statsStatus(&stats);
                if (settings->statistics)
                    statsPrint(&stats, modplRebuildCount(&ctx));
            }
            modplClose(&ctx);
        }
    }
    // The status is the length of that line, also when it could not be written.
    printf("\nExiting.\n");
    if (!settings->exitStatusTells)
        return exitStatus;
    return interruptRequested() ? statusInterrupted : status;
}
