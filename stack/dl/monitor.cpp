// The line monitor's frame cutter and its reading. A frame is looked for at the first byte
// held: the lengths its function code implies, as request and as reply, are tried shortest
// first. Only when none of them can still complete (all are held and fail, the line went quiet,
// or the buffer is full) is a later start looked for; what lies before it is bad or noise.
#include "stack/dl/monitor.h"

#include "stack/dl/crc16.h"
#include "stack/drivers/clock.h"

#include <cstring>

namespace {

constexpr uint32_t minFrame = 4; // unit, function code, CRC
constexpr uint32_t mostLengths = 2;

// The lengths a frame starting at f (avail bytes there) may have by its function code: as a
// request and as a reply, 0 where the length depends on a byte not yet heard (then *pending).
// Their number; 0 for a function code that implies none.
uint32_t impliedLengths(const uint8_t *f, uint32_t avail, uint32_t *lengths, bool *pending) {
    // A count byte at position at, plus a fixed part; 0 while the count is not heard.
    auto counted = [&](uint32_t at, uint32_t fixed) -> uint32_t {
        if (avail > at)
            return fixed + f[at];
        *pending = true;
        return 0;
    };
    *pending = false;
    const uint8_t fc = f[1];
    uint32_t n = 0;
    auto add = [&](uint32_t a, uint32_t b) {
        lengths[n++] = a;
        if (b != a)
            lengths[n++] = b;
    };
    if (fc & 0x80) {
        add(5, 5);
        return n;
    }
    switch (fc) {
    case 1:
    case 2:
    case 3:
    case 4:
        add(8, counted(2, 5));
        break;
    case 5:
    case 6:
    case 8:
        add(8, 8);
        break;
    case 7:
        add(4, 5);
        break;
    case 11:
        add(4, 8);
        break;
    case 12:
    case 17:
        add(4, counted(2, 5));
        break;
    case 15:
    case 16:
        add(counted(6, 9), 8);
        break;
    case 20:
    case 21: {
        const uint32_t both = counted(2, 5);
        add(both, both);
        break;
    }
    case 22:
        add(10, 10);
        break;
    case 23:
        add(counted(10, 13), counted(2, 5));
        break;
    case 24:
        add(6, avail > 3 ? 6u + (uint32_t(f[2]) << 8 | f[3]) : counted(3, 0));
        break;
    default:
        break;
    }
    return n;
}

bool checks(const uint8_t *f, uint32_t length) {
    return moddlCrc16(length, f) == 0;
}

// The first length from minFrame on at which the CRC run over f comes to 0; 0 for none.
uint32_t runningEnd(const uint8_t *f, uint32_t avail) {
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < avail && i < moddlMaxFrame; ++i) {
        crc = moddlCrc16Step(crc, f[i]);
        if (crc == 0 && i + 1 >= minFrame)
            return i + 1;
    }
    return 0;
}

// What is known of a frame at f: its length when one checks (*length), and whether a longer
// one may still complete as more bytes come.
struct Look {
    uint32_t length; // of the frame that checks; 0 for none
    bool mayGrow;    // an implied length is not yet held, or its count byte not yet heard
    bool implied;    // the function code implies lengths
    uint32_t lengths[mostLengths];
    uint32_t count;
};

Look look(const uint8_t *f, uint32_t avail) {
    Look k{};
    if (avail < 2) {
        k.mayGrow = true;
        return k;
    }
    bool pending = false;
    k.count = impliedLengths(f, avail, k.lengths, &pending);
    k.implied = k.count > 0;
    k.mayGrow = pending;
    uint32_t best = 0;
    for (uint32_t i = 0; i < k.count; ++i) {
        const uint32_t l = k.lengths[i];
        if (l < minFrame || l > moddlMaxFrame)
            continue;
        if (l > avail)
            k.mayGrow = true;
        else if (checks(f, l) && (best == 0 || l < best))
            best = l;
    }
    if (!k.implied) {
        best = runningEnd(f, avail);
        k.mayGrow = best == 0 && avail < moddlMaxFrame;
    }
    k.length = best;
    return k;
}

bool impliedLength(const Look &k, uint32_t length) {
    for (uint32_t i = 0; i < k.count; ++i)
        if (k.lengths[i] == length)
            return true;
    return false;
}

void take(MonitorCutter *c, MonitorItem *item, MonitorKind kind, uint32_t length) {
    item->kind = kind;
    item->length = length;
    const uint32_t behind = c->held - c->head - length;
    item->tick = c->tick - uint32_t(uint64_t(behind) * c->byteNs / 1000);
    if (kind != MonitorKind::Noise)
        std::memcpy(item->frame, c->bytes + c->head, length);
    c->head += length;
    if (c->head == c->held)
        c->head = c->held = 0;
}

// Bytes before a later frame, or all that is held: a frame with a bad CRC when they are as
// long as the function code of their first byte implies, noise otherwise.
void takeJunk(MonitorCutter *c, MonitorItem *item, const Look &first, uint32_t length) {
    const bool bad = length >= minFrame && impliedLength(first, length);
    take(c, item, bad ? MonitorKind::BadCrc : MonitorKind::Noise, length);
}

} // namespace

void monitorReset(MonitorCutter *cutter) {
    cutter->byteNs = cutter->quietMs = 0;
    cutter->head = cutter->held = 0;
    cutter->quiet = false;
    cutter->tick = 0;
    cutter->waitMs = 0;
}

uint32_t monitorPush(MonitorCutter *c, const uint8_t *bytes, uint32_t n, uint32_t tick) {
    if (c->head > 0) {
        std::memmove(c->bytes, c->bytes + c->head, c->held - c->head);
        c->held -= c->head;
        c->head = 0;
    }
    const uint32_t room = monitorCapacity - c->held;
    const uint32_t taken = n < room ? n : room;
    std::memcpy(c->bytes + c->held, bytes, taken);
    c->held += taken;
    c->tick = tick;
    if (taken > 0)
        c->quiet = false;
    return taken;
}

void monitorQuiet(MonitorCutter *cutter) {
    cutter->quiet = true;
}

bool monitorNext(MonitorCutter *c, MonitorItem *item) {
    const uint8_t *f = c->bytes + c->head;
    const uint32_t avail = c->held - c->head;
    if (avail == 0)
        return false;
    const Look first = look(f, avail);
    if (first.length > 0) {
        take(c, item, MonitorKind::Frame, first.length);
        return true;
    }
    const bool full = avail == monitorCapacity;
    if (first.mayGrow && !c->quiet && !full)
        return false;
    // Nothing can start at the first byte: the first later start where a frame checks.
    for (uint32_t s = 1; s + minFrame <= avail; ++s) {
        const Look later = look(f + s, avail - s);
        if (later.length > 0) {
            takeJunk(c, item, first, s);
            return true;
        }
    }
    if (!c->quiet && !full)
        return false;
    // A full buffer keeps its last frame's worth, which may yet become a frame.
    takeJunk(c, item, first, c->quiet ? avail : avail - moddlMaxFrame);
    return true;
}

void moddlSetReceiveOnly(LinkContext *ctx, bool on) {
    ctx->receiveOnly = on;
}

void monitorPrepare(LinkContext *ctx, MonitorCutter *c) {
    monitorReset(c);
    uint32_t word = 0;
    ioControl(&ctx->port, GetLineSettings, &word);
    const uint32_t data = 8u - ((word & line::dataBitsMask) >> line::dataBitsShift);
    const uint32_t bits =
        2u + data + ((word & line::parityMask) ? 1u : 0u) + ((word & line::stopBitsMask) ? 1u : 0u);
    const uint32_t baud = ctx->baudRate > 0 ? uint32_t(ctx->baudRate) : 9600u;
    c->byteNs = uint32_t(uint64_t(bits) * 1000000000u / baud);
    const uint32_t gapMs = uint32_t((2ull * c->byteNs + 999999u) / 1000000u);
    ioControl(&ctx->port, SetCharTimeout, gapMs);
    const uint32_t fourMs = uint32_t((4ull * c->byteNs + 999999u) / 1000000u);
    c->quietMs = fourMs > 20 ? fourMs : 20;
}

int32_t monitorRead(LinkContext *ctx, MonitorCutter *c) {
    if (c->waitMs != c->quietMs) {
        ioControl(&ctx->port, SetReadTimeout, c->quietMs);
        c->waitMs = c->quietMs;
    }
    uint8_t buffer[monitorCapacity];
    const uint32_t room = monitorCapacity - (c->held - c->head);
    uint32_t count = 0;
    const int32_t result = ioRead(&ctx->port, buffer, room, &count);
    moddlStamp(ctx);
    if (result == IoOk || (result == IoTimeout && count == 0)) {
        monitorPush(c, buffer, count, tickMicros());
        // A whole quiet time without a byte. A pause between a frame's bytes is no end of it: USB
        // adapters and busy hosts hand a line's bytes over in packets.
        if (count == 0)
            monitorQuiet(c);
        return 0;
    }
    return result == IoBroken || result == IoNotOpen ? 2 : 3;
}
