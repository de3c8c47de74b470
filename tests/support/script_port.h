// A scripted port driver for tests, bound into a channel's table in place of a real driver.
// Each read takes the next chunk of the script: it advances the fake clock by the chunk's
// delay, then answers the chunk's result with its bytes (cut to the size asked). An exhausted
// script answers IoTimeout. Writes are recorded and answer writeResult. Control requests are
// recorded and answer 0.
#pragma once

#include "stack/drivers/port.h"

#include <cstdint>
#include <vector>

struct ScriptChunk {
    std::vector<uint8_t> bytes;
    uint32_t delayMs = 0;
    int32_t result = IoOk;
};

struct ScriptControl {
    int32_t request;
    uint32_t value; // the value of a Set request, or the word passed to SetLineSettings
};

struct ScriptPort {
    std::vector<ScriptChunk> reads;
    size_t nextRead = 0;
    std::vector<uint32_t> readSizes; // size asked by each read
    std::vector<std::vector<uint8_t>> writes;
    int32_t writeResult = IoOk;
    uint32_t writeTick = 0; // fake tick at the last write
    std::vector<ScriptControl> controls;
    int32_t openResult = IoOk;
    int32_t closeResult = IoOk;
    int opens = 0;
    int closes = 0;
};

// Binds the script's five operations into channel->table. One script at a time.
void scriptPortBind(PortChannel *channel, ScriptPort *script);
