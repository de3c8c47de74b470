// Link open, close and configuration: classifies the port text, binds the matching driver,
// sends the line and time-out defaults while the port is still closed, and derives the
// driver time-outs from the baud rate and the timing record.
#include "stack/dl/moddl.h"
#include "stack/drivers/clock.h"
#include "stack/trace/trace.h"

#include <cstring>

namespace {

constexpr int32_t defaultBaud = 9600;
constexpr LinkTiming defaultTiming{0, 0, 5, 2, 1800000};

// Time of n ten-bit characters in microseconds.
// Wide enough that a very low rate cannot overflow.
int64_t charTimeUs(int16_t n, int32_t baud) {
    return int64_t(n) * (10000000 / baud);
}

} // namespace

int32_t moddlOpen(LinkContext *ctx, const char *portText) {
    tracePrintf("\n\rEnter moddlOpen('%s')", portText);
    // The link's copy must stay terminated, so a text that does not fit is refused.
    if (std::strlen(portText) >= moddlPortTextSize) {
        tracePrintf("\n\rmoddlOpen: port text too long.");
        // Nothing is bound yet, and the caller still applies its settings after a failed
        // open: leave empty slots and zero timing rather than whatever the context held.
        ctx->port.table = PortDriver{};
        ctx->timing = LinkTiming{};
        ctx->timeoutMs = 0;
        return 0;
    }
    std::memset(ctx->portText, 0, sizeof ctx->portText);
    std::strncpy(ctx->portText, portText, moddlPortTextSize - 1);

    char *slash = std::strchr(ctx->portText, '/');
    if (!slash) {
        tracePrintf("\n\rmoddlOpen: serial connection.  Port == %s", portText);
        ctx->isSerial = 1;
        if (serialInstall(&ctx->port, portText) != 0)
            return 0;
        ioControl(&ctx->port, SetInQueueSize, uint32_t(1024));
        ioControl(&ctx->port, SetOutQueueSize, uint32_t(1024));
    } else {
        ctx->isSerial = 0;
        *slash = '\0';
        if (!moddlCreateSocket(ctx))
            return 0;
    }

    ctx->baudRate = defaultBaud;
    if (ctx->isSerial)
        ioControl(&ctx->port, SetBaud, uint32_t(defaultBaud));
    uint32_t word = line::openDefault;
    ioControl(&ctx->port, SetLineSettings, &word);
    moddlConfigure(ctx, &defaultTiming);

    if (ioOpen(&ctx->port) != IoOk)
        return 0;
    moddlStamp(ctx);
    return 1;
}

int32_t moddlCreateSocket(LinkContext *ctx) {
    if (ctx->isSerial)
        return 0;
    int32_t installed;
    if (ctx->portText[0] == '\0') {
        const char *portNumber = ctx->portText + 1;
        tracePrintf("\n\rmoddlCreateSocket: server socket.  Port == %s", portNumber);
        installed = socketInstallServer(&ctx->port, portNumber);
    } else {
        uint32_t i = 0;
        while (i < moddlPortTextSize - 1 && ctx->portText[i] != '\0')
            ++i;
        const char *portNumber = ctx->portText + i + 1;
        tracePrintf("\n\rmoddlCreateSocket: client socket.  Port == %s", portNumber);
        installed = socketInstallClient(&ctx->port, portNumber, ctx->portText);
    }
    return installed == 0 ? 1 : 0;
}

int32_t moddlClose(LinkContext *ctx) {
    if (ioClose(&ctx->port) != IoOk)
        return 0;
    int32_t released = ctx->isSerial ? serialRelease(&ctx->port) : socketRelease(&ctx->port);
    return released == 0 ? 1 : 0;
}

int32_t moddlLinkOpen(LinkContext *ctx, const char *portText, uint8_t unit) {
    if (!moddlOpen(ctx, portText))
        return 0;
    if (ctx->role == 0)
        ctx->ownUnit = unit;
    LinkTimingRequest none{0, 0, 0};
    moddlSetTiming(ctx, &none);
    ctx->isOpen = 1;
    return 1;
}

int32_t moddlLinkClose(LinkContext *ctx) {
    ctx->isOpen = 0;
    return moddlClose(ctx);
}

int32_t moddlSetBaud(LinkContext *ctx, int32_t baud) {
    if (baud <= 0) {
        tracePrintf("\n\rmoddlSetBaud: invalid baud rate %d", baud);
        return 0;
    }
    uint32_t totalMs = uint32_t(charTimeUs(ctx->timing.frameAllowance, baud) * 256 / 1000 +
                                int64_t(ctx->timing.timeoutBaseUs) / 1000);
    uint32_t charMs = uint32_t(charTimeUs(ctx->timing.charGap, baud) / 1000);
    ctx->baudRate = baud;
    if (totalMs == 0)
        totalMs = 1;
    if (charMs == 0)
        charMs = 1;
    ioControl(&ctx->port, SetReadTimeout, totalMs);
    ioControl(&ctx->port, SetWriteTimeout, totalMs);
    if (ctx->isSerial) {
        ioControl(&ctx->port, SetCharTimeout, charMs);
        ioControl(&ctx->port, SetBaud, uint32_t(baud));
    }
    return 1;
}

int32_t moddlGetBaud(LinkContext *ctx) {
    return ctx->baudRate;
}

int32_t moddlConfigure(LinkContext *ctx, const LinkTiming *timing) {
    if (ctx->isSerial) {
        uint32_t word = 0;
        ioControl(&ctx->port, GetLineSettings, &word);
        word = (word & ~line::rtsMask) | (2u << line::rtsShift);
        word = (word & ~line::ctsMask) | ((timing->waitForCts ? 1u : 0u) << line::ctsShift);
        if (ioControl(&ctx->port, SetLineSettings, &word) != IoOk)
            return 0;
    }
    ctx->timing = *timing;
    moddlSetBaud(ctx, ctx->baudRate);
    return 1;
}

int32_t moddlSetTiming(LinkContext *ctx, const LinkTimingRequest *request) {
    LinkTiming timing = ctx->timing;
    ctx->timeoutMs = request->timeoutMs;
    if (request->timeoutMs != 0) {
        timing.timeoutBaseUs = int32_t(int64_t(request->timeoutMs) * 1000);
        timing.frameAllowance = 0;
    }
    timing.waitForCts = request->waitForCts;
    timing.minIntervalUs = uint32_t(request->minIntervalMs) * 1000u;
    return moddlConfigure(ctx, &timing);
}

int32_t moddlGetTiming(LinkContext *ctx, LinkTimingRequest *request) {
    request->waitForCts = ctx->timing.waitForCts;
    request->minIntervalMs = int32_t(ctx->timing.minIntervalUs / 1000u);
    request->timeoutMs = ctx->timeoutMs;
    return 1;
}

void moddlStamp(LinkContext *ctx) {
    ctx->lastIoTick = tickCount();
}
