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
#include <thread>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

namespace {

uint16_t crc16(const std::vector<uint8_t> &bytes) {
    uint16_t crc = 0xffff;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xa001) : (crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> frame(std::vector<uint8_t> bytes) {
    uint16_t crc = crc16(bytes);
    bytes.push_back(static_cast<uint8_t>(crc & 0xff));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

// One-connection TCP slave on an ephemeral loopback port: answers each request it reads with
// the next reply of its list (an empty reply: stays silent). Every wait is bounded; the
// thread is joined by the test.
class LoopbackSlave {
public:
    explicit LoopbackSlave(std::vector<std::vector<uint8_t>> replies)
        : replies_(std::move(replies)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr *>(&address), length);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackSlave() {
        thread_.join();
        close(listener_);
    }
    std::string portText() const { return "127.0.0.1/" + std::to_string(port_); }
    int port() const { return port_; }
    std::vector<uint8_t> requests; // every byte received, in order

private:
    // False when the master closed the connection or sent nothing in time.
    bool readRequest(int peer) {
        const size_t wanted = requests.size() + 8;
        uint8_t buffer[256];
        for (int slice = 0; slice < 50 && requests.size() < wanted; ++slice) {
            pollfd q{peer, POLLIN, 0};
            if (poll(&q, 1, 100) != 1)
                continue;
            ssize_t n = recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0)
                return false;
            requests.insert(requests.end(), buffer, buffer + n);
        }
        return requests.size() >= wanted;
    }
    void serve() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, runLimitMs) != 1)
            return;
        int peer = accept(listener_, nullptr, nullptr);
        for (const std::vector<uint8_t> &reply : replies_) {
            if (!readRequest(peer))
                break;
            if (!reply.empty())
                send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        // Hold the connection until the master closes it.
        uint8_t rest[256];
        for (int slice = 0; slice < runLimitMs / 100; ++slice) {
            pollfd q{peer, POLLIN, 0};
            if (poll(&q, 1, 100) == 1 && recv(peer, rest, sizeof rest, 0) <= 0)
                break;
        }
        close(peer);
    }
    std::vector<std::vector<uint8_t>> replies_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

std::string withPort(std::string text, int port) {
    const std::string marker = "@@PORT@@";
    size_t at = text.find(marker);
    if (at != std::string::npos)
        text.replace(at, marker.size(), std::to_string(port));
    return text;
}

void expectTcpTranscript(LoopbackSlave &slave, std::vector<std::string> args,
                         const std::string &name) {
    args.insert(args.begin(), "-PKOFF");
    args.push_back("-SK" + slave.portText());
    RunResult run = runBinary(args);
    EXPECT_EQ(run.status, 10);
    EXPECT_EQ(maskBanner(run.output), withPort(readTranscript(name), slave.port()));
}

const std::vector<uint8_t> threeRegisters = frame({100, 3, 6, 0, 1, 0, 2, 0xff, 0xff});

TEST(TranscriptOverTcp, ReadOfThreeRegistersListsEachOne) {
    LoopbackSlave slave({threeRegisters});
    expectTcpTranscript(slave, {}, "tcp_read.txt");
    EXPECT_EQ(slave.requests, frame({100, 3, 0, 10, 0, 3}));
}

TEST(TranscriptOverTcp, ExceptionReplyPrintsCodeAndNoRegisters) {
    LoopbackSlave slave({frame({100, 0x83, 2})});
    expectTcpTranscript(slave, {}, "tcp_exception.txt");
}

TEST(TranscriptOverTcp, RegisterDumpOffKeepsTheHeader) {
    LoopbackSlave slave({threeRegisters});
    expectTcpTranscript(slave, {"-RDOFF"}, "tcp_register_dump_off.txt");
}

TEST(TranscriptOverTcp, TwoRequestsAreNumbered) {
    LoopbackSlave slave({threeRegisters, threeRegisters});
    expectTcpTranscript(slave, {"-RQ2", "-RDOFF"}, "tcp_two_requests.txt");
    EXPECT_EQ(slave.requests.size(), 16u);
}

TEST(TranscriptOverTcp, ZeroRequestsOpenAndSendNothing) {
    LoopbackSlave slave({});
    expectTcpTranscript(slave, {"-RQ0"}, "tcp_zero_requests.txt");
    EXPECT_TRUE(slave.requests.empty());
}

TEST(TranscriptOverTcp, WriteToInputRegistersFailsEveryRepetition) {
    LoopbackSlave slave({});
    expectTcpTranscript(slave, {"-FNWRITE", "-SR300001", "5", "-RQ2"}, "tcp_write_refused.txt");
    EXPECT_TRUE(slave.requests.empty());
}

TEST(TranscriptOverTcp, SilentSlaveGivesReceiveError) {
    LoopbackSlave slave(std::vector<std::vector<uint8_t>>(1));
    expectTcpTranscript(slave, {"-RT300"}, "tcp_no_reply.txt");
}

// The tool flushes before it waits, so a pipe sees the line while the reply is awaited.
TEST(TranscriptOverTcp, SendingLineReachesThePipeBeforeTheWait) {
    LoopbackSlave slave(std::vector<std::vector<uint8_t>>(1));
    RunResult run =
        runBinary({"-PKOFF", "-RT2000", "-SK" + slave.portText()}, "\nSending request #1");
    EXPECT_EQ(run.status, 10);
    ASSERT_GE(run.watchSeenMs, 0);
    EXPECT_GE(run.endedMs - run.watchSeenMs, 1000) << run.watchSeenMs << " " << run.endedMs;
}

} // namespace
