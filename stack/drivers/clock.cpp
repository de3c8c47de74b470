#include "stack/drivers/clock.h"

#include "stack/drivers/interrupt.h"

#include <ctime>
#include <poll.h>

namespace {

uint64_t nowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
}

} // namespace

uint32_t tickCount() {
    return uint32_t(nowUs() / 1000u);
}

void delayMs(uint32_t ms) {
    // Waiting on the stop pipe lets an interrupt end the sleep; an absolute deadline makes a
    // sleep broken by any other signal resume for only what is left.
    const uint64_t deadline = nowUs() + uint64_t(ms) * 1000u;
    for (uint64_t now = nowUs(); now < deadline && !interruptRequested(); now = nowUs()) {
        const uint64_t leftMs = (deadline - now + 999u) / 1000u;
        pollfd stop{interruptFd(), POLLIN, 0};
        (void)poll(&stop, 1, leftMs > 0x7FFFFFFFu ? 0x7FFFFFFF : int(leftMs));
    }
}
