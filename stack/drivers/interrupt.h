// The stop request of an interrupted run (Ctrl-C, SIGTERM). The front end's signal handler
// sets it; every wait in the drivers and the clock then ends early instead of resuming, so
// the run still closes its port, which gives a serial device its own settings back. Signals
// belong to the process, so this one flag is the stack's only state outside a context.
#pragma once

#include <csignal>

inline volatile std::sig_atomic_t interruptFlag = 0;

// Async-signal-safe.
inline void interruptRequest() {
    interruptFlag = 1;
}

inline bool interruptRequested() {
    return interruptFlag != 0;
}
