// Windows half of the clock. Windows rounds every sleep and wait up to its timer period, about
// 15.6 ms unless a program asks for less, which would stretch a 5 ms pause threefold; so the
// period is 1 ms while the program runs and is given back when it ends. The tick is the
// multimedia timer's, which follows that period, where the plain tick counter keeps its steps.
#include "stack/drivers/clock.h"

#include "stack/drivers/interrupt.h"

#include <algorithm>
#include <mmsystem.h>

namespace {

struct TimerPeriod {
    TimerPeriod() { timeBeginPeriod(1); }
    ~TimerPeriod() { timeEndPeriod(1); }
};
const TimerPeriod period;

} // namespace

uint32_t tickCount() {
    return timeGetTime();
}

void delayMs(uint32_t ms) {
    // A stop request sets the event and ends the sleep; INFINITE is a value to step around.
    const uint32_t start = tickCount();
    for (uint32_t done = 0; done < ms && !interruptRequested(); done = tickCount() - start) {
        const DWORD left = std::min<DWORD>(ms - done, INFINITE - 1);
        if (interruptEvent())
            WaitForSingleObject(interruptEvent(), left);
        else
            Sleep(left);
    }
}
