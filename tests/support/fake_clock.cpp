// The fake clock: stands in for the real clock library in every test executable.
#include "tests/support/fake_clock.h"

#include "stack/drivers/clock.h"

namespace {
uint32_t fakeNow = 0;
std::vector<uint32_t> delays;
} // namespace

void fakeClockSet(uint32_t now) {
    fakeNow = now;
}
void fakeClockAdvance(uint32_t ms) {
    fakeNow += ms;
}
const std::vector<uint32_t> &fakeClockDelays() {
    return delays;
}

void fakeClockReset(uint32_t now) {
    fakeNow = now;
    delays.clear();
}

uint32_t tickCount() {
    return fakeNow;
}

void delayMs(uint32_t ms) {
    delays.push_back(ms);
    fakeNow += ms;
}
