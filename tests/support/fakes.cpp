// The fake clock stands in for the real clock library in every test executable.
#include "tests/support/support.h"

#include "stack/dl/crc16.h"
#include "stack/drivers/clock.h"

#include <algorithm>
#include <utility>

namespace {
uint32_t fakeNow = 0;
std::vector<uint32_t> delays;
ScriptPort *current = nullptr;

int32_t scriptOpen(PortChannel *) {
    return current->openResult;
}

int32_t scriptClose(PortChannel *) {
    return IoOk;
}

int32_t scriptControl(PortChannel *, int32_t request, ControlArg arg) {
    if (request == SetReadTimeout)
        current->readTimeoutMs = arg.value;
    if (request == GetReadTimeout)
        *arg.out = current->readTimeoutMs;
    if (request == GetCharTimeout)
        *arg.out = current->charTimeoutMs;
    if (request == SetLineSettings)
        current->lineWord = *arg.out;
    if (request == GetLineSettings)
        *arg.out = current->lineWord;
    const bool set = request == SetReadTimeout || request == SetWriteTimeout ||
                     (request >= SetBaud && request <= FlushWrite && request % 2 == 1);
    current->controls.emplace_back(request, request == SetLineSettings ? *arg.out
                                            : set                      ? arg.value
                                                                       : 0);
    return IoOk;
}

int32_t scriptRead(PortChannel *, uint8_t *buffer, uint32_t size, uint32_t *count) {
    current->asked.push_back(size);
    if (current->nextRead >= current->reads.size())
        return *count = 0, IoTimeout;
    ScriptChunk &chunk = current->reads[current->nextRead];
    fakeNow += std::exchange(chunk.delayMs, 0);
    *count = std::min<uint32_t>(size, uint32_t(chunk.bytes.size()));
    std::copy(chunk.bytes.begin(), chunk.bytes.begin() + *count, buffer);
    // What was not asked for stays for the next read, as a driver keeps it.
    chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + *count);
    current->nextRead += chunk.bytes.empty();
    return chunk.result;
}

int32_t scriptWrite(PortChannel *, const uint8_t *buffer, uint32_t size, uint32_t *count) {
    current->writes.emplace_back(buffer, buffer + size);
    *count = current->writeResult == IoOk ? size : 0;
    return current->writeResult;
}
} // namespace

uint32_t tickCount() {
    return fakeNow;
}
uint32_t tickMicros() {
    return fakeNow * 1000u;
}
void delayMs(uint32_t ms) {
    delays.push_back(ms), fakeNow += ms;
}
void fakeClockReset(uint32_t now) {
    fakeNow = now, delays.clear();
}
const std::vector<uint32_t> &fakeClockDelays() {
    return delays;
}

void scriptPortBind(PortChannel *channel, ScriptPort *script) {
    current = script;
    channel->table = PortDriver{scriptOpen, scriptClose, scriptControl, scriptRead, scriptWrite};
}

Bytes rtuFrame(uint8_t unit, const Bytes &pdu) {
    Bytes frame(pdu);
    frame.insert(frame.begin(), unit);
    const uint16_t crc = moddlCrc16(uint32_t(frame.size()), frame.data());
    frame.insert(frame.end(), {uint8_t(crc), uint8_t(crc >> 8)});
    return frame;
}
