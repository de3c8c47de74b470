// Windows half of the communications device calls the serial driver makes: the calls
// themselves. The device keeps its time-outs, so reads and writes need nothing more than the
// handle; a stop request cancels the read or write the run is blocked in (995).
#include "stack/drivers/platform.h"

#include "stack/drivers/interrupt.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

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

// Marks the run thread as in a device call, which a stop may cancel, until it goes.
struct DeviceCall {
    DeviceCall() { interruptInDeviceIo = 1; }
    ~DeviceCall() { interruptInDeviceIo = 0; }
    DeviceCall(const DeviceCall &) = delete;
    DeviceCall &operator=(const DeviceCall &) = delete;
};

bool stopped() {
    if (!interruptRequested())
        return false;
    SetLastError(errorOperationAborted);
    return true;
}

} // namespace

uint32_t getLastError() {
    return GetLastError();
}

Handle createFile(const char *portName) {
    char path[maxPath];
    const bool fits = std::memchr(portName, 0, maxPath) != nullptr;
    if (!fits || std::snprintf(path, sizeof path, "%s%s", isComNumber(portName) ? "\\\\.\\" : "",
                               portName) >= int(sizeof path)) {
        SetLastError(errorInvalidName);
        return invalidHandleValue;
    }
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return reinterpret_cast<Handle>(h);
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
    DCB w{};
    w.DCBlength = sizeof w;
    w.BaudRate = d->baudRate;
    w.fBinary = d->fBinary;
    w.fParity = d->fParity;
    w.fOutxCtsFlow = d->fOutxCtsFlow;
    w.fOutxDsrFlow = d->fOutxDsrFlow;
    w.fDtrControl = d->fDtrControl;
    w.fDsrSensitivity = d->fDsrSensitivity;
    w.fTXContinueOnXoff = d->fTXContinueOnXoff;
    w.fOutX = d->fOutX;
    w.fInX = d->fInX;
    w.fErrorChar = d->fErrorChar;
    w.fNull = d->fNull;
    w.fRtsControl = d->fRtsControl;
    w.fAbortOnError = d->fAbortOnError;
    w.fDummy2 = d->fDummy2;
    w.XonLim = d->xonLim;
    w.XoffLim = d->xoffLim;
    w.ByteSize = d->byteSize;
    w.Parity = d->parity;
    w.StopBits = d->stopBits;
    w.XonChar = d->xonChar;
    w.XoffChar = d->xoffChar;
    w.ErrorChar = d->errorChar;
    w.EofChar = d->eofChar;
    w.EvtChar = d->evtChar;
    if (SetCommState(handleOf(h), &w))
        return true;
    // A device that cannot toggle RTS itself gets it low, and the writes raise it (writeFile).
    if (GetLastError() != ERROR_NOT_SUPPORTED || w.fRtsControl != RTS_CONTROL_TOGGLE)
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
    const DeviceCall call;
    const bool ok = !stopped() && ReadFile(handleOf(h), buffer, size, &n, nullptr);
    *count = n;
    return ok;
}

bool writeFile(Handle h, const Dcb &line, const CommTimeouts &, const uint8_t *bytes, uint32_t size,
               uint32_t *count) {
    DWORD n = 0;
    const DeviceCall call;
    if (stopped())
        return *count = 0, false;
    // RTS up for the frame and down once its last bit has left; a device without modem lines
    // (a pty under wine) refuses both, which changes nothing for the frame.
    if (line.native.softToggle)
        EscapeCommFunction(handleOf(h), SETRTS);
    const bool ok = WriteFile(handleOf(h), bytes, size, &n, nullptr);
    if (line.native.softToggle) {
        const DWORD error = GetLastError();
        FlushFileBuffers(handleOf(h));
        EscapeCommFunction(handleOf(h), CLRRTS);
        SetLastError(error);
    }
    *count = n;
    return ok;
}

} // namespace plat
