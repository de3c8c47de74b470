// A clock for tests: tickCount answers a value the test sets, and delayMs advances it at once
// and records the request, so pacing and time-outs are exact and fast.
#pragma once

#include <cstdint>
#include <vector>

void fakeClockSet(uint32_t now);
void fakeClockAdvance(uint32_t ms);
// Every delayMs argument since the last reset, in order.
const std::vector<uint32_t> &fakeClockDelays();
void fakeClockReset(uint32_t now = 0);
