// The TCP server of korvalen-slave: one listening socket for the whole run and a stack context
// for each master, all served in one thread. One wait covers the listener and every
// connection; a connection is served only when it has something to read, only so many
// requests a round, and only while its answers go out whole, so that no master, silent, slow,
// flooding or not reading, holds up the others. No master keeps its slot for ever: a new one
// takes the slot of the master silent longest when the table is full, and silence past the
// idle time-out closes a connection.
#include "slave/serve.h"
#include "slave/table.h"

#include "stack/drivers/clock.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <cstdio>

namespace {

constexpr uint32_t requestsPerRound = 8;
// How long an answer may wait for a master that reads nothing when no idle time-out is set.
constexpr uint32_t stallMostMs = 60000;

struct Masters {
    StackContext conns[slaveMaxMasters];
    uint32_t lastActive[slaveMaxMasters];
    bool more[slaveMaxMasters];           // may hold a complete request: served without a wait
    bool held[slaveMaxMasters];           // part of an answer waits for the master to read
    FaultAnswer answers[slaveMaxMasters]; // a faulted answer that goes out later
};

void setUp(StackContext *ctx, const SlaveSettings *s) {
    modplSetUnits(ctx, s->units);
    identServeFrom(ctx, &s->identity);
    const StackSettings settings{0, slaveReceiveTimeoutMs, 0};
    modplSetSettings(ctx, &settings);
    modplSetFraming(ctx, s->modbusTcp);
}

// Takes every master waiting: into a free slot, or into the slot of the master silent longest,
// which is closed for it.
void acceptAll(ModplListener *listener, Masters *t, const SlaveSettings *s, uint32_t now) {
    // Static: a context holds the link's buffers; a master waits here until it has a slot.
    static StackContext spare;
    for (;;) {
        modplInstall(&spare, modplSlave);
        if (modplAccept(listener, &spare, s->unit) != 1)
            return;
        bool used[slaveMaxMasters];
        for (uint32_t i = 0; i < slaveMaxMasters; ++i)
            used[i] = modplIsOpen(&t->conns[i]) == 1;
        bool evict = false;
        const uint32_t i = tableChoose(used, t->lastActive, slaveMaxMasters, now, &evict);
        if (evict) {
            traceLogLine("korvalen-slave: %u masters connected; the one silent for %u s closed for"
                         " a new one",
                         slaveMaxMasters, uint32_t(now - t->lastActive[i]) / 1000);
            modplClose(&t->conns[i]);
        }
        t->conns[i] = spare;
        setUp(&t->conns[i], s);
        t->lastActive[i] = now;
        t->more[i] = t->held[i] = t->answers[i].active = false;
    }
}

// Closes the connections silent past their time-out: an answer that waits for its master has
// one of its own.
void closeSilent(Masters *t, uint32_t now, uint32_t idleMs) {
    for (uint32_t i = 0; i < slaveMaxMasters; ++i) {
        const uint32_t limit = t->held[i] ? (idleMs ? idleMs : stallMostMs) : idleMs;
        if (modplIsOpen(&t->conns[i]) != 1 || !tableExpired(t->lastActive[i], now, limit))
            continue;
        traceLogLine(t->held[i] ? "korvalen-slave: a master that read no answer for %u s closed"
                                : "korvalen-slave: a master silent for %u s closed",
                     limit / 1000);
        modplClose(&t->conns[i]);
    }
}

// Serves what the connection holds, up to requestsPerRound requests, while each answer has
// gone out whole; true when it may hold more that is complete. *held: part of an answer waits
// for the master to read, and nothing more is served until it has gone.
bool serveConnection(StackContext *ctx, SlaveImage *image, ModbusMessage *m, uint32_t *served,
                     uint32_t maxRequests, bool *held, FaultRun *faults, FaultAnswer *answer) {
    bool more = true;
    for (uint32_t k = 0; k < requestsPerRound && more && !answer->active; ++k) {
        if (modplFlush(ctx) != 1 || (maxRequests != 0 && *served >= maxRequests))
            break;
        const int32_t was = modplPending(ctx);
        const bool took = serveRequest(ctx, image, m, *served + 1, faults, answer);
        if (took)
            ++*served;
        const int32_t now = modplPending(ctx);
        // What is held waits for more bytes once a receive could take nothing from it.
        more = now != 0 && (took || now != was);
    }
    const int32_t flushed = modplFlush(ctx);
    *held = flushed == 0;
    return more && flushed == 1;
}

} // namespace

int serveMasters(const SlaveSettings *s, SlaveImage *image, FaultRun *faults) {
    // Static: a context per master holds the link's buffers and the driver state.
    static ModplListener listener;
    static Masters t;
    static int16_t values[slaveMaxValues];
    ModbusMessage message{};
    message.values = values;
    message.capacity = slaveMaxValues;

    if (modplListen(&listener, s->portText) != 1) {
        fprintf(stderr, "\nkorvalen-slave: cannot open port '%s'\n", s->portText);
        return slaveStatusFailed;
    }
    uint32_t served = 0;
    bool anyMore = false;
    bool anyMaster = false;
    while (!interruptRequested() && (s->maxRequests == 0 || served < s->maxRequests)) {
        StackContext *live[slaveMaxMasters];
        uint32_t index[slaveMaxMasters];
        uint32_t n = 0, waitMs = anyMore ? 0 : 1000;
        const uint32_t at = faults ? tickCount() : 0;
        for (uint32_t i = 0; i < slaveMaxMasters; ++i) {
            // A master whose answer waits for its time is not listened to until it has gone,
            // nor is it silent meanwhile; a closed one's answer goes nowhere.
            t.answers[i].active = t.answers[i].active && modplIsOpen(&t.conns[i]) == 1;
            t.lastActive[i] = t.answers[i].active ? at : t.lastActive[i];
            const uint32_t due = t.answers[i].active ? faultDueIn(&t.answers[i], at, waitMs) : 0;
            waitMs = t.answers[i].active ? due : waitMs;
            if (modplIsOpen(&t.conns[i]) && due == 0)
                live[n] = &t.conns[i], index[n++] = i;
        }
        uint8_t ready[1 + slaveMaxMasters] = {};
        // Requests already held are served without waiting for more to arrive.
        if (modplWait(&listener, live, n, waitMs, ready) < 0) {
            if (interruptRequested())
                break;
            fprintf(stderr, "\nkorvalen-slave: the wait for masters failed\n");
            return slaveStatusFailed;
        }
        const uint32_t now = tickCount();
        anyMore = false;
        for (uint32_t j = 0; j < n; ++j) {
            const uint32_t i = index[j];
            const uint32_t before = served;
            if (t.answers[i].active && faultPump(live[j], &t.answers[i], false) == 0)
                continue;
            if (ready[1 + j] || t.more[i])
                t.more[i] = serveConnection(live[j], image, &message, &served, s->maxRequests,
                                            &t.held[i], faults, &t.answers[i]);
            // Bytes that came, room that came, or requests served: the master lives.
            if (ready[1 + j] || served != before)
                t.lastActive[i] = now;
            anyMore = anyMore || (t.more[i] && !t.answers[i].active);
        }
        // After the round, so that a slot taken for a new master is not served as the old one.
        if (ready[0]) {
            acceptAll(&listener, &t, s, now);
            anyMaster = true;
        }
        closeSilent(&t, now, s->idleSeconds * 1000);
    }
    // An answer logged as answered goes out before the close, unless the run is being stopped.
    for (uint32_t i = 0; i < slaveMaxMasters; ++i)
        if (t.answers[i].active && modplIsOpen(&t.conns[i]) == 1)
            faultPump(&t.conns[i], &t.answers[i], true);
    for (StackContext &ctx : t.conns)
        if (modplIsOpen(&ctx))
            modplClose(&ctx);
    modplUnlisten(&listener);
    if (!anyMaster && interruptRequested())
        traceLogLine("korvalen-slave: stopped before a master came");
    else
        logStop(served);
    return slaveStatusOk;
}
