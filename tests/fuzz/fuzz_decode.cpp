// Decoder under arbitrary PDUs. Input: [role/link bits][preset count][unit][PDU...]; the PDU
// arrives in one well-formed frame, so the CRC never stops it before the decoder. The values
// array is exactly its stated capacity, so any write past it is caught.
#include "app/trace.h"
#include "stack/al/modpl.h"
#include "stack/dl/crc16.h"
#include "tests/support/fake_clock.h"
#include "tests/support/script_port.h"

#include <cstddef>
#include <cstdint>

namespace {
constexpr uint8_t stationUnit = 100;
constexpr uint16_t valueCapacity = 16;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > 3 + moddlMaxFrame)
        return 0;
    traceOff();
    fakeClockReset();
    StackContext ctx{};
    modplInstall(&ctx, (data[0] & 1) ? modplSlave : modplMaster);
    ctx.link.isSerial = (data[0] >> 1) & 1;
    ctx.link.baudRate = 9600;
    ctx.link.timing = LinkTiming{0, 0, 5, 2, 1800000};
    ctx.link.ownUnit = stationUnit;
    ctx.link.peerUnit = stationUnit;

    ScriptPort script;
    ScriptChunk chunk;
    chunk.bytes.assign(data + 2, data + size);
    const uint16_t crc = moddlCrc16(uint32_t(chunk.bytes.size()), chunk.bytes.data());
    chunk.bytes.push_back(uint8_t(crc));
    chunk.bytes.push_back(uint8_t(crc >> 8));
    script.reads.push_back(chunk);
    scriptPortBind(&ctx.link.port, &script);

    int16_t values[valueCapacity] = {};
    ModbusMessage msg{};
    msg.refType = 4;
    msg.offset = 10;
    msg.count = int16_t(int16_t(data[1]) - 32); // a few negatives, most past the capacity
    msg.values = values;
    msg.capacity = valueCapacity;
    modplGetReply(&ctx, &msg);
    return 0;
}
