// Command line under arbitrary arguments: the input split at NUL bytes into up to 3000
// writable argument strings, read into default settings with the echo thrown away.
#include "app/cmdline.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {
constexpr size_t maxArgs = 3000;
RunSettings settings; // too big for a fuzzer's stack frame
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    std::vector<std::vector<char>> texts;
    texts.push_back({'k', '\0'});
    std::vector<char> current;
    for (size_t i = 0; i < size && texts.size() < maxArgs; ++i) {
        if (data[i] == 0) {
            current.push_back('\0');
            texts.push_back(current);
            current.clear();
        } else {
            current.push_back(char(data[i]));
        }
    }
    if (!current.empty() && texts.size() < maxArgs) {
        current.push_back('\0');
        texts.push_back(current);
    }
    std::vector<char *> argv;
    for (std::vector<char> &t : texts)
        argv.push_back(t.data());
    argv.push_back(nullptr);
    runSettingsDefaults(&settings);
    parseArguments(&settings, int(argv.size() - 1), argv.data());
    return 0;
}
