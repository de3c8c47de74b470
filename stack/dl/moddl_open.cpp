// Link open, close and configuration: classifies the port text, binds the matching driver,
// sends the line and time-out defaults while the port is still closed, and derives the
// driver time-outs from the baud rate and the timing record.
#include "stack/dl/moddl.h"
#include "stack/drivers/clock.h"
#include "stack/trace/trace.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

constexpr int32_t defaultBaud = 9600;
constexpr LinkTiming defaultTiming{0, 0, 5, 2, 1800000};

constexpr uint32_t formatMask = line::dataBitsMask | line::parityMask | line::stopBitsMask;

// Start bit, data bits, parity bit and stop bits: 10 for 8N1.
int32_t bitsPerChar(uint32_t format) {
    const uint32_t data = 8u - ((format & line::dataBitsMask) >> line::dataBitsShift);
    const uint32_t parity = (format & line::parityMask) ? 1u : 0u;
    const uint32_t stop = (format & line::stopBitsMask) ? 2u : 1u;
    return int32_t(1u + data + parity + stop);
}

// Time of n characters of the line's format in microseconds.
// Wide enough that a very low rate cannot overflow.
int64_t charTimeUs(int16_t n, int32_t baud, uint32_t format) {
    return int64_t(n) * (int64_t(bitsPerChar(format)) * 1000000 / baud);
}

// Four decimal numbers from 0 to 255 with dots between. The system's own parser also takes
// "127.1", hex and octal, and answers an address for none of them, so "COM/" would connect to
// 255.255.255.255; a host text is checked here instead, and never looked up.
bool dottedQuad(const char *text) {
    for (int part = 0; part < 4; ++part, ++text) {
        int value = 0, digits = 0;
        for (; *text >= '0' && *text <= '9' && digits < 3; ++text, ++digits)
            value = value * 10 + (*text - '0');
        if (digits == 0 || value > 255 || *text != (part < 3 ? '.' : '\0'))
            return false;
    }
    return true;
}

// A refused port text binds nothing, and the caller still applies its settings after a failed
// open: leave empty slots and zero timing rather than whatever the context held.
int32_t refused(LinkContext *ctx) {
    ctx->port.table = PortDriver{};
    ctx->timing = LinkTiming{};
    ctx->timeoutMs = 0;
    ctx->baudRate = defaultBaud; // so the settings applied after this go silently nowhere
    return 0;
}

// 1 to 65535 in decimal digits: only a text with a port number is worth looking its host up.
bool portNumberText(const char *text) {
    long value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 6; ++text, ++digits)
        value = value * 10 + (*text - '0');
    return digits > 0 && *text == '\0' && value >= 1 && value <= 65535;
}

// Labels of digits or of 0x and hex digits, as "127.1", "0177.0.0.1", "0x7f.1" or "2130706433":
// the resolver reads each as an address, so an octet left out or a leading zero would reach
// another device. Such a text is refused, never looked up; a real name is never all of these.
bool numericForm(const char *text) {
    for (;; ++text) {
        if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            for (text += 2; std::isxdigit(static_cast<unsigned char>(*text));)
                ++text;
        while (*text >= '0' && *text <= '9')
            ++text;
        if (*text != '.')
            return *text == '\0';
    }
}

// Looked up once, at open: the dotted address takes the name's place in the link's copy of the
// port text, so a rebuilt connection goes to the same address.
bool resolveHost(LinkContext *ctx, char *slash) {
    char dotted[16];
    if (socketResolve(ctx->portText, dotted, sizeof dotted) != IoOk) {
        tracePrintf("\n\rmoddlOpen: host '%s' not found", ctx->portText);
        std::snprintf(ctx->openFailure, sizeof ctx->openFailure, "host '%.60s' not found",
                      ctx->portText);
        return false;
    }
    tracePrintf("\n\rmoddlOpen: host '%s' is %s", ctx->portText, dotted);
    char port[8];
    std::snprintf(port, sizeof port, "%s", slash + 1);
    std::memset(ctx->portText, 0, sizeof ctx->portText);
    ctx->openFailure[0] = '\0';
    std::memcpy(ctx->portText, dotted, std::strlen(dotted));
    std::memcpy(ctx->portText + std::strlen(dotted) + 1, port, std::strlen(port));
    return true;
}

int32_t clampMs(int32_t ms, uint32_t most) {
    if (ms < 0)
        return 0;
    return uint32_t(ms) > most ? int32_t(most) : ms;
}

// The defaults of a channel just bound, sent while it is still closed.
void setDefaults(LinkContext *ctx, uint8_t accepted) {
    ctx->accepted = accepted;
    ctx->connectionLost = 0;
    ctx->rxHeld = 0;
    ctx->framing = framingRtu;
    ctx->transactionId = 0;
    ctx->baudRate = defaultBaud;
    ctx->lineFormat = line::openDefault & formatMask;
    if (ctx->isSerial)
        ioControl(&ctx->port, SetBaud, uint32_t(defaultBaud));
    uint32_t word = line::openDefault;
    ioControl(&ctx->port, SetLineSettings, &word);
    moddlConfigure(ctx, &defaultTiming);
}

// The link interface of a channel just opened.
void linkUp(LinkContext *ctx, uint8_t unit) {
    if (ctx->role == 0)
        ctx->ownUnit = unit;
    LinkTimingRequest none{0, 0, 0};
    moddlSetTiming(ctx, &none);
    ctx->isOpen = 1;
}

} // namespace

int32_t moddlOpen(LinkContext *ctx, const char *portText) {
    tracePrintf("\n\rEnter moddlOpen('%s')", portText);
    // The link's copy must stay terminated, so a text that does not fit is refused.
    if (std::strlen(portText) >= moddlPortTextSize) {
        tracePrintf("\n\rmoddlOpen: port text too long.");
        return refused(ctx);
    }
    std::memset(ctx->portText, 0, sizeof ctx->portText);
    std::strncpy(ctx->portText, portText, moddlPortTextSize - 1);

    char *slash = std::strchr(ctx->portText, '/');
    if (!slash) {
        tracePrintf("\n\rmoddlOpen: serial connection.  Port == %s", portText);
        ctx->isSerial = 1;
        if (serialInstall(&ctx->port, portText) != 0)
            return 0;
        if (strcasecmp(ctx->portTyped, portText) == 0)
            serialSetTypedName(&ctx->port, ctx->portTyped);
        serialSetReceiveOnly(&ctx->port, ctx->receiveOnly);
        ioControl(&ctx->port, SetInQueueSize, uint32_t(1024));
        ioControl(&ctx->port, SetOutQueueSize, uint32_t(1024));
    } else {
        ctx->isSerial = 0;
        *slash = '\0';
        // "@address/port": a server on that address only.
        const bool server = ctx->portText[0] == '@' && dottedQuad(ctx->portText + 1);
        if (!server && !dottedQuad(ctx->portText) && ctx->portText[0]) {
            if (!portNumberText(slash + 1) || numericForm(ctx->portText)) {
                tracePrintf("\n\rmoddlOpen: host '%s' is not an IPv4 address", ctx->portText);
                return refused(ctx);
            }
            if (!resolveHost(ctx, slash))
                return refused(ctx);
        }
        if (!moddlCreateSocket(ctx))
            return 0;
    }

    setDefaults(ctx, 0);
    if (ioOpen(&ctx->port) != IoOk) {
        if (!ctx->isSerial)
            socketOpenFailure(&ctx->port, ctx->portText, ctx->openFailure, sizeof ctx->openFailure);
        return 0;
    }
    if (ctx->isSerial && serialOpenNote(&ctx->port)[0])
        tracePrintf("\n\rmoddlOpen: %s", serialOpenNote(&ctx->port));
    moddlStamp(ctx);
    return 1;
}

void moddlSetPortTyped(LinkContext *ctx, const char *typed) {
    std::snprintf(ctx->portTyped, sizeof ctx->portTyped, "%s", typed);
}

const char *moddlOpenFailure(const LinkContext *ctx) {
    if (ctx->isSerial)
        return serialOpenFailure(&ctx->port)[0] ? serialOpenFailure(&ctx->port) : nullptr;
    return ctx->openFailure[0] ? ctx->openFailure : nullptr;
}

void moddlRebuild(LinkContext *ctx) {
    ++ctx->rebuilds;
    tracePrintf("moddlRx: Close socket\n\r");
    int32_t closed = moddlClose(ctx);
    tracePrintf("moddlRx: recreate socket (%d)\n\r", closed);
    int32_t created = moddlCreateSocket(ctx);
    tracePrintf("moddlRx: Socket re-created.  Open now (%d)\n\r", created);
    // Binding anew resets the driver's time-out; the channel keeps the one it had.
    if (created)
        moddlSetBaud(ctx, ctx->baudRate);
    int32_t opened = ioOpen(&ctx->port);
    ctx->connectionLost = opened != IoOk;
    // Nothing read from the old connection belongs to the new one.
    ctx->rxHeld = 0;
    tracePrintf("moddlRx: reopened socket (%d)\n\r", opened == IoOk ? 0 : 1);
}

void moddlLost(LinkContext *ctx) {
    ctx->rxHeld = 0;
    if (ctx->accepted) {
        moddlClose(ctx);
        ctx->isOpen = 0;
    } else if (!ctx->isSerial) {
        moddlRebuild(ctx);
    } else {
        // A USB adapter pulled out comes back under the same name; the driver keeps the
        // settings for the next open.
        ioClose(&ctx->port);
        ctx->connectionLost = 1;
    }
}

int32_t moddlCreateSocket(LinkContext *ctx) {
    if (ctx->isSerial)
        return 0;
    int32_t installed;
    if (ctx->portText[0] == '\0') {
        const char *portNumber = ctx->portText + 1;
        tracePrintf("\n\rmoddlCreateSocket: server socket.  Port == %s", portNumber);
        installed = socketInstallServer(&ctx->port, portNumber);
    } else if (ctx->portText[0] == '@') {
        const char *portNumber = ctx->portText + std::strlen(ctx->portText) + 1;
        tracePrintf("\n\rmoddlCreateSocket: server socket.  Port == %s, address %s", portNumber,
                    ctx->portText + 1);
        installed = socketInstallServer(&ctx->port, portNumber, ctx->portText + 1);
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
    linkUp(ctx, unit);
    return 1;
}

int32_t moddlListen(LinkListener *listener, const char *portText) {
    const char *slash = std::strchr(portText, '/');
    tracePrintf("\n\rmoddlListen: server socket.  Port == %s", slash ? slash + 1 : portText);
    char address[16] = {};
    const size_t length = slash ? size_t(slash - portText) : 0;
    if (portText[0] == '@' && length > 1 && length <= sizeof address)
        std::memcpy(address, portText + 1, length - 1);
    if (slash != portText && !dottedQuad(address))
        return 0;
    const int32_t listening =
        socketListen(&listener->socket, slash + 1, address[0] ? address : nullptr);
    return listening == IoOk ? 1 : 0;
}

bool moddlIsAddress(const char *text) {
    return dottedQuad(text);
}

bool moddlServerText(char *out, uint32_t size, const char *portText, const char *address) {
    const int n = portText[0] == '/' && address
                      ? std::snprintf(out, size, "@%s%s", address, portText)
                      : std::snprintf(out, size, "%s", portText);
    return n >= 0 && uint32_t(n) < size;
}

int32_t moddlFlush(LinkContext *ctx) {
    uint32_t written = 0;
    const int32_t answer = ioWrite(&ctx->port, nullptr, 0, &written);
    if (answer == IoOk || answer == IoTimeout)
        return answer == IoOk ? 1 : 0;
    moddlLost(ctx);
    return -1;
}

int32_t moddlAccept(LinkListener *listener, LinkContext *ctx, uint8_t unit) {
    if (socketAccept(&listener->socket, &ctx->port) != IoOk)
        return 0;
    ctx->isSerial = 0;
    std::memset(ctx->portText, 0, sizeof ctx->portText);
    setDefaults(ctx, 1);
    moddlStamp(ctx);
    linkUp(ctx, unit);
    return 1;
}

int32_t moddlWait(LinkListener *listener, LinkContext *const *conns, uint32_t n, uint32_t timeoutMs,
                  uint8_t *ready) {
    PortChannel *channels[moddlWaitMost];
    if (n > moddlWaitMost)
        n = moddlWaitMost;
    for (uint32_t i = 0; i < n; ++i)
        channels[i] = &conns[i]->port;
    const int32_t answer = socketWaitAny(&listener->socket, channels, n, timeoutMs, ready);
    return answer == IoOk ? 1 : answer == IoTimeout ? 0 : -1;
}

void moddlUnlisten(LinkListener *listener) {
    socketUnlisten(&listener->socket);
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
    uint32_t totalMs =
        uint32_t(charTimeUs(ctx->timing.frameAllowance, baud, ctx->lineFormat) * 256 / 1000 +
                 int64_t(ctx->timing.timeoutBaseUs) / 1000);
    uint32_t charMs = uint32_t(charTimeUs(ctx->timing.charGap, baud, ctx->lineFormat) / 1000);
    ctx->baudRate = baud;
    if (totalMs == 0)
        totalMs = 1;
    if (charMs == 0)
        charMs = 1;
    // A connection served among others never waits: a read takes what has come, a write
    // goes out at once or not at all.
    const uint32_t driverMs = ctx->accepted ? 0 : totalMs;
    ioControl(&ctx->port, SetReadTimeout, driverMs);
    ioControl(&ctx->port, SetWriteTimeout, driverMs);
    if (ctx->isSerial) {
        ioControl(&ctx->port, SetCharTimeout, charMs);
        uint32_t runs = uint32_t(baud);
        if (ioControl(&ctx->port, SetBaud, uint32_t(baud)) != IoOk)
            ioControl(&ctx->port, GetBaud, &runs);
        // The device cannot run the rate: what it runs instead stays on record.
        if (runs != uint32_t(baud)) {
            ctx->baudRate = int32_t(runs);
            return 0;
        }
    }
    return 1;
}

int32_t moddlGetBaud(LinkContext *ctx) {
    return ctx->baudRate;
}

int32_t moddlSetLineFormat(LinkContext *ctx, int32_t dataBits, int32_t parity, int32_t stopBits) {
    if (dataBits < 5 || dataBits > 8 || parity < 0 || parity > 4 || stopBits < 1 || stopBits > 2)
        return 0;
    ctx->lineFormat = uint32_t(8 - dataBits) << line::dataBitsShift |
                      uint32_t(parity) << line::parityShift |
                      uint32_t(stopBits == 2 ? 2 : 0) << line::stopBitsShift;
    uint32_t word = 0;
    ioControl(&ctx->port, GetLineSettings, &word);
    word = (word & ~formatMask) | ctx->lineFormat;
    ioControl(&ctx->port, SetLineSettings, &word);
    return moddlSetBaud(ctx, ctx->baudRate);
}

int32_t moddlSetParityCheck(LinkContext *ctx, bool on) {
    uint32_t word = 0;
    if (!ctx->isSerial || ioControl(&ctx->port, GetLineSettings, &word) != IoOk)
        return 0;
    word = (word & ~line::parityCheckMask) | (on ? line::parityCheckMask : 0u);
    return ioControl(&ctx->port, SetLineSettings, &word) == IoOk ? 1 : 0;
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

bool moddlTakesUnit(const LinkContext *ctx, uint8_t unit) {
    return unit == ctx->ownUnit || (ctx->unitSet[unit >> 3] >> (unit & 7u) & 1u) != 0;
}

int32_t moddlSetTiming(LinkContext *ctx, const LinkTimingRequest *request) {
    LinkTiming timing = ctx->timing;
    // A negative time means 0; one past what the fields hold is cut to the most they hold,
    // so that no finite setting wraps into a wait of weeks.
    const int32_t timeoutMs = clampMs(request->timeoutMs, INT32_MAX / 1000);
    ctx->timeoutMs = timeoutMs;
    if (timeoutMs != 0) {
        timing.timeoutBaseUs = timeoutMs * 1000;
        timing.frameAllowance = 0;
    }
    timing.waitForCts = request->waitForCts;
    timing.minIntervalUs = uint32_t(clampMs(request->minIntervalMs, UINT32_MAX / 1000u)) * 1000u;
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
