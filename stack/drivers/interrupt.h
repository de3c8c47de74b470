// The stop request of an interrupted run (Ctrl-C, SIGTERM). The front end's signal handler
// sets it; every wait in the drivers and the clock then ends early instead of resuming, so
// the run still closes its port, which gives a serial device its own settings back. Signals
// belong to the process, so this flag and its pipe are the stack's only state outside a
// context.
#pragma once

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

inline volatile std::sig_atomic_t interruptFlag = 0;
// Readable once a stop is requested: a wait that polls it also ends when the signal came
// just before the wait began, which a flag alone would miss.
inline int interruptPipe[2] = {-1, -1};

// Makes the pipe; before this, interruptFd answers -1, which poll ignores.
inline void interruptInit() {
    if (interruptPipe[0] < 0 && pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        interruptPipe[0] = interruptPipe[1] = -1;
}

// Async-signal-safe.
inline void interruptRequest() {
    interruptFlag = 1;
    if (interruptPipe[1] >= 0)
        (void)!write(interruptPipe[1], "", 1);
}

inline bool interruptRequested() {
    return interruptFlag != 0;
}

inline int interruptFd() {
    return interruptPipe[0];
}

// The first signal requests the stop; a second one during that shutdown ends the process at
// once.
inline void interruptOnSignal(int signal) {
    if (interruptRequested()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    interruptRequest();
}

// Makes the pipe and routes SIGINT and SIGTERM to interruptOnSignal without restarting the
// call in progress, so that the wait sees the signal. A reader that went away (| head) ends
// no run either: SIGPIPE is ignored, and with it the failed print.
inline void interruptCatchSignals() {
    interruptInit();
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = interruptOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
