// The stop request of an interrupted run (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT, a closed console).
// The handler sets it; every wait in the drivers and the clock then ends early instead of
// resuming, so the run still closes its port, which gives a serial device its own settings
// back. Stops belong to the process, so the flag, what wakes the waits and the one call that
// restores a held device on a forced exit are the stack's only state outside a context. A wait
// watches a pipe on Linux and an event on Windows, either of which stays set, so a stop that
// came just before the wait began is not missed. Each system has its half (interrupt.cpp,
// interrupt_win.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>

// Makes what wakes the waits; before this, waits watch their device only. On Windows it also
// raises the timer period to 1 ms until the program ends, so that sleeps keep real milliseconds.
void interruptInit();

// interruptInit, then routes the stop signals (console events on Windows) to the stop request.
// The first requests the stop; a second one during that shutdown puts the held device's saved
// settings back, if one is registered, and ends the process at once. A reader that went away
// (| head) ends no run: SIGPIPE is ignored.
void interruptCatchSignals();

// Requests the stop, as a signal does. Async-signal-safe.
void interruptRequest();
bool interruptRequested();

// Stops the run after the given number of seconds, as a signal would; 0 sets no limit.
void interruptAfter(uint32_t seconds);
// Whether the time limit of interruptAfter, not a person, asked for the stop.
bool interruptTimeUp();

// Whether standard output is a terminal (a console on Windows), where a line may rewrite itself.
bool interruptOnTerminal();

// Sleeps ms milliseconds (at most a day), less once a stop is requested.
void interruptWaitMs(uint32_t ms);

// The saved settings of the device the run holds, put back by a forced exit in one call:
// on Linux an ioctl with this request and argument (at most 64 bytes), on Windows
// SetCommState with a DCB of that size. Cleared by interruptForgetDevice.
void interruptRememberDevice(intptr_t device, unsigned long request, const void *arg, size_t size);
void interruptForgetDevice();
// The lock file of the device the run holds, which a forced exit removes: left behind, it would
// refuse the next opener once another process takes its PID. nullptr forgets it.
void interruptRememberLock(const char *path);

#ifdef _WIN32
// The event that a stop sets; null before interruptInit.
void *interruptEvent();
#else
// The read end of the pipe that a stop makes readable; -1 before interruptInit.
int interruptFd();
#endif
