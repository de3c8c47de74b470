// Byte-exact runs of the real binary against hand-written transcripts. The banner's build
// stamp is masked; "@@STACK@@" in a transcript stands for whatever the stack traces there.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct RunResult {
    std::string output;
    int status = -1;       // exit status, or -1 when killed or stopped abnormally
    long watchSeenMs = -1; // when the output first held the watched text
    long endedMs = -1;     // when the output ended
};

constexpr int runLimitMs = 10000;

RunResult runBinary(const std::vector<std::string> &args, const char *watch = nullptr) {
    RunResult result;
    const auto started = std::chrono::steady_clock::now();
    auto sinceStart = [&] {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started)
                                     .count());
    };
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    std::vector<char *> argv;
    std::vector<std::string> copies(args);
    argv.push_back(const_cast<char *>(KORVALEN_BIN));
    for (std::string &arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execv(KORVALEN_BIN, argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buffer[4096];
    int waitedMs = 0;
    // Bounded: poll in slices until end of file or the limit.
    while (waitedMs < runLimitMs) {
        pollfd p{fds[0], POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready == 0) {
            waitedMs += 100;
            continue;
        }
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
        if (watch && result.watchSeenMs < 0 && result.output.find(watch) != std::string::npos)
            result.watchSeenMs = sinceStart();
    }
    result.endedMs = sinceStart();
    close(fds[0]);
    if (waitedMs >= runLimitMs)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

std::string readTranscript(const std::string &name) {
    std::ifstream in(std::string(KORVALEN_SOURCE_DIR) + "/tests/app/transcripts/" + name,
                     std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const char *const bannerMask = "KORVALEN v1.5:  Compiled at <DATE> <TIME>\n";

// The banner line must have the build stamp's shape; it is then replaced by the mask.
std::string maskBanner(const std::string &output) {
    static const std::regex banner("^KORVALEN v1\\.5:  Compiled at [A-Z][a-z]{2} [ 123][0-9] "
                                   "[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n");
    std::smatch match;
    if (!std::regex_search(output, match, banner))
        return output;
    return bannerMask + output.substr(match.length(0));
}

void expectTranscript(const std::vector<std::string> &args, const std::string &name) {
    RunResult run = runBinary(args);
    EXPECT_EQ(run.status, 10);
    std::string actual = maskBanner(run.output);
    std::string expected = readTranscript(name);
    ASSERT_FALSE(expected.empty()) << name;
    const std::string marker = "@@STACK@@";
    size_t at = expected.find(marker);
    if (at == std::string::npos) {
        EXPECT_EQ(actual, expected);
        return;
    }
    std::string head = expected.substr(0, at);
    std::string tail = expected.substr(at + marker.size());
    ASSERT_GE(actual.size(), head.size() + tail.size()) << actual;
    EXPECT_EQ(actual.substr(0, head.size()), head);
    EXPECT_EQ(actual.substr(actual.size() - tail.size()), tail);
}

struct TranscriptCase {
    const char *name;
    std::vector<std::string> args;
    const char *file;
};

class Transcript : public testing::TestWithParam<TranscriptCase> {};

TEST_P(Transcript, OutputMatchesHandWrittenTranscript) {
    expectTranscript(GetParam().args, GetParam().file);
}

// Options that would start a run are followed by -XYZ, so that nothing opens a port.
const TranscriptCase cases[] = {
    {"NoArguments", {}, "no_arguments.txt"},
    {"QuestionMark", {"-?"}, "usage.txt"},
    {"LowerH", {"-h"}, "usage.txt"},
    {"HelpWord", {"-HELP"}, "usage.txt"},
    {"InvalidOptionLast", {"-XYZ"}, "invalid_option.txt"},
    {"InvalidThenQRunsAndOpenFails", {"-XYZ", "-Q"}, "invalid_then_run.txt"},
    {"UnknownFunctionLetter", {"-FNX", "-XYZ"}, "function_letter_unknown.txt"},
    {"BaudWithoutDigits", {"-BAUD", "-XYZ"}, "baud_without_digits.txt"},
    {"Requests70000Wraps", {"-RQ70000", "-XYZ"}, "requests_70000.txt"},
    {"Requests40000IsNegative", {"-RQ40000", "-XYZ"}, "requests_40000.txt"},
    {"TimeoutValueSeparate", {"-RT", "2000", "-XYZ"}, "timeout_separate_value.txt"},
    {"BadStartreg", {"-SRabc"}, "bad_startreg.txt"},
    {"BadStartregBeforeRunFlag", {"-SRabc", "-XYZ"}, "bad_startreg_not_run.txt"},
    {"SocketPortSilent", {"-sk/502", "-XYZ"}, "silent_options.txt"},
    {"SlashPrefixAndLowerCase", {"/ID7", "-com1", "-XYZ"}, "silent_options.txt"},
    {"PacketDumpHalfWord", {"-PKO", "-XYZ"}, "silent_options.txt"},
    {"RefusedSelector", {"-FN7"}, "selector_refused.txt"},
};

INSTANTIATE_TEST_SUITE_P(Front, Transcript, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<TranscriptCase> &caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

TEST(Transcript, ValuesPastTwoThousandAreReportedOnce) {
    std::vector<std::string> args(2002, "1");
    args.back() = "-XYZ";
    expectTranscript(args, "too_many_values.txt");
}

} // namespace
