// Serial port driver: the defaults written at binding, the control operation that keeps the
// line state and time-outs (stored while closed, applied at open), and the table operations.
// This build has no device access yet: open answers IoNotFound and the port stays closed, so
// close, read and write answer IoNotOpen. Never prints.
#include "stack/drivers/serial.h"

#include "stack/drivers/port.h"

#include <cstring>

namespace {

SerialState &stateOf(PortChannel *channel) {
    return channel->driver.serial;
}

bool isClosed(const SerialState &s) {
    return s.portHandle == plat::invalidHandleValue;
}

// Settings of a closed port wait in the state for the next open.
int32_t applySettings(SerialState &s) {
    if (isClosed(s))
        return IoOk;
    return IoFailed;
}

// Purging needs a device; a closed port's invalid handle is refused as the system would.
int32_t purge(SerialState &s) {
    if (isClosed(s)) {
        s.lastError = plat::errorInvalidHandle;
        return IoNoOperation;
    }
    return IoOk;
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
}

// Rewrites bits 0-15 only; an RTS or DTR state without a code keeps the caller's bits.
void getLineSettings(const plat::Dcb &dcb, uint32_t *word) {
    uint32_t w = *word;
    w = (w & ~line::dataBitsMask) | (((8u - dcb.byteSize) % 8u) << line::dataBitsShift);
    w = (w & ~line::parityMask) | ((dcb.parity % 8u) << line::parityShift);
    w = (w & ~line::stopBitsMask) | ((dcb.stopBits % 4u) << line::stopBitsShift);
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

int32_t serialOpen(PortChannel *channel) {
    SerialState &s = stateOf(channel);
    s.lastError = 0;
    if (!isClosed(s))
        return IoAlreadyOpen;
    s.lastError = plat::errorFileNotFound;
    return IoNotFound;
}

int32_t serialClose(PortChannel *channel) {
    return isClosed(stateOf(channel)) ? IoNotOpen : IoFailed;
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
    case FlushWrite:
        return purge(s);
    default:
        return IoUnknownRequest;
    }
}

int32_t serialRead(PortChannel *channel, uint8_t *, uint32_t, uint32_t *) {
    return isClosed(stateOf(channel)) ? IoNotOpen : IoFailed;
}

int32_t serialWrite(PortChannel *channel, const uint8_t *, uint32_t, uint32_t *) {
    return isClosed(stateOf(channel)) ? IoNotOpen : IoFailed;
}

} // namespace

int32_t serialInstall(PortChannel *channel, const char *text) {
    SerialState &s = stateOf(channel);
    std::memset(&s, 0, sizeof s);
    std::strncpy(s.portName, text, serialPortNameSize - 1);
    s.portName[serialPortNameSize - 1] = '\0';
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
