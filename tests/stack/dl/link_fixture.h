// A link context on the scripted port and the fake clock, with the trace captured.
#pragma once

#include "app/trace.h"
#include "stack/dl/moddl.h"
#include "tests/support/fake_clock.h"
#include "tests/support/script_port.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fakeClockReset(1000);
        ctx = LinkContext{};
        scriptPortBind(&ctx.port, &script);
        ctx.isSerial = 1;
        ctx.role = 1;
        ctx.baudRate = 9600;
        ctx.timing = LinkTiming{0, 0, 5, 2, 1800000};
        traceOn();
    }
    void TearDown() override { traceOff(); }

    // Values of every recorded control request with this code, in order.
    std::vector<uint32_t> controlValues(int32_t request) const {
        std::vector<uint32_t> values;
        for (const ScriptControl &c : script.controls)
            if (c.request == request)
                values.push_back(c.value);
        return values;
    }

    LinkContext ctx{};
    ScriptPort script;
};

// The trace of one read that delivered these bytes.
inline std::string receivedTrace(const std::vector<uint8_t> &bytes) {
    std::string text = "\n\rmoddlRx: Received " + std::to_string(bytes.size()) + " bytes\n\r(" +
                       std::to_string(bytes.size()) + ") ";
    char hex[4];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x ", b);
        text += hex;
    }
    return text + "\n";
}
