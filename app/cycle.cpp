// The request cycle: the only user of the application layer's interface, as master. Every
// message is printed directly; the stack's own trace comes out between them.
#include "app/cycle.h"

#include "app/extras.h"
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
        return extrasSelected(selector);
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

// A quiet run beside records leaves the reply to its record; in text, its lines are the record.
void printReply(const RunSettings *settings, const ModbusMessage *reply) {
    const bool lines = !settings->quiet || settings->outputFormat == OutputFormat::Text;
    progressPrintf("\nModbus AL frame received: fc = %2.2x", reply->functionCode);
    if (reply->functionCode & 0x80) {
        if (lines)
            printf("\nModbus PL Exception! EC = %2.2x", reply->refType & 0xff);
        return;
    }
    const int32_t first = static_cast<int32_t>(reply->offset) + 1;
    const uint16_t count = static_cast<uint16_t>(reply->count);
    progressPrintf("\nModbus AL frame: startreg = %d%5.5d, #regs = %d", reply->refType, first,
                   count);
    if (traceRegisterDump() && lines)
        valuesPrint(settings, reply);
}

// Counts what the request came to and writes its record.
void noteRequest(RunStats *stats, const RunSettings *settings, uint32_t number,
                 const ModbusMessage *request, const ModbusMessage *reply, RequestResult result,
                 uint32_t started) {
    const uint32_t us = uint32_t(tickMicros() - started);
    const bool exception = result == RequestResult::Exception;
    const uint8_t code = exception ? uint8_t(reply->refType & 0xff) : 0;
    statsCount(stats, result, code, us);
    statsCountUnit(stats, settings->modslave, result, us);
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
                               us,
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
    const uint32_t started = tickMicros();
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
    statsCount(stats, outcome, exception, uint32_t(tickMicros() - started));
}

// One request to the unit in settings->modslave: sent, waited for, printed and counted.
void exchange(RunSettings *settings, StackContext *ctx, ModbusMessage *request,
              ModbusMessage *reply, RunStats *stats, int32_t number, bool broadcast) {
    fillRequest(settings, request, settings->values);
    progressPrintf("\nSending request #%d", number);
    if (settings->unitCount > 0)
        progressPrintf(" to unit %d", settings->modslave);
    if (settings->functionSelector == identFcServerId ||
        settings->functionSelector == identFcDevice) {
        askIdentity(settings, ctx, stats);
        return;
    }
    if (extrasSelected(settings->functionSelector)) {
        extrasExchange(settings, ctx, stats, uint32_t(number), broadcast);
        return;
    }
    // From the frame's last byte out, after the pacing the send waits through.
    const int32_t sendResult = modplSendRequest(ctx, settings->modslave, request);
    const uint32_t started = tickMicros();
    if (sendResult != 1) {
        printf("\n\rModbus transmit failed.");
        noteRequest(stats, settings, uint32_t(number), request, reply,
                    RequestResult::TransmitFailed, started);
        return;
    }
    if (broadcast) {
        progressPrintf("\nBroadcast: no reply awaited.");
        noteRequest(stats, settings, uint32_t(number), request, reply, RequestResult::Broadcast,
                    started);
        // The slaves apply it in this pause; the next request's pacing counts from the send.
        fflush(stdout);
        interruptWaitMs(uint32_t(settings->requestSpacing > 0 ? settings->requestSpacing : 0));
        return;
    }
    reply->refType = request->refType;
    reply->offset = request->offset;
    reply->values = settings->values;
    reply->capacity = maxValues;
    reply->count = request->count;
    const int32_t result = modplGetReply(ctx, reply);
    noteRequest(stats, settings, uint32_t(number), request, reply,
                statsResultOf(ctx, result, reply), started);
    if (result != 1) {
        printf("\n\rReceive error = %d", result);
        return;
    }
    printReply(settings, reply);
}

// Waits for the next round's start, a period after the last one's; a round that ran past it
// starts the next at once and counts as an overrun. False once the run is stopped.
bool awaitRound(const RunSettings *settings, RunStats *stats, uint32_t *next, bool first) {
    const uint32_t period = settings->pollPeriodMs;
    if (period == 0 || first) {
        *next = tickCount() + period;
        return !interruptRequested();
    }
    const int32_t early = int32_t(*next - tickCount());
    if (early < 0) {
        ++stats->overruns;
        *next = tickCount();
    } else {
        fflush(stdout);
        interruptWaitMs(uint32_t(early));
    }
    *next += period;
    return !interruptRequested();
}

// Rounds of one request to each unit (-ID's list, or its one unit): -RQ rounds, or with -POLL
// until stopped. A stop in a pause comes before the next request: it is neither sent nor counted.
void runRepetitions(RunSettings *settings, StackContext *ctx, ModbusMessage *request,
                    ModbusMessage *reply, RunStats *stats) {
    const int32_t units = settings->unitCount > 0 ? settings->unitCount : 1;
    const bool broadcast = guardIsBroadcast(settings);
    int32_t sent = 0;
    uint32_t next = 0;
    for (bool first = true;; first = false) {
        if (!settings->poll) {
            const int16_t taken = settings->numRequests;
            settings->numRequests = static_cast<int16_t>(static_cast<uint16_t>(taken) - 1u);
            if (taken == 0)
                break;
        }
        if (recordsReaderGone() || !awaitRound(settings, stats, &next, first))
            break;
        for (int32_t u = 0; u < units; ++u) {
            modplPace(ctx);
            if (interruptRequested() || recordsReaderGone())
                return;
            if (settings->unitCount > 0)
                settings->modslave = settings->units[u];
            exchange(settings, ctx, request, reply, stats, ++sent, broadcast);
        }
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
    const bool extras = extrasSelected(settings->functionSelector);
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
    } else if (!valuesPrepare(settings, extras ? 4 : request.refType)) {
        guardRefuse(settings);
    } else if (extras ? !extrasPrepare(settings, request.refType, request.offset)
                      : guardIsWrite(settings->functionSelector) &&
                            !guardWrite(settings, request.refType, request.offset)) {
        // Refused with its reason: nothing is opened.
    } else {
        progressPrintf("\nInstall ModPL");
        modplInstall(&ctx, modplMaster);
        progressPrintf("\nAbout to open ModPL with port %s", settings->portText);
        fflush(stdout);
        modplSetPortTyped(&ctx, settings->portTyped);
        const int32_t opened = modplOpen(&ctx, settings->portText, settings->modslave);
        modplGetSettings(&ctx, &stackSettings);
        stackSettings.timeoutMs = settings->receiveTimeout;
        stackSettings.minIntervalMs = settings->requestSpacing;
        modplSetSettings(&ctx, &stackSettings);
        status = statusPortFailed;
        if (opened != 1) {
            runOpenFailed(&ctx);
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
                progressPrintf("\nScanning units %d to %d", settings->scanFirst,
                               settings->scanLast);
                status = scanRun(settings, &ctx, &stats);
                if (settings->statistics)
                    statsPrint(&stats, modplRebuildCount(&ctx));
            } else {
                progressPrintf("\nBuilding request: modslave = %d", settings->modslave);
                runRepetitions(settings, &ctx, &request, &reply, &stats);
                status = statsStatus(&stats);
                if (settings->statistics)
                    statsPrint(&stats, modplRebuildCount(&ctx));
            }
            modplClose(&ctx);
        }
    }
    return runFinish(settings, status);
}

void runOpenFailed(const StackContext *ctx) {
    printf("\nModbus CommStack open failed.");
    if (const char *why = modplOpenFailure(ctx))
        printf("\n%s", why);
}

int runFinish(const RunSettings *settings, int status) {
    // A quiet run still ends its last line.
    if (traceProgress())
        printf("\nExiting.\n");
    else
        printf("\n");
    if (!settings->exitStatusTells)
        return exitStatus;
    return interruptRequested() ? statusInterrupted : status;
}
