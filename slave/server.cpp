// The TCP server of korvalen-slave: one listening socket for the whole run and a stack context
// for each master, all served in one thread. One wait covers the listener and every
// connection; a connection is served only when it has something to read, and only so many
// requests a round, so that no master, silent, slow or flooding, holds up the others.
#include "slave/serve.h"

#include "stack/drivers/interrupt.h"

#include <cstdio>

namespace {

constexpr uint32_t requestsPerRound = 8;

// Takes every master waiting into a free context; one that finds none free is closed at once.
void acceptAll(ModplListener *listener, StackContext *conns, const SlaveSettings *s) {
    for (;;) {
        StackContext *free = nullptr;
        for (uint32_t i = 0; i < slaveMaxMasters && !free; ++i)
            if (!modplIsOpen(&conns[i]))
                free = &conns[i];
        static StackContext spare;
        StackContext *ctx = free ? free : &spare;
        modplInstall(ctx, modplSlave);
        if (modplAccept(listener, ctx, s->unit) != 1)
            return;
        modplSetUnits(ctx, s->units);
        identServeFrom(ctx, &s->identity);
        const StackSettings settings{0, slaveReceiveTimeoutMs, 0};
        modplSetSettings(ctx, &settings);
        modplSetFraming(ctx, s->modbusTcp);
        if (!free) {
            printf("\nkorvalen-slave: %u masters connected; one more turned away", slaveMaxMasters);
            modplClose(ctx);
        }
    }
}

// Serves what the connection holds, up to requestsPerRound requests; true when it may hold
// more that is complete.
bool serveConnection(StackContext *ctx, SlaveImage *image, ModbusMessage *m, uint32_t *served,
                     uint32_t maxRequests) {
    for (uint32_t k = 0; k < requestsPerRound; ++k) {
        if (maxRequests != 0 && *served >= maxRequests)
            return false;
        const int32_t was = modplPending(ctx);
        const bool took = serveRequest(ctx, image, m, *served + 1);
        if (took)
            ++*served;
        const int32_t now = modplPending(ctx);
        // What is held waits for more bytes once a receive could take nothing from it.
        if (now == 0 || (!took && now == was))
            return false;
    }
    return modplPending(ctx) > 0;
}

} // namespace

int serveMasters(const SlaveSettings *s, SlaveImage *image) {
    // Static: a context per master holds the link's buffers and the driver state.
    static ModplListener listener;
    static StackContext conns[slaveMaxMasters];
    static int16_t values[slaveMaxValues];
    ModbusMessage message{};
    message.values = values;
    message.capacity = slaveMaxValues;

    if (modplListen(&listener, s->portText) != 1) {
        fprintf(stderr, "\nkorvalen-slave: cannot open port '%s'\n", s->portText);
        return slaveStatusFailed;
    }
    uint32_t served = 0;
    bool more[slaveMaxMasters] = {};
    bool anyMore = false;
    bool anyMaster = false;
    while (!interruptRequested() && (s->maxRequests == 0 || served < s->maxRequests)) {
        StackContext *live[slaveMaxMasters];
        uint32_t index[slaveMaxMasters];
        uint32_t n = 0;
        for (uint32_t i = 0; i < slaveMaxMasters; ++i)
            if (modplIsOpen(&conns[i]))
                live[n] = &conns[i], index[n++] = i;
        uint8_t ready[1 + slaveMaxMasters] = {};
        // Requests already held are served without waiting for more to arrive.
        if (modplWait(&listener, live, n, anyMore ? 0 : 1000, ready) < 0) {
            if (interruptRequested())
                break;
            fprintf(stderr, "\nkorvalen-slave: the wait for masters failed\n");
            return slaveStatusFailed;
        }
        if (ready[0]) {
            acceptAll(&listener, conns, s);
            anyMaster = true;
        }
        anyMore = false;
        for (uint32_t j = 0; j < n; ++j) {
            bool &again = more[index[j]];
            if (ready[1 + j] || again)
                again = serveConnection(live[j], image, &message, &served, s->maxRequests);
            anyMore = anyMore || again;
        }
    }
    for (StackContext &ctx : conns)
        if (modplIsOpen(&ctx))
            modplClose(&ctx);
    modplUnlisten(&listener);
    if (!anyMaster && interruptRequested())
        printf("\nkorvalen-slave: stopped before a master came\n");
    else
        logStop(served);
    return slaveStatusOk;
}
