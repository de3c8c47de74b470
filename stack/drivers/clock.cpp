#include "stack/drivers/clock.h"

#include "stack/drivers/interrupt.h"

#include <cerrno>
#include <ctime>

uint32_t tickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return uint32_t(ms);
}

void delayMs(uint32_t ms) {
    // An absolute deadline makes a signal-interrupted sleep resume for only what is left; a
    // stop request ends it.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(ms / 1000u);
    deadline.tv_nsec += long(ms % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR &&
           !interruptRequested()) {
    }
}
