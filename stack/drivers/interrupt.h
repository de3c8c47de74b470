// The stop request of an interrupted run (Ctrl-C, SIGTERM, a closed console). The front end's
// handler sets it; every wait in the drivers and the clock then ends early instead of
// resuming, so the run still closes its port, which gives a serial device its own settings
// back. Stops belong to the process, so this flag and what wakes the waits are the stack's
// only state outside a context. A wait watches a pipe on Linux and an event on Windows, either
// of which stays set, so a stop that came just before the wait began is not missed.
#pragma once

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
// after windows.h, which it needs
#include <mmsystem.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

inline volatile std::sig_atomic_t interruptFlag = 0;
// Set when the time limit of interruptAfter, not a person, asked for the stop.
inline volatile std::sig_atomic_t interruptTimeUp = 0;

#ifdef _WIN32

inline HANDLE interruptEventHandle = nullptr;

inline void interruptRestoreTimerPeriod() {
    timeEndPeriod(1);
}

// Makes the event; before this, interruptEvent answers null and waits watch their device only.
// Windows rounds every sleep and wait up to its timer period, about 15.6 ms unless a program
// asks for less, which would stretch a 5 ms pause threefold: the period is 1 ms from here on
// and is given back when the program ends.
inline void interruptInit() {
    if (interruptEventHandle)
        return;
    interruptEventHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (timeBeginPeriod(1) == TIMERR_NOERROR)
        std::atexit(interruptRestoreTimerPeriod);
}

inline void interruptRequest() {
    interruptFlag = 1;
    if (interruptEventHandle)
        SetEvent(interruptEventHandle);
}

inline HANDLE interruptEvent() {
    return interruptEventHandle;
}

// Sleeps ms milliseconds, less once a stop is requested.
inline void interruptWaitMs(uint32_t ms) {
    if (interruptEventHandle)
        WaitForSingleObject(interruptEventHandle, ms);
    else
        Sleep(ms);
}

// Runs on a thread of its own. The first Ctrl-C, Ctrl-Break or console close requests the
// stop; a second one is left to the system's handler, which ends the process at once.
inline BOOL WINAPI interruptOnConsoleEvent(DWORD event) {
    if (interruptFlag != 0)
        return FALSE;
    interruptRequest();
    // A closed console, a log-off or a shut-down ends the process once this returns: hold it
    // while the run closes its port and ends, within the 5 s that the system grants.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(4500);
    return TRUE;
}

inline void interruptCatchSignals() {
    interruptInit();
    SetConsoleCtrlHandler(interruptOnConsoleEvent, TRUE);
}

inline DWORD WINAPI interruptTimer(LPVOID seconds) {
    // A year of seconds is more milliseconds than one Sleep takes.
    const ULONGLONG end = GetTickCount64() + ULONGLONG(uintptr_t(seconds)) * 1000u;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64())
        Sleep(DWORD(std::min<ULONGLONG>(end - now, 86400000u)));
    interruptTimeUp = 1;
    interruptRequest();
    return 0;
}

// Stops the run after the given number of seconds, as a signal would; 0 sets no limit.
inline void interruptAfter(uint32_t seconds) {
    if (seconds == 0)
        return;
    HANDLE t = CreateThread(nullptr, 0, interruptTimer, LPVOID(uintptr_t(seconds)), 0, nullptr);
    if (t)
        CloseHandle(t);
}

#else

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

inline int interruptFd() {
    return interruptPipe[0];
}

// Sleeps ms milliseconds (at most INT_MAX), less once a stop is requested.
inline void interruptWaitMs(uint32_t ms) {
    pollfd stop{interruptFd(), POLLIN, 0};
    (void)poll(&stop, 1, ms > 0x7FFFFFFFu ? 0x7FFFFFFF : int(ms));
}

// The first signal requests the stop; a second one during that shutdown ends the process at
// once.
inline void interruptOnSignal(int signal) {
    if (interruptFlag != 0) {
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

inline void interruptOnTimeUp(int) {
    interruptTimeUp = 1;
    interruptRequest();
}

// Stops the run after the given number of seconds, as a signal would; 0 sets no limit.
inline void interruptAfter(uint32_t seconds) {
    struct sigaction action {};
    action.sa_handler = interruptOnTimeUp;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    if (seconds > 0)
        alarm(seconds);
}

#endif

inline bool interruptRequested() {
    return interruptFlag != 0;
}
