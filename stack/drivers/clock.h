// Clock services of the link layer: a 32-bit millisecond tick that wraps after about 49.7 days,
// and a sleep of at least the time asked. Callers take elapsed time as uint32_t(now - start).
// Linked as its own library so that tests can bind a fake clock in its place.
#pragma once

#include <cstdint>

// Milliseconds of a monotonic clock, cut to 32 bits.
uint32_t tickCount();
// Microseconds of the same clock, cut to 32 bits (a wrap every 71 minutes): for response times.
uint32_t tickMicros();

// Suspends the caller for at least ms milliseconds, resuming after signals unless the run is
// being stopped.
void delayMs(uint32_t ms);
