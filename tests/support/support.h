// Test doubles and the row harness. The fake clock: tickCount answers a set value, delayMs
// advances it at once and records the wait. The scripted port driver, bound into a channel's
// table: each read advances the clock by its chunk's delay and answers the chunk's result and
// bytes (what is past the size asked stays for the next read), an exhausted script answers
// IoTimeout; writes and control requests are recorded. A row is a behaviour's name, a run that
// sums up its outcome as one text, and the text expected; every test executable runs its rows
// through one test.
#pragma once

#include "stack/drivers/port.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

void fakeClockReset(uint32_t now = 0);
const std::vector<uint32_t> &fakeClockDelays(); // every wait since the reset

struct ScriptChunk {
    Bytes bytes;
    uint32_t delayMs = 0;
    int32_t result = IoOk;
};

struct ScriptPort {
    std::vector<ScriptChunk> reads;
    size_t nextRead = 0;
    std::vector<uint32_t> asked; // the size of each read
    std::vector<Bytes> writes;
    int32_t writeResult = IoOk;
    std::vector<std::pair<int32_t, uint32_t>> controls; // a Set request's value, else 0
    uint32_t readTimeoutMs = 0;                         // the last SetReadTimeout, read back
    uint32_t charTimeoutMs = 0;                         // what GetCharTimeout answers
    uint32_t lineWord = 0;                              // GetLineSettings: the last one set
    int32_t openResult = IoOk;
};

void scriptPortBind(PortChannel *channel, ScriptPort *script); // one script at a time

Bytes rtuFrame(uint8_t unit, const Bytes &pdu); // unit, PDU, CRC low byte first

std::string str(int64_t value);
std::string hex(const uint8_t *bytes, size_t n); // " %02x" per byte

// Outcomes of steps in order (<< sequences them), each followed by a space.
struct Steps {
    std::string text;
    template <typename T> Steps &operator<<(T v) { return text += str(+v) + " ", *this; }
    Steps &operator<<(const char *s) { return text += std::string(s) + " ", *this; }
    operator std::string() const { return text; }
};

struct Row {
    const char *name;
    std::function<std::string()> run;
    std::string expected;
};

class Rows : public testing::TestWithParam<Row> {};

inline std::string rowName(const testing::TestParamInfo<Row> &row) {
    return row.param.name;
}
