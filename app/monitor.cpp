// The line monitor. A frame heard is a reply when it answers the request waiting (same unit, and
// the application layer's check of its function code, byte count or echo passes); anything
// else well-formed is a request, and the one waiting before it had no answer. A request left
// waiting longer than -RT had none either. A frame's time is that of the read that completed it
// less the character times of the bytes read behind it: a reply's time runs from its request's
// last byte to its own.
#include "app/monitor.h"

#include "app/cycle.h"
#include "app/records.h"
#include "stack/al/answer.h"
#include "stack/al/modpl.h"
#include "stack/dl/monitor.h"
#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int statusPortFailed = 3;
constexpr int statusRefused = 4;
constexpr uint32_t maxTimes = 65536;

struct UnitCounts {
    uint32_t exchanges, exceptions, noAnswers, crcErrors;
};

struct Heard {
    UnitCounts units[256];
    uint32_t noise, noiseBytes;
    // Reply times with their units, for each unit's mean, 99th percentile and maximum.
    uint32_t times[maxTimes];
    uint8_t timeUnits[maxTimes];
    uint32_t timeCount;
};

// The request waiting for its answer, decoded.
struct Waiting {
    bool active;
    bool known; // decoded: its start and count are shown
    uint8_t unit;
    uint32_t tick;
    AnswerAsked asked;
    ModbusMessage request;
    int16_t values[maxValues];
};

struct Monitor {
    RunSettings *settings;
    Heard heard;
    Waiting waiting;
    int16_t replyValues[maxValues];
    uint32_t shown;
    bool done;
};

bool unitShown(const RunSettings *s, uint8_t unit) {
    if (s->unitCount > 0)
        return std::find(s->units, s->units + s->unitCount, unit) != s->units + s->unitCount;
    return s->unitText == nullptr || unit == s->modslave;
}

bool functionShown(const RunSettings *s, uint8_t fc) {
    const uint8_t code = fc & 0x7F;
    if (!s->functionGiven)
        return true;
    if (s->functionSelector == selectorRead)
        return code >= 1 && code <= 4;
    if (s->functionSelector == selectorWrite)
        return code == 5 || code == 6 || code == 15 || code == 16;
    return code == s->functionSelector;
}

// One exchange as it is shown and recorded.
struct Exchange {
    uint8_t unit, function;
    bool hasUnit, hasStart, hasTime;
    uint16_t refType;
    int32_t first, count;
    const int16_t *values;
    int32_t valueCount;
    uint32_t us;
    char result[32];
};

// The line of one exchange; the record carries the same fields.
void show(Monitor *m, const Exchange &e) {
    const RunSettings *s = m->settings;
    if (e.hasUnit && (!unitShown(s, e.unit) || !functionShown(s, e.function)))
        return;
    const RequestRecord record{0,
                               e.unit,
                               e.function,
                               e.refType,
                               e.first,
                               RequestResult::Ok,
                               0,
                               e.us,
                               e.values,
                               e.valueCount,
                               e.refType < 2 ? DataType::Int16 : s->dataType,
                               s->wordOrder,
                               nullptr,
                               nullptr};
    if (!s->quiet || s->outputFormat == OutputFormat::Text) {
        char time[40];
        recordsTimestamp(time, sizeof time);
        printf("\n%s", time);
        if (e.hasUnit)
            printf(" unit %d fc %d", e.unit, e.function);
        if (e.hasStart)
            printf(" start %d%5.5d count %d", e.refType, e.first, e.count);
        if (e.valueCount > 0) {
            printf(" values");
            char text[typedTextSize * 6];
            for (int32_t i = 0, width = 1; i < e.valueCount && width > 0; i += width) {
                width = recordValueText(&record, i, text, sizeof text);
                printf(" %s", text);
            }
        }
        printf(" %s", e.result);
        if (e.hasTime)
            printf(" %u.%03u ms", e.us / 1000, e.us % 1000);
        fflush(stdout);
    }
    const HeardRecord heard{&record, e.count, e.result, e.hasUnit, e.hasStart, e.hasTime};
    recordsWriteHeard(&heard);
    // Noise ends no exchange.
    if (e.hasUnit && s->requestsGiven && ++m->shown >= uint32_t(uint16_t(s->numRequests)))
        m->done = true;
}

// The exchange of the request waiting: its unit, function, start, count and a write's values.
Exchange ofRequest(const Waiting &w) {
    Exchange e{};
    e.unit = w.unit;
    e.function = w.request.functionCode;
    e.hasUnit = true;
    e.hasStart = w.known;
    e.refType = w.request.refType;
    e.first = int32_t(w.request.offset) + 1;
    e.count = w.request.count;
    const bool write = (w.request.flags & msgflag::kindMask) == msgflag::kindWrite;
    e.values = w.values;
    e.valueCount = write && w.known ? std::min<int32_t>(w.request.count, maxValues) : 0;
    return e;
}

void countTime(Heard *h, uint8_t unit, uint32_t us) {
    if (h->timeCount < maxTimes) {
        h->timeUnits[h->timeCount] = unit;
        h->times[h->timeCount++] = us;
    }
}

// The request waiting had no answer; or, when the run ends first, its wait was cut short.
void noAnswer(Monitor *m, bool ended = false) {
    Waiting &w = m->waiting;
    if (!w.active)
        return;
    w.active = false;
    if (!ended) {
        ++m->heard.units[w.unit].exchanges;
        ++m->heard.units[w.unit].noAnswers;
    }
    Exchange e = ofRequest(w);
    snprintf(e.result, sizeof e.result, ended ? "interrupted" : "no answer");
    show(m, e);
}

// A reply to the request waiting: its values, or its exception.
void answered(Monitor *m, const uint8_t *pdu, uint32_t length, uint32_t tick) {
    Waiting &w = m->waiting;
    w.active = false;
    Exchange e = ofRequest(w);
    e.hasTime = true;
    e.us = tick - w.tick;
    ModbusMessage reply{};
    reply.values = m->replyValues;
    reply.capacity = maxValues;
    reply.count = w.request.count;
    reply.refType = w.request.refType;
    const int32_t decoded = modplDecodePdu(pdu, length, true, &reply);
    UnitCounts &u = m->heard.units[w.unit];
    ++u.exchanges;
    countTime(&m->heard, w.unit, e.us);
    if (reply.functionCode & 0x80) {
        ++u.exceptions;
        snprintf(e.result, sizeof e.result, "exception %d", reply.refType & 0xFF);
    } else {
        snprintf(e.result, sizeof e.result, decoded == 1 ? "ok" : "bad reply");
        if ((w.request.flags & msgflag::kindMask) == msgflag::kindRead && decoded == 1) {
            e.values = m->replyValues;
            e.valueCount = reply.count;
        }
    }
    show(m, e);
}

// Whether a frame that answers nothing has a request's form: the reads' and single writes'
// five PDU bytes, a multiple write's byte count, any other function code but an exception.
bool requestForm(const uint8_t *pdu, uint32_t length) {
    const uint8_t fc = pdu[0];
    if (fc >= 1 && fc <= 6)
        return length == 5;
    if (fc == 15 || fc == 16)
        return length >= 6 && length == 6u + pdu[5];
    return (fc & 0x80) == 0;
}

// A reply that follows no request of its unit: its values where it carries them.
void alone(Monitor *m, uint8_t unit, const uint8_t *pdu, uint32_t length) {
    ModbusMessage reply{};
    reply.values = m->replyValues;
    reply.capacity = maxValues;
    reply.count = maxValues;
    Exchange e{};
    e.unit = unit;
    e.function = pdu[0];
    e.hasUnit = true;
    const int32_t decoded = modplDecodePdu(pdu, length, true, &reply);
    if (pdu[0] & 0x80)
        snprintf(e.result, sizeof e.result, "exception %d alone", reply.refType & 0xFF);
    else
        snprintf(e.result, sizeof e.result, "reply alone");
    if (decoded == 1 && (reply.flags & msgflag::kindMask) == msgflag::kindRead) {
        e.values = m->replyValues;
        e.valueCount = reply.count;
    }
    ++m->heard.units[unit].exchanges;
    show(m, e);
}

// A frame that answers no request: a request when it has the form of one (a broadcast is shown
// at once, as nobody answers it), else a reply alone.
void request(Monitor *m, uint8_t unit, const uint8_t *pdu, uint32_t length, uint32_t tick) {
    if (!requestForm(pdu, length)) {
        alone(m, unit, pdu, length);
        return;
    }
    Waiting &w = m->waiting;
    w.request = ModbusMessage{};
    w.request.values = w.values;
    w.request.capacity = maxValues;
    w.known = modplDecodePdu(pdu, length, false, &w.request) == 1;
    answerKeep(&w.asked, pdu, length);
    w.unit = unit;
    w.tick = tick;
    w.active = unit != 0;
    if (unit == 0) {
        Exchange e = ofRequest(w);
        snprintf(e.result, sizeof e.result, "broadcast");
        ++m->heard.units[0].exchanges;
        show(m, e);
    }
}

void frame(Monitor *m, const MonitorItem &item) {
    const uint8_t unit = item.frame[0];
    const uint8_t *pdu = item.frame + 1;
    const uint32_t length = item.length - 3;
    Waiting &w = m->waiting;
    AnswerMismatch mismatch{};
    if (w.active && unit == w.unit && answerCheck(&w.asked, pdu, length, &mismatch) == 1) {
        answered(m, pdu, length, item.tick);
        return;
    }
    noAnswer(m);
    request(m, unit, pdu, length, item.tick);
}

void take(Monitor *m, const MonitorItem &item) {
    Exchange e{};
    switch (item.kind) {
    case MonitorKind::Frame:
        frame(m, item);
        return;
    case MonitorKind::BadCrc:
        e.unit = item.frame[0];
        e.function = item.frame[1];
        e.hasUnit = true;
        ++m->heard.units[e.unit].crcErrors;
        // The answer the request waited for, spoilt: that exchange ends here.
        if (m->waiting.active && m->waiting.unit == e.unit &&
            (m->waiting.request.functionCode == (e.function & 0x7F))) {
            m->waiting.active = false;
            ++m->heard.units[e.unit].exchanges;
            e = ofRequest(m->waiting);
        }
        snprintf(e.result, sizeof e.result, "bad CRC");
        show(m, e);
        return;
    case MonitorKind::Noise:
        ++m->heard.noise;
        m->heard.noiseBytes += item.length;
        snprintf(e.result, sizeof e.result, "noise %u bytes", item.length);
        show(m, e);
        return;
    }
}

void printUnitTimes(Heard *h, int unit) {
    static uint32_t mine[maxTimes];
    uint32_t n = 0;
    uint64_t total = 0;
    for (uint32_t i = 0; i < h->timeCount; ++i)
        if (h->timeUnits[i] == unit)
            total += (mine[n++] = h->times[i]);
    if (n == 0) {
        printf(", no replies");
        return;
    }
    const uint32_t rank = (99 * uint64_t(n) + 99) / 100 - 1;
    std::nth_element(mine, mine + rank, mine + n);
    const uint32_t p99 = mine[rank];
    const uint32_t most = *std::max_element(mine, mine + n);
    printf(", reply ms mean %.3f, 99th %u.%03u, max %u.%03u", double(total) / n / 1000.0,
           p99 / 1000, p99 % 1000, most / 1000, most % 1000);
}

void printCounts(Heard *h) {
    printf("\nMonitor statistics:");
    for (int unit = 0; unit < 256; ++unit) {
        const UnitCounts &u = h->units[unit];
        if (u.exchanges + u.crcErrors == 0)
            continue;
        printf("\n  Unit %3d: exchanges %u, exceptions %u, no answers %u, CRC errors %u", unit,
               u.exchanges, u.exceptions, u.noAnswers, u.crcErrors);
        printUnitTimes(h, unit);
    }
    printf("\n  Noise: %u bursts, %u bytes", h->noise, h->noiseBytes);
}

// Reads and shows until a stop, the reader gone or -RQ exchanges; 0, or 3 the port failed.
int listen(Monitor *m, StackContext *ctx) {
    static MonitorCutter cutter;
    static MonitorItem item;
    monitorPrepare(&ctx->link, &cutter);
    progressPrintf("\nListening: nothing is sent.");
    fflush(stdout);
    const uint64_t answerUs = uint64_t(std::max<int32_t>(m->settings->receiveTimeout, 0)) * 1000u;
    while (!m->done && !interruptRequested() && !recordsReaderGone()) {
        const int32_t read = monitorRead(&ctx->link, &cutter);
        if (read != 0 && !interruptRequested()) {
            printf("\nThe port failed while listening.");
            return statusPortFailed;
        }
        while (!m->done && monitorNext(&cutter, &item))
            take(m, item);
        if (m->waiting.active && uint32_t(tickMicros() - m->waiting.tick) > answerUs)
            noAnswer(m);
    }
    return 0;
}

} // namespace

int monitorRun(RunSettings *settings) {
    static StackContext ctx;
    // Static: the reply times alone take half a megabyte.
    static Monitor m;
    m.settings = settings;
    int status = statusRefused;
    interruptCatchSignals();
    if (settings->exitStatusTells && settings->refusal[0] != '\0') {
        printf("\nRun refused: %s.", settings->refusal);
    } else if (strchr(settings->portText, '/')) {
        printf("\nThe monitor listens on a serial port only.");
    } else {
        modplInstall(&ctx, modplMaster);
        progressPrintf("\nAbout to listen on port %s", settings->portText);
        fflush(stdout);
        modplSetPortTyped(&ctx, settings->portTyped);
        moddlSetReceiveOnly(&ctx.link, true);
        status = statusPortFailed;
        if (modplOpen(&ctx, settings->portText, settings->modslave) != 1) {
            runOpenFailed(&ctx);
        } else {
            if (settings->lineFormatGiven)
                modplSetLineFormat(&ctx, settings->dataBits, settings->parity, settings->stopBits);
            if (modplSetBaud(&ctx, settings->baudRate) != 1) {
                printf("\nBaud rate %d refused: the port runs it as %d", settings->baudRate,
                       modplGetBaud(&ctx));
            } else {
                status = listen(&m, &ctx);
                noAnswer(&m, true);
                if (settings->statistics)
                    printCounts(&m.heard);
            }
            modplClose(&ctx);
        }
    }
    return runFinish(settings, status);
}
