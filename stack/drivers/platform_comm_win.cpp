// Windows half of the communications device calls the serial driver makes: the calls
// themselves. The device keeps its time-outs, so reads and writes need nothing more than the
// handle. They are overlapped: a stop request cancels the one the run waits on (995).
#include "stack/drivers/platform.h"

#include "stack/drivers/interrupt.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

// The name of the last open, for the reason it failed.
thread_local char lastName[maxPath];

HANDLE handleOf(Handle h) {
    return reinterpret_cast<HANDLE>(h);
}

// COM<n> with n of one digit or more.
bool isComNumber(const char *name) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == 0)
        return false;
    for (const char *c = name + 3; *c; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    return true;
}

bool stopped() {
    if (!interruptRequested())
        return false;
    SetLastError(errorOperationAborted);
    return true;
}

// A transfer's record, with the event it signals; false when no event is to be had.
bool prepare(OVERLAPPED &ov) {
    ov = OVERLAPPED{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return ov.hEvent != nullptr;
}

// Waits for a transfer started on ov, or for a stop request, which cancels it (995). A
// transfer that ends anyway keeps what it moved. The device's time-outs end the wait.
bool transfer(HANDLE h, OVERLAPPED &ov, BOOL started, DWORD *n) {
    if (started || GetLastError() == ERROR_IO_PENDING) {
        const HANDLE events[2] = {ov.hEvent, interruptEvent()};
        if (WaitForMultipleObjects(events[1] ? 2 : 1, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            CancelIo(h);
        started = GetOverlappedResult(h, &ov, n, TRUE);
        // A device time-out is no failure, though wine reports one: the transfer moved what
        // it moved.
        started = started || ov.Internal == STATUS_TIMEOUT;
    }
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(error);
    return started;
}

DCB toWindows(const Dcb &d) {
    DCB w{};
    w.DCBlength = sizeof w;
    w.BaudRate = d.baudRate;
    w.fBinary = d.fBinary;
    w.fParity = d.fParity;
    w.fOutxCtsFlow = d.fOutxCtsFlow;
    w.fOutxDsrFlow = d.fOutxDsrFlow;
    w.fDtrControl = d.fDtrControl;
    w.fDsrSensitivity = d.fDsrSensitivity;
    w.fTXContinueOnXoff = d.fTXContinueOnXoff;
    w.fOutX = d.fOutX;
    w.fInX = d.fInX;
    w.fErrorChar = d.fErrorChar;
    w.fNull = d.fNull;
    w.fRtsControl = d.fRtsControl;
    w.fAbortOnError = d.fAbortOnError;
    w.fDummy2 = d.fDummy2;
    w.XonLim = d.xonLim;
    w.XoffLim = d.xoffLim;
    w.ByteSize = d.byteSize;
    w.Parity = d.parity;
    w.StopBits = d.stopBits;
    w.XonChar = d.xonChar;
    w.XoffChar = d.xoffChar;
    w.ErrorChar = d.errorChar;
    w.EofChar = d.eofChar;
    w.EvtChar = d.evtChar;
    return w;
}

long long nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until the n bytes written between start and done have left the line, or until the
// write time-out. A write completes once the driver has the bytes: a UART's driver still holds
// a FIFO of up to 16, a USB adapter the whole frame, which it starts sending up to a USB frame
// (1 ms) after the write. Windows reports no line status, so the wire is timed; with RTS
// toggled the wait ends before the slave may answer.
void waitSent(HANDLE h, const Dcb &d, long long start, long long done, uint32_t n, bool toggle,
              long long deadline) {
    long long end =
        std::max(start + wireUs(d, n) + 1000, done + wireUs(d, std::min<uint32_t>(n, 16)));
    const long long latest = end + answerGapUs(d) / (toggle ? 2 : 1);
    for (long long now = nowUs(); now < std::min(latest, deadline) && !interruptRequested();
         now = nowUs()) {
        COMSTAT status{};
        DWORD errors = 0;
        if (now >= end && (!ClearCommError(h, &errors, &status) || status.cbOutQue == 0))
            return;
        interruptWaitMs(uint32_t(std::max<long long>(1, (std::min(end, latest) - now) / 1000)));
    }
}

} // namespace

uint32_t getLastError() {
    return GetLastError();
}

Handle createFile(const char *portName, const char *) {
    std::snprintf(lastName, sizeof lastName, "%.*s", int(maxPath - 1), portName);
    char path[maxPath];
    const bool fits = std::memchr(portName, 0, maxPath) != nullptr;
    if (!fits || std::snprintf(path, sizeof path, "%s%s", isComNumber(portName) ? "\\\\.\\" : "",
                               portName) >= int(sizeof path)) {
        SetLastError(errorInvalidName);
        return invalidHandleValue;
    }
    // Overlapped, so that a stop request can end a read or write the device is still timing.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    return reinterpret_cast<Handle>(h);
}

void openFailureText(uint32_t error, char *text, uint32_t size) {
    const char *reason = nullptr;
    switch (error) {
    case errorFileNotFound:
    case ERROR_PATH_NOT_FOUND:
        reason = "not found";
        break;
    case errorAccessDenied:
    case ERROR_SHARING_VIOLATION:
        reason = "in use by another program, or access denied";
        break;
    case errorInvalidName:
        reason = "name too long";
        break;
    case ERROR_GEN_FAILURE:
    case errorBadCommand:
    case errorDeviceNotConnected:
        reason = "I/O error: the device does not answer";
        break;
    default:
        break;
    }
    if (reason)
        std::snprintf(text, size, "Port %s: %s", lastName, reason);
    else
        std::snprintf(text, size, "Port %s: system error %lu", lastName,
                      static_cast<unsigned long>(error));
}

bool closeHandle(Handle h) {
    return CloseHandle(handleOf(h));
}

bool setupComm(Handle h, uint32_t inQueue, uint32_t outQueue) {
    return SetupComm(handleOf(h), inQueue, outQueue);
}

bool getCommState(Handle h, Dcb *d) {
    // A block that asked for RTS toggled, read back from a device that holds RTS low, is one
    // whose toggle the writes do.
    const bool askedToggle = d->fRtsControl == RtsControlToggle;
    DCB w{};
    w.DCBlength = sizeof w;
    if (!GetCommState(handleOf(h), &w))
        return false;
    d->dcbLength = w.DCBlength;
    d->baudRate = w.BaudRate;
    d->fBinary = w.fBinary;
    d->fParity = w.fParity;
    d->fOutxCtsFlow = w.fOutxCtsFlow;
    d->fOutxDsrFlow = w.fOutxDsrFlow;
    d->fDtrControl = w.fDtrControl;
    d->fDsrSensitivity = w.fDsrSensitivity;
    d->fTXContinueOnXoff = w.fTXContinueOnXoff;
    d->fOutX = w.fOutX;
    d->fInX = w.fInX;
    d->fErrorChar = w.fErrorChar;
    d->fNull = w.fNull;
    d->native.softToggle = askedToggle && w.fRtsControl == RTS_CONTROL_DISABLE;
    d->fRtsControl = d->native.softToggle ? uint32_t(RtsControlToggle) : w.fRtsControl;
    DWORD lines = 0;
    d->native.hasModem = GetCommModemStatus(handleOf(h), &lines) != 0;
    d->fAbortOnError = w.fAbortOnError;
    d->fDummy2 = w.fDummy2;
    d->xonLim = w.XonLim;
    d->xoffLim = w.XoffLim;
    d->byteSize = w.ByteSize;
    d->parity = w.Parity;
    d->stopBits = w.StopBits;
    d->xonChar = w.XonChar;
    d->xoffChar = w.XoffChar;
    d->errorChar = w.ErrorChar;
    d->eofChar = w.EofChar;
    d->evtChar = w.EvtChar;
    return true;
}

bool setCommState(Handle h, const Dcb *d) {
    DCB w = toWindows(*d);
    if (SetCommState(handleOf(h), &w))
        return true;
    // A device that cannot toggle RTS itself gets it low, and the writes raise it (writeFile).
    // Drivers refuse the toggle in their own words (wine: 50; USB adapters: 87 and others).
    if (w.fRtsControl != RTS_CONTROL_TOGGLE)
        return false;
    w.fRtsControl = RTS_CONTROL_DISABLE;
    return SetCommState(handleOf(h), &w);
}

bool getCommTimeouts(Handle h, CommTimeouts *t) {
    COMMTIMEOUTS w{};
    if (!GetCommTimeouts(handleOf(h), &w))
        return false;
    *t = CommTimeouts{w.ReadIntervalTimeout, w.ReadTotalTimeoutMultiplier,
                      w.ReadTotalTimeoutConstant, w.WriteTotalTimeoutMultiplier,
                      w.WriteTotalTimeoutConstant};
    return true;
}

bool setCommTimeouts(Handle h, const CommTimeouts *t) {
    COMMTIMEOUTS w{t->readIntervalTimeout, t->readTotalTimeoutMultiplier,
                   t->readTotalTimeoutConstant, t->writeTotalTimeoutMultiplier,
                   t->writeTotalTimeoutConstant};
    return SetCommTimeouts(handleOf(h), &w);
}

bool purgeComm(Handle h, uint32_t flags) {
    return PurgeComm(handleOf(h), flags);
}

bool readFile(Handle h, const Dcb &, const CommTimeouts &, uint8_t *buffer, uint32_t size,
              uint32_t *count) {
    DWORD n = 0;
    OVERLAPPED ov;
    const bool ok =
        !stopped() && prepare(ov) &&
        transfer(handleOf(h), ov, ReadFile(handleOf(h), buffer, size, nullptr, &ov), &n);
    *count = ok ? n : 0;
    return ok;
}

void keepForForcedExit(Handle h, const Dcb *saved) {
    if (!saved) {
        interruptForgetDevice();
        return;
    }
    DCB w = toWindows(*saved);
    interruptRememberDevice(h, 0, &w, sizeof w);
}

bool writeFile(Handle h, const Dcb &line, const CommTimeouts &to, const uint8_t *bytes,
               uint32_t size, uint32_t *count) {
    DWORD n = 0;
    OVERLAPPED ov;
    if (stopped() || !prepare(ov))
        return *count = 0, false;
    // A frame longer on the line than the write time-out gets the time it needs: the device
    // would otherwise cut it.
    const long long bound = writeBoundUs(line, to, size);
    const bool raised = bound > 1000LL * to.writeTotalTimeoutConstant +
                                    1000LL * to.writeTotalTimeoutMultiplier * size;
    if (raised) {
        CommTimeouts longer = to;
        longer.writeTotalTimeoutMultiplier = 0;
        longer.writeTotalTimeoutConstant =
            uint32_t(std::min<long long>((bound + 999) / 1000, MAXDWORD - 1));
        setCommTimeouts(h, &longer);
    }
    // RTS up for the frame and down once its last bit has left; a device without modem lines
    // (a pty under wine) refuses both, which changes nothing for the frame.
    if (line.native.softToggle)
        EscapeCommFunction(handleOf(h), SETRTS);
    const long long start = nowUs();
    const bool ok =
        transfer(handleOf(h), ov, WriteFile(handleOf(h), bytes, size, nullptr, &ov), &n);
    const DWORD error = GetLastError();
    // The reply time-out starts once the request has left, so the write lasts until then.
    if (ok && n > 0 && line.native.hasModem)
        waitSent(handleOf(h), line, start, nowUs(), n, line.native.softToggle,
                 bound ? start + bound : LLONG_MAX);
    if (line.native.softToggle)
        EscapeCommFunction(handleOf(h), CLRRTS);
    if (raised)
        setCommTimeouts(h, &to);
    SetLastError(error);
    *count = ok ? n : 0;
    return ok;
}

} // namespace plat
