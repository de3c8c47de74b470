// Serial port driver: the defaults written at binding, the control operation that keeps the
// line state and time-outs (stored while closed, applied at open), and the table operations
// on the communications device calls of the platform layer. Never prints.
#include "stack/drivers/serial.h"

#include "stack/drivers/port.h"

#include <cstdio>
#include <cstring>

namespace {

SerialState &stateOf(PortChannel *channel) {
    return channel->driver.serial;
}

bool isClosed(const SerialState &s) {
    return s.portHandle == plat::invalidHandleValue;
}

// The system's error number, kept in the state and turned into a result code.
int32_t failure(SerialState &s) {
    s.lastError = plat::getLastError();
    switch (s.lastError) {
    case plat::errorFileNotFound:
        return IoNotFound;
    case plat::errorAccessDenied:
        return IoAccessDenied;
    case plat::errorInvalidHandle:
        return IoNoOperation;
    case plat::errorNoData:
    case plat::errorBadCommand:
    case plat::errorDeviceNotConnected:
        return IoBroken;
    case plat::errorOperationAborted:
        return IoAborted;
    default:
        return IoFailed;
    }
}

// The first failure of a sequence of calls decides its result; lastError keeps the most recent.
void track(SerialState &s, bool ok, int32_t &result) {
    if (ok)
        return;
    const int32_t r = failure(s);
    result = result == IoOk ? r : result;
}

// A device runs a rate from its clock's divisors; one more than 2 % away from the rate asked
// for garbles every character, so it is refused rather than run. The state then holds the
// rate the device runs.
bool rateHeld(uint32_t asked, uint32_t runs) {
    return uint64_t(runs > asked ? runs - asked : asked - runs) * 50u <= asked;
}

// Settings of a closed port wait in the state for the next open. On an open port all four
// calls are made whatever became of the others, and the state holds what the device reports.
int32_t applySettings(SerialState &s) {
    if (isClosed(s))
        return IoOk;
    int32_t result = IoOk;
    const uint32_t asked = s.lineState.baudRate;
    track(s, plat::setCommTimeouts(s.portHandle, &s.timeouts), result);
    track(s, plat::getCommTimeouts(s.portHandle, &s.timeouts), result);
    track(s, plat::setCommState(s.portHandle, &s.lineState), result);
    track(s, plat::getCommState(s.portHandle, &s.lineState), result);
    return result == IoOk && !rateHeld(asked, s.lineState.baudRate) ? IoFailed : result;
}

// Also made on a closed port, whose invalid handle the system refuses.
int32_t purge(SerialState &s, uint32_t flags) {
    return plat::purgeComm(s.portHandle, flags) ? IoOk : failure(s);
}

void setLineSettings(plat::Dcb &dcb, uint32_t word) {
    dcb.byteSize = uint8_t(8u - ((word & line::dataBitsMask) >> line::dataBitsShift));
    dcb.parity = uint8_t((word & line::parityMask) >> line::parityShift);
    dcb.stopBits = uint8_t((word & line::stopBitsMask) >> line::stopBitsShift);
    dcb.fOutxCtsFlow = ((word & line::ctsMask) >> line::ctsShift) == 1u ? 1u : 0u;
    switch ((word & line::dsrMask) >> line::dsrShift) {
    case 0:
        dcb.fOutxDsrFlow = 0;
        dcb.fDsrSensitivity = 0;
        break;
    case 1:
        dcb.fOutxDsrFlow = 0;
        dcb.fDsrSensitivity = 1;
        break;
    case 2:
        dcb.fOutxDsrFlow = 1;
        dcb.fDsrSensitivity = 0;
        break;
    default:
        break;
    }
    // Field value 3 leaves the line's mode as it was.
    constexpr plat::RtsControl rtsModes[] = {plat::RtsControlDisable, plat::RtsControlEnable,
                                             plat::RtsControlToggle};
    constexpr plat::DtrControl dtrModes[] = {plat::DtrControlDisable, plat::DtrControlEnable,
                                             plat::DtrControlHandshake};
    const uint32_t rts = (word & line::rtsMask) >> line::rtsShift;
    if (rts < 3)
        dcb.fRtsControl = rtsModes[rts];
    const uint32_t dtr = (word & line::dtrMask) >> line::dtrShift;
    if (dtr < 3)
        dcb.fDtrControl = dtrModes[dtr];
    // Linux reads a byte with a parity error as 0 under INPCK; Windows puts the error char, 0.
    dcb.fParity = (word & line::parityCheckMask) != 0;
    dcb.fErrorChar = dcb.fParity;
}

// Rewrites bits 0-16 only; an RTS or DTR state without a code keeps the caller's bits.
void getLineSettings(const plat::Dcb &dcb, uint32_t *word) {
    uint32_t w = *word;
    w = (w & ~line::dataBitsMask) | (((8u - dcb.byteSize) % 8u) << line::dataBitsShift);
    w = (w & ~line::parityMask) | ((dcb.parity % 8u) << line::parityShift);
    w = (w & ~line::stopBitsMask) | ((dcb.stopBits % 4u) << line::stopBitsShift);
    w = (w & ~line::parityCheckMask) | (uint32_t(dcb.fParity) << line::parityCheckShift);
    w = (w & ~line::ctsMask) | (uint32_t(dcb.fOutxCtsFlow) << line::ctsShift);
    uint32_t dsr = dcb.fOutxDsrFlow ? 2u : (dcb.fDsrSensitivity ? 1u : 0u);
    w = (w & ~line::dsrMask) | (dsr << line::dsrShift);
    switch (dcb.fRtsControl) {
    case plat::RtsControlDisable:
    case plat::RtsControlEnable:
        w = (w & ~line::rtsMask) | (uint32_t(dcb.fRtsControl) << line::rtsShift);
        break;
    case plat::RtsControlToggle:
        w = (w & ~line::rtsMask) | (2u << line::rtsShift);
        break;
    default:
        break;
    }
    switch (dcb.fDtrControl) {
    case plat::DtrControlDisable:
    case plat::DtrControlEnable:
    case plat::DtrControlHandshake:
        w = (w & ~line::dtrMask) | (uint32_t(dcb.fDtrControl) << line::dtrShift);
        break;
    default:
        break;
    }
    *word = w;
}

// A port opened to listen keeps the modes that decide its lines as the device had them.
void keepModemModes(SerialState &s) {
    s.lineState.fRtsControl = s.savedLineState.fRtsControl;
    s.lineState.fDtrControl = s.savedLineState.fDtrControl;
    s.lineState.fOutxCtsFlow = s.savedLineState.fOutxCtsFlow;
}

// Keeps why an open failed with error, in words, before anything else can change the reason.
int32_t refusedOpen(SerialState &s, int32_t result) {
    plat::openFailureText(s.lastError, s.failure, sizeof s.failure);
    return result;
}

int32_t serialOpen(PortChannel *channel) {
    SerialState &s = stateOf(channel);
    s.lastError = 0;
    if (!isClosed(s))
        return IoAlreadyOpen;
    s.failure[0] = s.note[0] = '\0';
    s.portHandle = plat::createFile(s.portName, s.typedName);
    if (isClosed(s))
        return refusedOpen(s, failure(s));
    s.savedLineState = plat::Dcb{};
    const plat::Handle h = s.portHandle;
    const uint32_t asked = s.lineState.baudRate;
    const bool saved =
        plat::getCommTimeouts(h, &s.savedTimeouts) && plat::getCommState(h, &s.savedLineState);
    if (saved)
        plat::keepForForcedExit(h, &s.savedLineState);
    if (saved && s.receiveOnly)
        keepModemModes(s);
    if (saved && plat::setupComm(h, s.inQueueSize, s.outQueueSize) &&
        plat::setCommTimeouts(h, &s.timeouts) && plat::getCommTimeouts(h, &s.timeouts) &&
        plat::setCommState(h, &s.lineState) && plat::getCommState(h, &s.lineState) &&
        rateHeld(asked, s.lineState.baudRate)) {
        if (s.lineState.native.modemFault)
            std::snprintf(s.note, sizeof s.note,
                          "the port's modem lines fail: RTS is not toggled while they do");
        return IoOk;
    }
    const bool held = rateHeld(asked, s.lineState.baudRate);
    const int32_t result = held ? refusedOpen(s, failure(s)) : IoFailed;
    if (!held)
        std::snprintf(s.failure, sizeof s.failure, "Port %.100s: cannot run %u baud", s.portName,
                      unsigned(asked));
    // A refused open gives the device back what it had, as a close does.
    if (saved) {
        plat::setCommTimeouts(h, &s.savedTimeouts);
        plat::setCommState(h, &s.savedLineState);
    }
    plat::keepForForcedExit(h, nullptr);
    plat::closeHandle(h);
    s.portHandle = plat::invalidHandleValue;
    return result;
}

int32_t serialClose(PortChannel *channel) {
    SerialState &s = stateOf(channel);
    if (isClosed(s))
        return IoNotOpen;
    int32_t result = IoOk;
    track(s, plat::purgeComm(s.portHandle, plat::purgeTxClear), result);
    track(s, plat::setCommTimeouts(s.portHandle, &s.savedTimeouts), result);
    track(s, plat::setCommState(s.portHandle, &s.savedLineState), result);
    plat::keepForForcedExit(s.portHandle, nullptr);
    track(s, plat::closeHandle(s.portHandle), result);
    s.portHandle = plat::invalidHandleValue;
    return result;
}

int32_t serialControl(PortChannel *channel, int32_t request, ControlArg arg) {
    SerialState &s = stateOf(channel);
    switch (request) {
    case GetReadTimeout:
        *arg.out = s.timeouts.readTotalTimeoutConstant;
        return IoOk;
    case SetReadTimeout:
        s.timeouts.readTotalTimeoutMultiplier = 0;
        s.timeouts.readTotalTimeoutConstant = arg.value;
        return applySettings(s);
    case GetWriteTimeout:
        *arg.out = s.timeouts.writeTotalTimeoutConstant;
        return IoOk;
    case SetWriteTimeout:
        s.timeouts.writeTotalTimeoutMultiplier = 0;
        s.timeouts.writeTotalTimeoutConstant = arg.value;
        return applySettings(s);
    case GetBaud:
        *arg.out = s.lineState.baudRate;
        return IoOk;
    case SetBaud:
        s.lineState.baudRate = arg.value;
        return applySettings(s);
    case GetLineSettings:
        getLineSettings(s.lineState, arg.out);
        return IoOk;
    case SetLineSettings:
        setLineSettings(s.lineState, *arg.out);
        if (s.receiveOnly && !isClosed(s))
            keepModemModes(s);
        return applySettings(s);
    case GetCharTimeout:
        *arg.out = s.timeouts.readIntervalTimeout;
        return IoOk;
    case SetCharTimeout:
        s.timeouts.readIntervalTimeout = arg.value;
        return applySettings(s);
    case GetInQueueSize:
        *arg.out = s.inQueueSize;
        return IoOk;
    case GetOutQueueSize:
        *arg.out = s.outQueueSize;
        return IoOk;
    case SetInQueueSize:
    case SetOutQueueSize:
        // The queues keep the sizes of the binding for the life of the channel.
        return IoFailed;
    case FlushRead:
        return purge(s, plat::purgeRxClear);
    case FlushWrite:
        return purge(s, plat::purgeTxClear);
    default:
        return IoUnknownRequest;
    }
}

// A failed transfer moves nothing; one that moved nothing timed out.
int32_t transferred(SerialState &s, bool ok, uint32_t n, uint32_t size, uint32_t *count) {
    *count = ok ? n : 0;
    if (!ok)
        return failure(s);
    return n == 0 ? IoTimeout : n < size ? IoShortWrite : IoOk;
}

int32_t serialRead(PortChannel *channel, uint8_t *buffer, uint32_t size, uint32_t *count) {
    SerialState &s = stateOf(channel);
    if (isClosed(s))
        return IoNotOpen;
    uint32_t n = 0;
    const bool ok = plat::readFile(s.portHandle, s.lineState, s.timeouts, buffer, size, &n);
    // A short read is normal: only a write answers for fewer bytes than asked.
    return transferred(s, ok, n, n, count);
}

int32_t serialWrite(PortChannel *channel, const uint8_t *bytes, uint32_t size, uint32_t *count) {
    SerialState &s = stateOf(channel);
    if (isClosed(s))
        return IoNotOpen;
    if (s.receiveOnly)
        return IoFailed;
    uint32_t n = 0;
    const bool ok = plat::writeFile(s.portHandle, s.lineState, s.timeouts, bytes, size, &n);
    return transferred(s, ok, n, size, count);
}

} // namespace

int32_t serialInstall(PortChannel *channel, const char *text) {
    SerialState &s = stateOf(channel);
    std::memset(&s, 0, sizeof s);
    // A name that fills the field stays unterminated, and open refuses it.
    std::memcpy(s.portName, text, strnlen(text, serialPortNameSize));
    s.portHandle = plat::invalidHandleValue;
    s.lastError = 0;
    s.inQueueSize = 1024;
    s.outQueueSize = 1024;

    plat::Dcb &d = s.lineState;
    d.dcbLength = plat::dcbLength;
    d.baudRate = 9600;
    d.fBinary = 1;
    d.fParity = 0;
    d.fOutxCtsFlow = 1;
    d.fOutxDsrFlow = 0;
    d.fDtrControl = plat::DtrControlEnable;
    d.fDsrSensitivity = 0;
    d.fTXContinueOnXoff = 0;
    d.fOutX = 0;
    d.fInX = 0;
    d.fErrorChar = 0;
    d.fNull = 0;
    d.fRtsControl = plat::RtsControlHandshake;
    d.fAbortOnError = 0;
    d.xonLim = 0;
    d.xoffLim = 0;
    d.byteSize = 8;
    d.parity = 0;
    d.stopBits = 0;
    d.xonChar = 0x11;
    d.xoffChar = 0x13;
    d.errorChar = 0;
    d.eofChar = 0;
    d.evtChar = 0;

    s.timeouts.readIntervalTimeout = 100;
    s.timeouts.readTotalTimeoutMultiplier = 0;
    s.timeouts.readTotalTimeoutConstant = 0xFFFFFFFFu;
    s.timeouts.writeTotalTimeoutMultiplier = 0;
    s.timeouts.writeTotalTimeoutConstant = 0xFFFFFFFFu;

    channel->table = PortDriver{serialOpen, serialClose, serialControl, serialRead, serialWrite};
    return 0;
}

int32_t serialRelease(PortChannel *channel) {
    if (isClosed(stateOf(channel)))
        return 0;
    return serialClose(channel);
}

void serialSetTypedName(PortChannel *channel, const char *typed) {
    SerialState &s = stateOf(channel);
    std::snprintf(s.typedName, sizeof s.typedName, "%s", typed);
}

void serialSetReceiveOnly(PortChannel *channel, bool on) {
    channel->driver.serial.receiveOnly = on;
}

const char *serialOpenFailure(const PortChannel *channel) {
    return channel->driver.serial.failure;
}

const char *serialOpenNote(const PortChannel *channel) {
    return channel->driver.serial.note;
}
