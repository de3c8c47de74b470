// Trace output: packet dumps, the labelled hex dump and the trace switch.
#include "app/trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

template <typename Print> std::string captured(Print print) {
    testing::internal::CaptureStdout();
    print();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class Trace : public testing::Test {
protected:
    void SetUp() override {
        traceInit();
        traceOn();
    }
    void TearDown() override { traceOn(); }
};

TEST_F(Trace, PacketDumpIsLengthThenLowerCaseBytes) {
    const uint8_t bytes[] = {0x01, 0x02, 0xff};
    EXPECT_EQ(captured([&] { tracePacket(3, bytes); }), "(3) 01 02 ff \n");
}

TEST_F(Trace, EmptyPacketDumpIsLengthAndLineBreak) {
    EXPECT_EQ(captured([] { tracePacket(0, nullptr); }), "(0) \n");
}

TEST_F(Trace, HexDumpBreaksEverySixteenBytes) {
    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<uint8_t>(0xa0 + i);
    std::string expected = "\n\nOutput 20 bytes with label 'rx'\n";
    for (int i = 0; i < 16; ++i)
        expected += " " + std::string(1, "0123456789abcdef"[(0xa0 + i) >> 4]) +
                    "0123456789abcdef"[(0xa0 + i) & 15];
    expected += "\n b0 b1 b2 b3\n";
    EXPECT_EQ(captured([&] { hexDump(bytes, 20, "rx"); }), expected);
}

TEST_F(Trace, HexDumpWithoutLabelSaysNull) {
    EXPECT_EQ(captured([] { hexDump(nullptr, 0, nullptr); }),
              "\n\nOutput 0 bytes with label 'NULL'\n");
}

TEST_F(Trace, HexDumpIgnoresTheTraceSwitch) {
    const uint8_t byte = 0x5a;
    traceOff();
    EXPECT_EQ(captured([&] { hexDump(&byte, 1, "x"); }),
              "\n\nOutput 1 bytes with label 'x'\n 5a\n");
}

TEST_F(Trace, SwitchOffSilencesTraceLinesAndDumps) {
    const uint8_t byte = 1;
    traceOff();
    EXPECT_EQ(captured([&] {
                  tracePrintf("\n\rmoddlTx: %d", 1);
                  tracePacket(1, &byte);
              }),
              "");
    traceOn();
    EXPECT_EQ(captured([] { tracePrintf("\n\rmoddlTx: %d", 1); }), "\n\rmoddlTx: 1");
}

} // namespace
