// Windows half of the stop module: a flag and an event that the console control handler sets,
// a timer thread for the time limit, the 1 ms timer period, and the SetCommState that restores
// a held device when a second Ctrl-C ends the process.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include "stack/drivers/interrupt.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <windows.h>
// after windows.h, which it needs
#include <mmsystem.h>

namespace {

volatile LONG stopFlag = 0;
volatile LONG timeUp = 0;
HANDLE stopEvent = nullptr;

struct ForcedExitRestore {
    volatile LONG armed;
    HANDLE device;
    DCB dcb;
} restore;

void restoreTimerPeriod() {
    timeEndPeriod(1);
}

// Runs on a thread of its own. The first Ctrl-C, Ctrl-Break or console close requests the
// stop; a second one gives the held device its settings back and is left to the system's
// handler, which ends the process at once.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (stopFlag != 0) {
        if (restore.armed)
            SetCommState(restore.device, &restore.dcb);
        return FALSE;
    }
    interruptRequest();
    // A closed console, a log-off or a shut-down ends the process once this returns: hold it
    // while the run closes its port and ends, within the 5 s that the system grants.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(4500);
    return TRUE;
}

DWORD WINAPI timer(LPVOID seconds) {
    // A year of seconds is more milliseconds than one Sleep takes.
    const ULONGLONG end = GetTickCount64() + ULONGLONG(uintptr_t(seconds)) * 1000u;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64())
        Sleep(DWORD(std::min<ULONGLONG>(end - now, 86400000u)));
    timeUp = 1;
    interruptRequest();
    return 0;
}

} // namespace

// Windows rounds every sleep and wait up to its timer period, about 15.6 ms unless a program
// asks for less, which would stretch a 5 ms pause threefold.
void interruptInit() {
    if (stopEvent)
        return;
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (timeBeginPeriod(1) == TIMERR_NOERROR)
        std::atexit(restoreTimerPeriod);
}

void interruptCatchSignals() {
    interruptInit();
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void interruptRequest() {
    stopFlag = 1;
    if (stopEvent)
        SetEvent(stopEvent);
}

bool interruptRequested() {
    return stopFlag != 0;
}

void interruptAfter(uint32_t seconds) {
    if (seconds == 0)
        return;
    HANDLE t = CreateThread(nullptr, 0, timer, LPVOID(uintptr_t(seconds)), 0, nullptr);
    if (t)
        CloseHandle(t);
}

bool interruptTimeUp() {
    return timeUp != 0;
}

bool interruptOnTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

void interruptWaitMs(uint32_t ms) {
    ms = std::min<uint32_t>(ms, 86400000u);
    if (stopEvent)
        WaitForSingleObject(stopEvent, ms);
    else
        Sleep(ms);
}

void interruptRememberDevice(intptr_t device, unsigned long, const void *arg, size_t size) {
    restore.armed = 0;
    if (size != sizeof restore.dcb)
        return;
    restore.device = reinterpret_cast<HANDLE>(device);
    std::memcpy(&restore.dcb, arg, size);
    restore.armed = 1;
}

void interruptForgetDevice() {
    restore.armed = 0;
}

void *interruptEvent() {
    return stopEvent;
}

// No lock files on Windows: the system refuses a second opener itself.
void interruptRememberLock(const char *) {}
