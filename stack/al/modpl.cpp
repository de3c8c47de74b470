// The stack interface: install in a role, open and close the link, and the configuration,
// unit and counter operations. Everything is kept in the caller's stack context.
#include "stack/al/modpl.h"

#include <cstring>

namespace {

// Maximum count and enabled flag by reference type; type 2 has no Modbus data.
constexpr TypeLimit defaultLimits[5] = {{2000, 1}, {2000, 1}, {0, 0}, {125, 1}, {125, 1}};

} // namespace

int32_t modplInstall(StackContext *ctx, int32_t role) {
    ctx->alRole = role;
    if (role > 1)
        return 0;
    for (int i = 0; i < 5; ++i)
        ctx->typeLimits[i] = defaultLimits[i];
    ctx->link.role = role;
    ctx->link.isOpen = 0;
    ctx->identity = nullptr;
    ctx->registers = nullptr;
    ctx->status = nullptr;
    std::memset(ctx->busCounts, 0, sizeof ctx->busCounts);
    ctx->asked.length = 0;
    std::memset(ctx->link.unitSet, 0, sizeof ctx->link.unitSet);
    return 1;
}

int32_t modplOpen(StackContext *ctx, const char *portText, int32_t unit) {
    if (!moddlLinkOpen(&ctx->link, portText, uint8_t(unit)))
        return 0;
    const StackSettings zero{0, 0, 0};
    modplSetSettings(ctx, &zero);
    return 1;
}

void modplSetPortTyped(StackContext *ctx, const char *typed) {
    moddlSetPortTyped(&ctx->link, typed);
}

const char *modplOpenFailure(const StackContext *ctx) {
    return moddlOpenFailure(&ctx->link);
}

int32_t modplClose(StackContext *ctx) {
    return moddlLinkClose(&ctx->link) ? 1 : 0;
}

int32_t modplSetBaud(StackContext *ctx, int32_t baud) {
    return moddlSetBaud(&ctx->link, baud) ? 1 : 0;
}

int32_t modplSetLineFormat(StackContext *ctx, int32_t dataBits, int32_t parity, int32_t stopBits) {
    return moddlSetLineFormat(&ctx->link, dataBits, parity, stopBits) ? 1 : 0;
}

int32_t modplSetParityCheck(StackContext *ctx, bool on) {
    return moddlSetParityCheck(&ctx->link, on);
}

int32_t modplGetBaud(StackContext *ctx) {
    return moddlGetBaud(&ctx->link);
}

int32_t modplSetUnit(StackContext *ctx, int32_t unit) {
    const uint8_t address = uint8_t(unit);
    if (address > 247)
        return 0;
    ctx->link.ownUnit = address;
    return 1;
}

void modplSetUnits(StackContext *ctx, const uint8_t units[32]) {
    std::memcpy(ctx->link.unitSet, units, sizeof ctx->link.unitSet);
}

int32_t modplSetFraming(StackContext *ctx, bool modbusTcp) {
    return moddlSetFraming(&ctx->link, modbusTcp ? framingMbap : framingRtu);
}

int32_t modplGetSettings(StackContext *ctx, StackSettings *settings) {
    LinkTimingRequest request{0, 0, 0};
    moddlGetTiming(&ctx->link, &request);
    settings->waitForCts = request.waitForCts;
    settings->timeoutMs = request.timeoutMs;
    settings->minIntervalMs = request.minIntervalMs;
    return 1;
}

int32_t modplSetSettings(StackContext *ctx, const StackSettings *settings) {
    // The link takes the same three values with the interval before the time-out.
    const LinkTimingRequest request{settings->waitForCts, settings->minIntervalMs,
                                    settings->timeoutMs};
    return moddlSetTiming(&ctx->link, &request) ? 1 : 0;
}

int32_t modplGetCounts(StackContext *ctx, uint32_t out[2]) {
    out[0] = ctx->alCounts[0];
    out[1] = ctx->alCounts[1];
    return 1;
}

int32_t modplGetPeerUnit(StackContext *ctx) {
    return ctx->link.peerUnit;
}

int32_t modplResetCounts(StackContext *ctx) {
    ctx->alCounts[0] = 0;
    ctx->alCounts[1] = 0;
    moddlResetCounts(&ctx->link);
    return 1;
}

RxOutcome modplLastReceive(const StackContext *ctx) {
    return ctx->link.lastRx;
}

int32_t modplPace(StackContext *ctx) {
    moddlPace(&ctx->link, ctx->link.timing.minIntervalUs);
    return 1;
}

bool modplStrayFrame(const StackContext *ctx, StrayFrame *out) {
    const uint8_t code = ctx->link.strayPdu[0];
    *out = {ctx->link.strayUnit, code, uint8_t(code & 0x80u ? ctx->link.strayPdu[1] : 0),
            ctx->link.strayTick};
    return ctx->link.strayFrame;
}

uint32_t modplRebuildCount(const StackContext *ctx) {
    return ctx->link.rebuilds;
}

int32_t modplIsOpen(StackContext *ctx) {
    return ctx->link.isOpen && !ctx->link.connectionLost ? 1 : 0;
}

int32_t modplPending(StackContext *ctx) {
    return ctx->link.rxHeld;
}

int32_t modplListen(ModplListener *listener, const char *portText) {
    return moddlListen(&listener->link, portText);
}

bool modplIsAddress(const char *text) {
    return moddlIsAddress(text);
}

bool modplServerText(char *out, uint32_t size, const char *portText, const char *address) {
    return moddlServerText(out, size, portText, address);
}

int32_t modplFlush(StackContext *ctx) {
    return moddlFlush(&ctx->link);
}

int32_t modplAccept(ModplListener *listener, StackContext *ctx, int32_t unit) {
    if (!moddlAccept(&listener->link, &ctx->link, uint8_t(unit)))
        return 0;
    const StackSettings zero{0, 0, 0};
    modplSetSettings(ctx, &zero);
    return 1;
}

int32_t modplWait(ModplListener *listener, StackContext *const *conns, uint32_t n,
                  uint32_t timeoutMs, uint8_t *ready) {
    LinkContext *links[moddlWaitMost];
    if (n > moddlWaitMost)
        n = moddlWaitMost;
    for (uint32_t i = 0; i < n; ++i)
        links[i] = &conns[i]->link;
    return moddlWait(&listener->link, links, n, timeoutMs, ready);
}

void modplUnlisten(ModplListener *listener) {
    moddlUnlisten(&listener->link);
}
