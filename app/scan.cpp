// Probing: a probe answered by any frame from the unit, an exception included, finds a device;
// bytes that make no frame are a likely device at other settings. A sweep skips the units
// found at an earlier setting, so each device is reported once, at the setting it answered.
#include "app/scan.h"

#include "app/identity.h"
#include "app/records.h"
#include "stack/al/ident.h"
#include "stack/al/reference.h"
#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"

#include <cstdio>
#include <initializer_list>

namespace {

constexpr int32_t rates[] = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};
constexpr int8_t formats[][3] = {{8, 0, 1}, {8, 2, 1}, {8, 1, 1}, {8, 0, 2}};
constexpr uint32_t tcpTimeoutMs = 100;
constexpr uint32_t unitsMost = 247;
// A unit found has shown it is there: its identity may take longer than a probe (some devices
// pause before an exception).
constexpr int32_t identityTimeoutMs = 1000;
// The register of the broadcast between probes: its high byte 3 is the byte count a device reads
// when it takes the frame for a reply, which then ends where the frame ends.
constexpr uint16_t resyncOffset = 0x0300;
// The quiet before the first probe at each further setting of a sweep.
constexpr uint32_t settleMs = 600;

struct ScanState {
    uint8_t units[unitsMost]; // found, in order
    uint8_t at[unitsMost];    // the setting each was found at
    uint32_t found;
    uint32_t garbled;
    uint32_t absent;      // answered by a gateway for a unit that is not there
    uint8_t absentCodes;  // which of 0a and 0b it answered: bit 0 and bit 1
    int32_t untestedFrom; // the connection was lost from this unit on; 0 while it holds
    int32_t untestedTo;
    uint32_t probes;
    bool seen[unitsMost + 1];
    bool terminal; // standard output is one: the progress line is drawn
    bool shown;    // the progress line is on screen, below the last line printed
    RunStats *stats;
};

// A probe as it went: its unit, when it left, and what came of it.
struct Probe {
    int32_t unit;
    uint32_t sentAt;
    int32_t result;
    RxOutcome outcome;
};

const char *formatText(const ScanSetting *s, char *text) {
    text[0] = char('0' + s->dataBits % 10);
    text[1] = "NOEMS"[s->parity % 5];
    text[2] = char('0' + s->stopBits % 10);
    text[3] = '\0';
    return text;
}

// " at 9600 8N1" on a serial line, nothing on TCP.
const char *settingText(const StackContext *ctx, const ScanSetting *s, char *text) {
    char format[4];
    if (!ctx->link.isSerial)
        return "";
    snprintf(text, 32, " at %d %s", s->baud, formatText(s, format));
    return text;
}

uint32_t bitsPerChar(const ScanSetting *s) {
    return 1u + uint32_t(s->dataBits) + (s->parity != 0 ? 1u : 0u) + uint32_t(s->stopBits);
}

// What the next line printed begins with: the progress line is wiped and its place taken, or
// a new line is begun.
const char *lineStart(ScanState *state) {
    if (!state->shown)
        return "\n";
    printf("\r%60s\r", "");
    state->shown = false;
    return "";
}

// The progress line, on a line of its own below what was printed.
void showProgress(ScanState *state, const StackContext *ctx, const ScanSetting *s, int32_t unit) {
    char format[4];
    printf("%sScanning unit %3d", state->shown ? "\r" : "\n", unit);
    if (ctx->link.isSerial)
        printf(" at %6d %s", s->baud, formatText(s, format));
    printf(", %u found ", state->found);
    state->shown = true;
    fflush(stdout);
}

// Applies the setting and the probe timing: false when the port refuses the rate.
bool applySetting(const RunSettings *settings, StackContext *ctx, const ScanSetting *s) {
    uint32_t timeoutMs = tcpTimeoutMs, spacingMs = 0;
    if (ctx->link.isSerial) {
        modplSetLineFormat(ctx, s->dataBits, s->parity, s->stopBits);
        if (modplSetBaud(ctx, s->baud) != 1)
            return false;
        timeoutMs = scanProbeTimeoutMs(s);
        spacingMs = scanSpacingMs(s);
    }
    const StackSettings timing{
        0, settings->timeoutGiven ? settings->receiveTimeout : int32_t(timeoutMs),
        settings->spacingGiven ? settings->requestSpacing : int32_t(spacingMs)};
    modplSetSettings(ctx, &timing);
    return true;
}

// A unit found: it is listed, its identity asked, and its record written.
void found(const RunSettings *settings, StackContext *ctx, ScanState *state, const Probe *probe,
           const ScanSetting *s, uint8_t index, RequestRecord *record) {
    state->seen[probe->unit] = true;
    state->units[state->found] = uint8_t(probe->unit);
    state->at[state->found++] = index;
    StackSettings probeTiming{}, longer{};
    modplGetSettings(ctx, &probeTiming);
    longer = probeTiming;
    if (!settings->timeoutGiven)
        longer.timeoutMs = identityTimeoutMs;
    modplSetSettings(ctx, &longer);
    identityCollect();
    for (uint8_t function : {identFcServerId, identFcDevice}) {
        uint8_t exception = 0;
        if (identityShow(ctx, function, probe->unit, &exception) == 0)
            printf("\nNo answer to function %d", function);
        if (interruptRequested())
            break;
    }
    modplSetSettings(ctx, &probeTiming);
    char where[32], format[4];
    if (ctx->link.isSerial)
        snprintf(where, sizeof where, "%d %s", s->baud, formatText(s, format));
    else
        where[0] = '\0';
    record->settings = where;
    record->identity = identityCollected();
    recordsWrite(record);
}

// Sends the probe and waits for its answer, once more when the connection broke on the way (the
// link rebuilds it as for any request): false when it could not be sent.
bool sendProbe(StackContext *ctx, ScanState *state, ModbusMessage *request, ModbusMessage *reply,
               Probe *probe) {
    for (int tries = 0; tries < 2 && !interruptRequested(); ++tries) {
        ++state->probes;
        if (modplSendRequest(ctx, probe->unit, request) != 1) {
            statsCount(state->stats, RequestResult::TransmitFailed, 0, 0);
            continue;
        }
        probe->sentAt = tickCount();
        probe->result = modplGetReply(ctx, reply);
        probe->outcome = modplLastReceive(ctx);
        if (probe->outcome != RxOutcome::Broken)
            return true;
        statsCount(state->stats, RequestResult::Timeout, 0, 0);
    }
    return false;
}

// A gateway's word for a unit it cannot reach: exception 0a (no path) or 0b (no response).
bool gatewayAbsent(ScanState *state, uint8_t exceptionCode) {
    if (exceptionCode != 0x0A && exceptionCode != 0x0B)
        return false;
    ++state->absent;
    state->absentCodes = uint8_t(state->absentCodes | (exceptionCode == 0x0A ? 1u : 2u));
    return true;
}

// A well-formed answer that the last receive dropped, from the probe unit that got none of its
// own, come after its time-out: the ms from that probe; -2 when it was a gateway's "absent"
// (counted so); -1 for none.
int32_t lateAnswer(const StackContext *ctx, ScanState *state, const Probe *probe) {
    StrayFrame stray{};
    if (probe->unit == 0 || probe->result != 0 || state->seen[probe->unit] ||
        !modplStrayFrame(ctx, &stray) || stray.unit != probe->unit)
        return -1;
    if (gatewayAbsent(state, stray.exceptionCode))
        return -2;
    return int32_t(uint32_t(stray.tick - probe->sentAt));
}

// Some devices (libmodbus's RTU slaves among them) take the frame that follows a request to
// another unit for that unit's answer, so they would swallow the next probe and lose step. A
// broadcast read between probes, which no device answers, is what they swallow instead; one
// that took it for a request ignores it. Serial lines only: a socket has no such listeners.
// It goes at once, the line having been quiet for the probe's time-out; then the line is heard
// a while, since the next probe's send drops what came before it.
void resync(StackContext *ctx, const ScanSetting *s) {
    static int16_t value[1];
    if (!ctx->link.isSerial)
        return;
    StackSettings timing{}, listen{};
    modplGetSettings(ctx, &timing);
    // Ten characters: an answer that begins within them is read to its end.
    const uint32_t tenChars =
        (10u * bitsPerChar(s) * 1000u + uint32_t(s->baud) - 1u) / uint32_t(s->baud);
    listen = {timing.waitForCts, int32_t(tenChars), 0};
    modplSetSettings(ctx, &listen);
    ModbusMessage broadcast{msgflag::kindRead, 3, 4, resyncOffset, 1, value, 1};
    ModbusMessage reply{0, 0, 4, resyncOffset, 1, value, 1};
    const bool sent = modplSendRequest(ctx, 0, &broadcast) == 1;
    if (sent)
        modplGetReply(ctx, &reply);
    modplSetSettings(ctx, &timing);
}

// A unit found by its late answer: named with the time from its probe, and counted.
void foundLate(const RunSettings *settings, StackContext *ctx, ScanState *state, const Probe *late,
               int32_t ms, const ScanSetting *s, uint8_t index, RequestRecord *record) {
    char text[32];
    printf("%sLate answer from unit %d%s after %d ms: give -RT more", lineStart(state), late->unit,
           settingText(ctx, s, text), ms);
    record->unit = uint8_t(late->unit);
    record->us = uint32_t(ms) * 1000u;
    record->result = RequestResult::Late;
    found(settings, ctx, state, late, s, index, record);
}

// Probes every unit of the range at the setting in force; false once the scan is to end.
bool probeRange(const RunSettings *settings, StackContext *ctx, const ScanSetting *s, uint8_t index,
                ScanState *state) {
    static int16_t values[1];
    char text[32];
    const char *where = settingText(ctx, s, text);
    uint16_t refType = 4, offset = 0;
    modplParseReference(settings->startreg, &refType, &offset);
    // Any holding register will do; -SR's when it names one.
    const char *probed = refType == 4 ? settings->startreg : "400001";
    offset = refType == 4 ? offset : uint16_t(0);
    Probe before{0, 0, 0, RxOutcome::Timeout};
    for (int32_t unit = settings->scanFirst; unit <= settings->scanLast; ++unit) {
        if (interruptRequested())
            return false;
        if (state->seen[unit])
            continue;
        if (state->terminal)
            showProgress(state, ctx, s, unit);
        ModbusMessage request{msgflag::kindRead, 3, 4, offset, 1, values, 1};
        ModbusMessage reply{0, 0, 4, offset, 1, values, 1};
        Probe probe{unit, 0, 0, RxOutcome::Timeout};
        if (!sendProbe(ctx, state, &request, &reply, &probe)) {
            if (interruptRequested())
                return false;
            state->untestedFrom = unit;
            state->untestedTo = settings->scanLast;
            printf("%sConnection lost: units %d to %d untested%s", lineStart(state), unit,
                   settings->scanLast, where);
            return false;
        }
        const uint32_t us = uint32_t(tickCount() - probe.sentAt) * 1000u;
        const bool exception = probe.result == 1 && (reply.functionCode & 0x80u) != 0;
        const uint8_t code = exception ? uint8_t(reply.refType & 0xFFu) : 0;
        const int32_t lateMs = probe.result == 0 ? lateAnswer(ctx, state, &before) : -1;
        // A gateway's late "absent" for the unit before is no answer to this probe.
        RequestResult result = lateMs >= 0        ? RequestResult::Late
                               : lateMs == -2     ? RequestResult::Timeout
                               : probe.result < 0 ? RequestResult::BadFrame
                                                  : statsResultOf(ctx, probe.result, &reply);
        statsCount(state->stats, result, code, us);
        RequestRecord record{state->probes,
                             0,
                             3,
                             4,
                             int32_t(offset) + 1,
                             result,
                             code,
                             us,
                             values,
                             result == RequestResult::Ok ? 1 : 0,
                             DataType::Int16,
                             WordOrder::Abcd,
                             nullptr,
                             nullptr};
        // A gateway says so for every unit it cannot reach: no device there.
        if (exception && gatewayAbsent(state, code)) {
            // counted
        } else if (probe.result != 0) {
            printf("%sFound unit %d%s: ", lineStart(state), unit, where);
            if (probe.result != 1)
                printf("an answer that is no read reply");
            else if (exception)
                printf("exception %2.2x", code);
            else
                printf("register %s = %d", probed, reply.count > 0 ? values[0] : 0);
            record.unit = uint8_t(unit);
            found(settings, ctx, state, &probe, s, index, &record);
            if (settings->sweep == 2)
                return false;
        } else if (lateMs >= 0) {
            foundLate(settings, ctx, state, &before, lateMs, s, index, &record);
            if (settings->sweep == 2)
                return false;
        } else if (lateMs == -1 &&
                   (probe.outcome == RxOutcome::BadFrame || probe.outcome == RxOutcome::Foreign)) {
            ++state->garbled;
            printf("%sGarbled answer to unit %d%s: likely a device with other line settings",
                   lineStart(state), unit, where);
        }
        before = probe;
        if (!ctx->link.isSerial)
            continue;
        resync(ctx, s);
        const int32_t heardMs = lateAnswer(ctx, state, &probe);
        if (heardMs >= 0) {
            ++state->stats->late;
            foundLate(settings, ctx, state, &probe, heardMs, s, index, &record);
            if (settings->sweep == 2)
                return false;
        }
    }
    return true;
}

} // namespace

uint32_t scanSweepOrder(ScanSetting *out) {
    uint32_t n = 0;
    // 9600 and 19200 in 8N1 and 8E1 first.
    for (int32_t rate : {9600, 19200})
        for (uint32_t f = 0; f < 2; ++f)
            out[n++] = {rate, formats[f][0], formats[f][1], formats[f][2]};
    for (const int8_t *format : formats)
        for (int32_t rate : rates)
            if (!((rate == 9600 || rate == 19200) && format[1] != 1 && format[2] == 1))
                out[n++] = {rate, format[0], format[1], format[2]};
    return n;
}

uint32_t scanProbeTimeoutMs(const ScanSetting *setting) {
    // 8 bytes out, 3.5 characters of silence, 7 bytes back: 18.5 character times.
    const uint32_t us = 185u * bitsPerChar(setting) * 100000u / uint32_t(setting->baud);
    return (us + 999u) / 1000u + scanMarginMs;
}

uint32_t scanSpacingMs(const ScanSetting *setting) {
    return (35u * bitsPerChar(setting) * 1000u / uint32_t(setting->baud) + 9u) / 10u + 1u;
}

int scanRun(const RunSettings *settings, StackContext *ctx, RunStats *stats) {
    static ScanState state;
    state = ScanState{};
    state.stats = stats;
    static ScanSetting order[scanSettingsMost];
    state.terminal = interruptOnTerminal();
    uint32_t n = 1;
    order[0] = {settings->baudRate, settings->dataBits, settings->parity, settings->stopBits};
    if (settings->sweep != 0 && ctx->link.isSerial)
        n = scanSweepOrder(order);
    // A lenient device at another parity answers anyway: only a checked parity tells.
    modplSetParityCheck(ctx, true);
    bool going = true;
    for (uint32_t i = 0; i < n && going; ++i) {
        if (!applySetting(settings, ctx, &order[i])) {
            printf("%sThe port refuses %d baud: skipped", lineStart(&state), order[i].baud);
            continue;
        }
        // What the last setting sent reached devices at this one as noise, and may have left
        // them inside a frame: they drop it after a pause (libmodbus after 500 ms).
        if (i > 0) {
            fflush(stdout);
            delayMs(settleMs);
        }
        going = probeRange(settings, ctx, &order[i], uint8_t(i), &state);
    }
    modplSetParityCheck(ctx, false);
    printf("%sScan done: %u unit%s found", lineStart(&state), state.found,
           state.found == 1 ? "" : "s");
    char where[32];
    for (uint32_t k = 0; k < state.found; ++k)
        printf("%s%d%s", k ? ", " : ": ", state.units[k],
               n > 1 ? settingText(ctx, &order[state.at[k]], where) : "");
    if (state.garbled != 0)
        printf("; %u garbled answer%s", state.garbled, state.garbled == 1 ? "" : "s");
    if (state.absent != 0)
        printf("; a gateway answered for %u absent unit%s (exception %s)", state.absent,
               state.absent == 1 ? "" : "s",
               state.absentCodes == 3   ? "0a and 0b"
               : state.absentCodes == 1 ? "0a"
                                        : "0b");
    if (state.untestedFrom != 0)
        printf("; units %d to %d untested", state.untestedFrom, state.untestedTo);
    if (interruptRequested())
        printf(" (interrupted)");
    return state.found != 0 && state.untestedFrom == 0 ? 0 : 2;
}
