// The scripted port driver: reads replay the script on the fake clock, writes and control
// requests are recorded.
#include "tests/support/script_port.h"

#include "tests/support/fake_clock.h"

#include "stack/drivers/clock.h"

#include <algorithm>

namespace {

ScriptPort *current = nullptr;

int32_t scriptOpen(PortChannel *) {
    ++current->opens;
    return current->openResult;
}

int32_t scriptClose(PortChannel *) {
    ++current->closes;
    return current->closeResult;
}

int32_t scriptControl(PortChannel *, int32_t request, ControlArg arg) {
    bool byAddress = request == SetLineSettings || request == GetLineSettings ||
                     request == GetReadTimeout || request == GetWriteTimeout ||
                     (request >= GetBaud && request <= GetOutQueueSize && request % 2 == 0);
    uint32_t value = 0;
    if (request == SetLineSettings)
        value = *arg.out;
    else if (!byAddress)
        value = arg.value;
    current->controls.push_back(ScriptControl{request, value});
    return IoOk;
}

int32_t scriptRead(PortChannel *, uint8_t *buffer, uint32_t size, uint32_t *count) {
    current->readSizes.push_back(size);
    if (current->nextRead >= current->reads.size()) {
        *count = 0;
        return IoTimeout;
    }
    const ScriptChunk &chunk = current->reads[current->nextRead++];
    fakeClockAdvance(chunk.delayMs);
    uint32_t n = std::min<uint32_t>(size, uint32_t(chunk.bytes.size()));
    std::copy(chunk.bytes.begin(), chunk.bytes.begin() + n, buffer);
    *count = n;
    return chunk.result;
}

int32_t scriptWrite(PortChannel *, const uint8_t *buffer, uint32_t size, uint32_t *count) {
    current->writes.emplace_back(buffer, buffer + size);
    current->writeTick = tickCount();
    *count = current->writeResult == IoOk ? size : 0;
    return current->writeResult;
}

} // namespace

void scriptPortBind(PortChannel *channel, ScriptPort *script) {
    current = script;
    channel->table = PortDriver{scriptOpen, scriptClose, scriptControl, scriptRead, scriptWrite};
}
