// The port driver table: five operation slots and the per-channel driver state, the head of
// every stack context. The link layer reaches a port only through the io dispatch below; an
// empty slot answers IoNoOperation. Also the common result codes, the control request codes
// and the packed line settings word shared by the link layer and both drivers.
#pragma once

#include "stack/drivers/serial.h"
#include "stack/drivers/socket.h"

#include <cstdint>

// Results of every driver operation; 0 is success.
enum IoResult : int32_t {
    IoOk = 0,
    IoNoResources = 1,
    IoNotFound = 2,
    IoAccessDenied = 3,
    IoUnknownRequest = 4,
    IoNoOperation = 5,
    IoTimeout = 6,
    IoBroken = 7,
    IoAborted = 8,
    IoNotOpen = 9,
    IoAlreadyOpen = 10,
    IoNetworkError = 11,
    IoShortWrite = 12,
    IoAddressInUse = 13,
    IoNetworkDown = 14,
    IoFailed = 15
};

// Control requests: 2-5 for both drivers, 256-267 serial only, 512-515 socket only.
enum ControlRequest : int32_t {
    GetReadTimeout = 2,
    SetReadTimeout = 3,
    GetWriteTimeout = 4,
    SetWriteTimeout = 5,
    GetBaud = 256,
    SetBaud = 257,
    GetLineSettings = 258,
    SetLineSettings = 259,
    GetCharTimeout = 260,
    SetCharTimeout = 261,
    GetInQueueSize = 262,
    SetInQueueSize = 263,
    GetOutQueueSize = 264,
    SetOutQueueSize = 265,
    FlushRead = 266,
    FlushWrite = 267,
    GetReportWord1 = 512,
    SetReportWord1 = 513,
    GetReportWord2 = 514,
    SetReportWord2 = 515
};

// Fields of the line settings word (bits 0-16; bits 17-31 carry nothing). Bit 16 checks the
// parity of what is read: a byte that fails it reaches the reader as 0, never as it came.
namespace line {
constexpr uint32_t dataBitsShift = 0, dataBitsMask = 0x7u << dataBitsShift;
constexpr uint32_t parityShift = 3, parityMask = 0x7u << parityShift;
constexpr uint32_t stopBitsShift = 6, stopBitsMask = 0x3u << stopBitsShift;
constexpr uint32_t ctsShift = 8, ctsMask = 0x3u << ctsShift;
constexpr uint32_t dsrShift = 10, dsrMask = 0x3u << dsrShift;
constexpr uint32_t rtsShift = 12, rtsMask = 0x3u << rtsShift;
constexpr uint32_t dtrShift = 14, dtrMask = 0x3u << dtrShift;
constexpr uint32_t parityCheckShift = 16, parityCheckMask = 0x1u << parityCheckShift;
// 8 data bits, no parity, one stop bit, no CTS handshake, DSR ignored, RTS toggle, DTR as the
// port has it: a converter powered from DTR, or a device that needs it high, keeps working.
constexpr uint32_t openDefault = 0xE000;
} // namespace line

// The one argument of a control request: a value for Set requests, an address for Get
// requests and for both line settings requests.
union ControlArg {
    uint32_t value;
    uint32_t *out;
};

struct PortChannel;

using PortOpenFn = int32_t (*)(PortChannel *channel);
using PortCloseFn = int32_t (*)(PortChannel *channel);
using PortControlFn = int32_t (*)(PortChannel *channel, int32_t request, ControlArg arg);
using PortReadFn = int32_t (*)(PortChannel *channel, uint8_t *buffer, uint32_t size,
                               uint32_t *count);
using PortWriteFn = int32_t (*)(PortChannel *channel, const uint8_t *buffer, uint32_t size,
                                uint32_t *count);

struct PortDriver {
    PortOpenFn open;
    PortCloseFn close;
    PortControlFn control;
    PortReadFn read;
    PortWriteFn write;
};

// One area used by whichever driver is bound.
union DriverState {
    SerialState serial;
    SocketState socket;
};

struct PortChannel {
    // filled whole by a binding function; nothing clears it
    PortDriver table;
    // owned by the bound driver; the link layer reads none of it
    DriverState driver;
};

int32_t ioOpen(PortChannel *channel);
int32_t ioClose(PortChannel *channel);
int32_t ioControl(PortChannel *channel, int32_t request, uint32_t value);
int32_t ioControl(PortChannel *channel, int32_t request, uint32_t *out);
int32_t ioRead(PortChannel *channel, uint8_t *buffer, uint32_t size, uint32_t *count);
int32_t ioWrite(PortChannel *channel, const uint8_t *buffer, uint32_t size, uint32_t *count);
