// The faults: parsing a spec, drawing from the run's generator, shaping an answer and sending
// its pieces. Every draw, hit or not, comes in the plan's order, so the same seed and the same
// requests give the same run.
#include "slave/fault.h"

#include "stack/dl/crc16.h"
#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t delayMostMs = 60000;
constexpr uint32_t gapMostMs = 10000;
constexpr uint32_t silentMost = 1000000;

struct KindName {
    const char *name;
    char arg; // '\0' none, '=' one number, '-' a number or a range, '/' pieces and a gap
    uint32_t least, most;
};
// In FaultKind's order.
const KindName kinds[] = {{"DROP", '\0', 0, 0},       {"DELAY", '-', 0, delayMostMs},
                          {"CRC", '\0', 0, 0},        {"TID", '\0', 0, 0},
                          {"SPLIT", '/', 2, 256},     {"NOISE", '=', 1, faultNoiseMost},
                          {"UNIT", '=', 0, 255},      {"TWICE", '\0', 0, 0},
                          {"EXCEPTION", '=', 1, 255}, {"SILENT", '=', 1, silentMost}};
static_assert(sizeof kinds / sizeof kinds[0] == uint32_t(FaultKind::Count));

// Whole decimal text of 1 to 10 digits, at most max, ending at end.
bool number(const char *text, const char *end, uint32_t max, uint32_t *out) {
    if (end <= text || end - text > 10)
        return false;
    uint64_t value = 0;
    for (const char *p = text; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + uint32_t(*p - '0');
    }
    *out = uint32_t(value);
    return value <= max;
}

void append(char *text, uint32_t size, const char *format, uint32_t a, uint32_t b = 0) {
    const size_t used = strlen(text);
    if (used + 1 < size)
        snprintf(text + used, size - used, format, a, b);
}

} // namespace

bool faultParse(FaultPlan *plan, const char *text) {
    if (plan->count >= faultSpecsMost)
        return false;
    const char *at = strchr(text, '@');
    const char *end = at ? at : text + strlen(text);
    const char *equals = strchr(text, '=');
    if (equals && equals > end)
        equals = nullptr;
    const char *nameEnd = equals ? equals : end;
    FaultSpec spec{FaultKind::Count, 100, 0, 0};
    for (uint32_t k = 0; k < uint32_t(FaultKind::Count); ++k)
        if (strlen(kinds[k].name) == size_t(nameEnd - text) &&
            strncmp(kinds[k].name, text, size_t(nameEnd - text)) == 0)
            spec.kind = FaultKind(k);
    if (spec.kind == FaultKind::Count)
        return false;
    const KindName &kind = kinds[uint32_t(spec.kind)];
    uint32_t percent = 100;
    if (at && !number(at + 1, at + strlen(at), 100, &percent))
        return false;
    spec.percent = uint8_t(percent);
    if ((kind.arg == '\0') != (equals == nullptr))
        return false;
    if (kind.arg != '\0') {
        const char *value = equals + 1;
        const char *mark = kind.arg == '=' ? nullptr : strchr(value, kind.arg);
        if (mark && mark > end)
            mark = nullptr;
        if (kind.arg == '/' && !mark)
            return false;
        const char *firstEnd = mark ? mark : end;
        if (!number(value, firstEnd, kind.most, &spec.low) || spec.low < kind.least)
            return false;
        spec.high = spec.low;
        if (mark && !number(mark + 1, end, kind.arg == '/' ? gapMostMs : kind.most, &spec.high))
            return false;
        if (kind.arg == '-' && spec.high < spec.low)
            return false;
    }
    plan->specs[plan->count++] = spec;
    return true;
}

bool faultParseSeed(FaultPlan *plan, const char *text) {
    if (!number(text, text + strlen(text), 0xFFFFFFFFu, &plan->seed))
        return false;
    plan->seedGiven = true;
    return true;
}

const char *faultFramingClash(const FaultPlan *plan, bool modbusTcp) {
    for (uint32_t i = 0; i < plan->count; ++i) {
        if (plan->specs[i].kind == FaultKind::Crc && modbusTcp)
            return "the crc fault needs RTU framing";
        if (plan->specs[i].kind == FaultKind::Tid && !modbusTcp)
            return "the tid fault needs Modbus TCP framing (-FRTCP)";
    }
    return nullptr;
}

void faultStart(FaultRun *run, const FaultPlan *plan) {
    *run = FaultRun{};
    run->plan = plan;
    run->seed = plan->seedGiven ? plan->seed
                                : uint32_t(uint64_t(time(nullptr)) * 2654435761u ^ tickMicros());
    run->state = run->seed;
}

uint32_t faultDraw(FaultRun *run, uint32_t bound) {
    // splitmix64: one 64-bit state, every draw a step
    uint64_t z = (run->state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    return bound ? uint32_t(z % bound) : 0;
}

void faultDecide(FaultRun *run, FaultHit *hit) {
    *hit = FaultHit{};
    if (run->silentLeft > 0) {
        --run->silentLeft;
        hit->kinds = 1u << uint32_t(FaultKind::Silent);
        ++run->counts[uint32_t(FaultKind::Silent)];
        return;
    }
    for (uint32_t i = 0; i < run->plan->count; ++i) {
        const FaultSpec &spec = run->plan->specs[i];
        if (faultDraw(run, 100) >= spec.percent)
            continue;
        switch (spec.kind) {
        case FaultKind::Silent:
            // The request that starts a silence is answered; a run is silent once.
            if (!run->silentStarted)
                run->silentLeft = spec.low;
            run->silentStarted = true;
            continue;
        case FaultKind::Delay:
            hit->delayMs = spec.low + faultDraw(run, spec.high - spec.low + 1);
            break;
        case FaultKind::Split:
            hit->pieces = spec.low;
            hit->gapMs = spec.high;
            break;
        case FaultKind::Noise:
            hit->noise = spec.low;
            break;
        case FaultKind::Unit:
            hit->unit = uint8_t(spec.low);
            break;
        case FaultKind::Exception:
            hit->exception = uint8_t(spec.low);
            break;
        default:
            break;
        }
        hit->kinds |= 1u << uint32_t(spec.kind);
    }
    // No answer has nothing else to show.
    if (faultHas(hit, FaultKind::Drop))
        hit->kinds = 1u << uint32_t(FaultKind::Drop);
    for (uint32_t k = 0; k < uint32_t(FaultKind::Count); ++k)
        run->counts[k] += hit->kinds >> k & 1u;
}

void faultText(const FaultHit *hit, char *text, uint32_t size) {
    text[0] = '\0';
    static const char *const formats[] = {
        ", drop",     ", delay %u ms", ", crc",   ", tid",       ", split %u/%u ms",
        ", noise %u", ", unit %u",     ", twice", ", exception", ", silent"};
    const uint32_t firsts[] = {0, hit->delayMs, 0, 0, hit->pieces, hit->noise, hit->unit, 0, 0, 0};
    for (uint32_t k = 0; k < uint32_t(FaultKind::Count); ++k)
        if (hit->kinds >> k & 1u)
            append(text, size, formats[k], firsts[k], hit->gapMs);
}

bool faultShape(FaultRun *run, const FaultHit *hit, const uint8_t *frame, uint32_t length,
                bool mbap, FaultAnswer *out, uint32_t now) {
    if (length == 0 || length > moddlFrameMost)
        return false;
    uint32_t n = 0;
    for (; n < hit->noise; ++n)
        out->bytes[n] = uint8_t(faultDraw(run, 256));
    uint8_t *f = out->bytes + n;
    memcpy(f, frame, length);
    if (faultHas(hit, FaultKind::Unit) && mbap) {
        f[6] = hit->unit;
    } else if (faultHas(hit, FaultKind::Unit)) {
        f[0] = hit->unit;
        const uint16_t crc = moddlCrc16(length - 2, f);
        f[length - 2] = uint8_t(crc & 0xFFu);
        f[length - 1] = uint8_t(crc >> 8);
    }
    if (faultHas(hit, FaultKind::Tid) && mbap) {
        // the transaction before: a late answer, as a master sees it
        const uint16_t tid = uint16_t((f[0] << 8 | f[1]) - 1);
        f[0] = uint8_t(tid >> 8);
        f[1] = uint8_t(tid);
    }
    if (faultHas(hit, FaultKind::Crc) && !mbap)
        f[length - 1] = uint8_t(f[length - 1] ^ 0xFFu);
    n += length;
    if (faultHas(hit, FaultKind::Twice)) {
        memcpy(out->bytes + n, f, length);
        n += length;
    }
    out->length = n;
    out->sent = 0;
    out->pieces = faultHas(hit, FaultKind::Split) ? (hit->pieces < n ? hit->pieces : n) : 1;
    out->gapMs = hit->gapMs;
    out->dueTick = now + hit->delayMs;
    out->active = true;
    return true;
}

int32_t faultPump(StackContext *ctx, FaultAnswer *answer, bool wait) {
    while (answer->active) {
        const uint32_t left = faultDueIn(answer, tickCount(), delayMostMs);
        if (left > 0 && (!wait || interruptRequested())) {
            if (!wait)
                return 0;
            answer->active = false;
            return -1;
        }
        if (left > 0) {
            interruptWaitMs(left);
            continue;
        }
        // A connection that never waits sends a piece once the one before has gone.
        if (!wait) {
            const int32_t flushed = modplFlush(ctx);
            if (flushed == 0)
                return 0;
            if (flushed < 0) {
                answer->active = false;
                return -1;
            }
        }
        const uint32_t rest = answer->length - answer->sent;
        const uint32_t size = (rest + answer->pieces - 1) / answer->pieces; // longer ones first
        if (modplWrite(ctx, answer->bytes + answer->sent, size) != 1) {
            answer->active = false;
            return -1;
        }
        answer->sent += size;
        answer->active = --answer->pieces > 0;
        answer->dueTick = tickCount() + answer->gapMs;
    }
    return 1;
}

uint32_t faultDueIn(const FaultAnswer *answer, uint32_t now, uint32_t most) {
    if (!answer->active)
        return most;
    const int32_t left = int32_t(answer->dueTick - now);
    return left <= 0 ? 0 : uint32_t(left) < most ? uint32_t(left) : most;
}

void faultCountText(const FaultRun *run, char *text, uint32_t size) {
    text[0] = '\0';
    uint32_t listed = 0;
    for (uint32_t i = 0; i < run->plan->count; ++i) {
        const uint32_t k = uint32_t(run->plan->specs[i].kind);
        if (listed >> k & 1u)
            continue;
        listed |= 1u << k;
        char name[12];
        size_t j = 0;
        for (; kinds[k].name[j] != '\0'; ++j)
            name[j] = char(kinds[k].name[j] - 'A' + 'a');
        name[j] = '\0';
        const size_t used = strlen(text);
        if (used + 1 < size)
            snprintf(text + used, size - used, "%s%s %u", listed == (1u << k) ? "" : ", ", name,
                     run->counts[k]);
    }
}
