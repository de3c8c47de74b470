// Faults a slave injects on purpose, the way real lines and devices misbehave, and the same way
// again for the same seed: the -FAULT specs as parsed, one generator every draw comes from, the
// decision for each request, the answer shaped into bytes and pieces and sent on time, and the
// counts by kind. Nothing is allocated: the caller holds every record.
#pragma once

#include "stack/al/modpl.h"

#include <cstdint>

enum class FaultKind : uint8_t {
    Drop,
    Delay,
    Crc,
    Tid,
    Split,
    Noise,
    Unit,
    Twice,
    Exception,
    Silent,
    Count
};

struct FaultSpec {
    FaultKind kind;
    uint8_t percent; // the share of requests it hits
    uint32_t low;    // delay: least ms; split: pieces; noise: bytes; unit, exception, silent: n
    uint32_t high;   // delay: most ms; split: gap ms
};

constexpr uint32_t faultSpecsMost = 16;
constexpr uint32_t faultNoiseMost = 255;

struct FaultPlan {
    FaultSpec specs[faultSpecsMost];
    uint32_t count;
    uint32_t seed;
    bool seedGiven;
};

// What one request got: the faults that hit it and their drawn values.
struct FaultHit {
    uint32_t kinds; // bit k for FaultKind k
    uint32_t delayMs;
    uint32_t pieces;
    uint32_t gapMs;
    uint32_t noise;
    uint8_t unit;
    uint8_t exception;
};

// The faults of a run: the plan, the generator and what the run has injected.
struct FaultRun {
    const FaultPlan *plan;
    uint32_t seed; // the plan's, or the one drawn for the run
    uint64_t state;
    bool silentStarted;
    uint32_t silentLeft;
    uint32_t counts[uint32_t(FaultKind::Count)];
};

// An answer being sent: noise, frame and its repeat, in pieces that go out when due.
struct FaultAnswer {
    uint8_t bytes[faultNoiseMost + 2 * moddlFrameMost];
    uint32_t length;
    uint32_t sent;
    uint32_t pieces; // left to send
    uint32_t gapMs;
    uint32_t dueTick;
    bool active;
    bool inPlace; // one channel: sent at once, its waits waited out
};

// A -FAULT value, as "DELAY=100-300@20" (upper case): adds it to the plan; false when it does
// not parse, is out of range or the plan is full.
bool faultParse(FaultPlan *plan, const char *text);
// A -SEED value, 0 to 4294967295.
bool faultParseSeed(FaultPlan *plan, const char *text);
// Why the plan cannot serve this framing, or nullptr.
const char *faultFramingClash(const FaultPlan *plan, bool modbusTcp);

// Starts a run of the plan: its seed, drawn now unless given.
void faultStart(FaultRun *run, const FaultPlan *plan);
// The generator's next draw, 0 to bound - 1.
uint32_t faultDraw(FaultRun *run, uint32_t bound);
// The faults one answered request gets, drawn in the plan's order.
void faultDecide(FaultRun *run, FaultHit *hit);
inline bool faultHas(const FaultHit *hit, FaultKind kind) {
    return (hit->kinds >> uint32_t(kind) & 1u) != 0;
}
// The hit's faults as they end a log line (", delay 250 ms, crc"), in text.
void faultText(const FaultHit *hit, char *text, uint32_t size);

// Shapes the answer's frame into out, due after the hit's delay from now: false when nothing is
// to go (the frame is empty).
bool faultShape(FaultRun *run, const FaultHit *hit, const uint8_t *frame, uint32_t length,
                bool mbap, FaultAnswer *out, uint32_t now);
// Sends what is due of the answer on ctx: 1 all sent, 0 some waits (its time or room for it),
// -1 the channel broke. With wait, the time to the next piece is waited out here.
int32_t faultPump(StackContext *ctx, FaultAnswer *answer, bool wait);
// How long until the answer's next piece is due, at most most ms; most when none is.
uint32_t faultDueIn(const FaultAnswer *answer, uint32_t now, uint32_t most);

// The counts by kind as the stop line tells them, ("drop 3, delay 1"), in text.
void faultCountText(const FaultRun *run, char *text, uint32_t size);
