// The argument reader called directly, with writable argument texts as a shell passes them.
#include "app/cmdline.h"
#include "app/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Arguments {
    explicit Arguments(std::vector<std::string> list) : texts(std::move(list)) {
        texts.insert(texts.begin(), "korvalen");
        for (std::string &text : texts)
            pointers.push_back(text.data());
    }
    int count() const { return static_cast<int>(pointers.size()); }
    std::vector<std::string> texts;
    std::vector<char *> pointers;
};

class CommandLine : public testing::Test {
protected:
    void SetUp() override {
        runSettingsDefaults(&settings);
        traceInit();
        traceOn();
    }
    void TearDown() override { traceOn(); }
    void parse(std::vector<std::string> list) {
        args = std::make_unique<Arguments>(std::move(list));
        testing::internal::CaptureStdout();
        parseArguments(&settings, args->count(), args->pointers.data());
        fflush(stdout);
        printed = testing::internal::GetCapturedStdout();
    }
    static RunSettings settings;
    std::unique_ptr<Arguments> args;
    std::string printed;
};

RunSettings CommandLine::settings;

TEST_F(CommandLine, DefaultsAreAReadOfThreeRegisters) {
    EXPECT_STREQ(settings.portText, "COM2");
    EXPECT_EQ(settings.baudRate, 9600);
    EXPECT_EQ(settings.functionSelector, selectorRead);
    EXPECT_EQ(settings.modslave, 100);
    EXPECT_STREQ(settings.startreg, "400011");
    EXPECT_EQ(settings.registerCount, 3);
    EXPECT_EQ(settings.numRequests, 1);
    EXPECT_EQ(settings.receiveTimeout, 5000);
    EXPECT_EQ(settings.requestSpacing, 100);
    EXPECT_EQ(settings.valueCount, 0);
    EXPECT_FALSE(settings.run);
    EXPECT_TRUE(traceRegisterDump());
}

TEST_F(CommandLine, SlaveIdKeepsLowEightBits) {
    parse({"-ID300"});
    EXPECT_EQ(settings.modslave, 44);
    EXPECT_TRUE(settings.run);
}

TEST_F(CommandLine, ValueKeepsLowSixteenBits) {
    parse({"65535", "65536"});
    ASSERT_EQ(settings.valueCount, 2);
    EXPECT_EQ(settings.values[0], -1);
    EXPECT_EQ(settings.values[1], 0);
}

TEST_F(CommandLine, ValueAfterRegisterCountResetsItToOne) {
    parse({"-NR10", "5"});
    EXPECT_EQ(settings.registerCount, 1);
}

TEST_F(CommandLine, RegisterCountAfterValueWins) {
    parse({"5", "-NR10"});
    EXPECT_EQ(settings.registerCount, 10);
}

TEST_F(CommandLine, WriteWithThreeValues) {
    parse({"-FNWRITE", "100", "200", "300"});
    EXPECT_EQ(settings.functionSelector, selectorWrite);
    ASSERT_EQ(settings.valueCount, 3);
    EXPECT_EQ(settings.values[0], 100);
    EXPECT_EQ(settings.values[2], 300);
    EXPECT_EQ(settings.registerCount, 1);
}

TEST_F(CommandLine, FunctionNumberAndLetters) {
    parse({"-fn16"});
    EXPECT_EQ(settings.functionSelector, 16);
    parse({"-FNr"});
    EXPECT_EQ(settings.functionSelector, selectorRead);
    parse({"-FN"});
    EXPECT_EQ(settings.functionSelector, 0);
    parse({"-FNX"});
    EXPECT_EQ(settings.functionSelector, 0);
    EXPECT_EQ(printed, "\nFunction 'X' not supported");
}

TEST_F(CommandLine, LastPacketDumpOptionWins) {
    parse({"-PKOFF", "-PKON"});
    EXPECT_TRUE(traceIsOn());
    parse({"-PKOFF", "-PKO"});
    EXPECT_FALSE(traceIsOn());
}

TEST_F(CommandLine, RegisterDumpOff) {
    parse({"-RDOFF"});
    EXPECT_FALSE(traceRegisterDump());
    parse({"-RDONX"});
    EXPECT_TRUE(traceRegisterDump());
}

TEST_F(CommandLine, SeparateTimeoutValueBecomesAValue) {
    parse({"-RT", "2000"});
    EXPECT_EQ(settings.receiveTimeout, 0);
    ASSERT_EQ(settings.valueCount, 1);
    EXPECT_EQ(settings.values[0], 2000);
    EXPECT_EQ(printed, "\nRECEIVE_TIMEOUT set to 0");
}

TEST_F(CommandLine, FirstMatchingNameWins) {
    parse({"-BAUD"});
    EXPECT_EQ(settings.baudRate, 0);
    EXPECT_EQ(printed, "\nStripped BAUD from input: 0");
    parse({"-com1"});
    EXPECT_STREQ(settings.portText, "COM1");
    EXPECT_EQ(settings.baudRate, 0);
    parse({"-QUIT"});
    EXPECT_TRUE(settings.run);
    EXPECT_EQ(printed, "");
}

TEST_F(CommandLine, SocketTextAndStartregAreUpperCased) {
    parse({"-sk/502", "/srabc"});
    EXPECT_STREQ(settings.portText, "/502");
    EXPECT_STREQ(settings.startreg, "ABC");
}

TEST_F(CommandLine, InvalidOptionClearsRunFlagUntilAValidOne) {
    parse({"-Q", "-xyz"});
    EXPECT_FALSE(settings.run);
    EXPECT_EQ(printed, "INVALID INPUT: '-XYZ'");
    parse({"-XYZ", "-Q"});
    EXPECT_TRUE(settings.run);
}

TEST_F(CommandLine, HelpLeavesRunFlag) {
    parse({"-?"});
    EXPECT_FALSE(settings.run);
    EXPECT_NE(printed.find("List of values for a WRITE request."), std::string::npos);
}

TEST_F(CommandLine, TwoThousandValuesFitSilently) {
    parse(std::vector<std::string>(2000, "7"));
    EXPECT_EQ(settings.valueCount, 2000);
    EXPECT_EQ(settings.valuesIgnored, 0);
    EXPECT_EQ(printed, "");
}

TEST_F(CommandLine, TwoThousandAndTwoValuesKeepTheFirstTwoThousand) {
    std::vector<std::string> list(2002, "7");
    list[2000] = "8";
    parse(list);
    EXPECT_EQ(settings.valueCount, 2000);
    EXPECT_EQ(settings.values[1999], 7);
    EXPECT_EQ(settings.valuesIgnored, 2);
    EXPECT_EQ(printed, "\nToo many values: only the first 2000 are kept.");
}

} // namespace
