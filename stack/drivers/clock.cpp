#include "stack/drivers/clock.h"

#include "stack/drivers/interrupt.h"

#include <algorithm>
#include <chrono>

namespace {

// The system's monotonic clock in microseconds: finer than any tick count, whose steps are
// 15.6 ms on Windows and 10 ms under wine, and would end a pause up to a step late.
uint64_t nowUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

uint32_t tickCount() {
    return uint32_t(nowUs() / 1000u);
}

uint32_t tickMicros() {
    return uint32_t(nowUs());
}

void delayMs(uint32_t ms) {
    // A stop request ends the sleep; an absolute deadline makes a sleep ended early by anything
    // else resume for only what is left.
    const uint64_t deadline = nowUs() + uint64_t(ms) * 1000u;
    for (uint64_t now = nowUs(); now < deadline && !interruptRequested(); now = nowUs())
        interruptWaitMs(uint32_t(std::min<uint64_t>((deadline - now + 999u) / 1000u, 86400000u)));
}
