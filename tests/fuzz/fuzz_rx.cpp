// Receive path under arbitrary reads: the input is a list of chunks, each
// [length][delay ms][bytes...], fed through the scripted port into moddlReceive.
#include "app/trace.h"
#include "stack/dl/moddl.h"
#include "tests/support/fake_clock.h"
#include "tests/support/script_port.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    traceOff();
    fakeClockReset(1000);
    ScriptPort script;
    size_t at = 0;
    while (at + 2 <= size) {
        ScriptChunk chunk;
        size_t length = data[at];
        chunk.delayMs = data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        chunk.bytes.assign(data + at, data + at + length);
        at += length;
        script.reads.push_back(chunk);
    }
    LinkContext ctx{};
    scriptPortBind(&ctx.port, &script);
    ctx.isSerial = 1;
    ctx.role = 1;
    ctx.peerUnit = 1;
    ctx.baudRate = 9600;
    ctx.timing = LinkTiming{0, 0, 5, 2, 1800000};
    uint8_t pdu[256];
    PduRecord record{0, pdu};
    moddlReceive(&ctx, &record);
    return 0;
}
