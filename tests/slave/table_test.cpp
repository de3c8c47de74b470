// The TCP server's table: the slot a new master takes and when silence ends a connection.
#include "slave/table.h"
#include "tests/support/support.h"

namespace {

// The slot chosen among three at the tick now, and 1 when its master is to be closed for it.
std::function<std::string()> choose(std::vector<uint32_t> last, uint32_t now, bool free1 = false) {
    return [=] {
        const bool used[3] = {true, !free1, true};
        bool evict = false;
        return Steps() << tableChoose(used, last.data(), 3, now, &evict) << evict;
    };
}

std::function<std::string()> expired(uint32_t last, uint32_t now, uint32_t timeoutMs) {
    return [=] { return str(tableExpired(last, now, timeoutMs)); };
}

INSTANTIATE_TEST_SUITE_P(
    MasterTable, Rows,
    testing::Values(
        Row{"FreeSlotIsTakenBeforeAnyIsClosed", choose({0, 9000, 0}, 9000, true), "1 0 "},
        Row{"FullTableClosesTheMasterSilentLongest", choose({5000, 1000, 3000}, 9000), "1 1 "},
        Row{"EquallySilentMastersGiveTheFirst", choose({7, 7, 7}, 9), "0 1 "},
        Row{"SilenceIsCountedAcrossTheTickWrap", choose({0xFFFFFF00u, 0xFFFFFFF0u, 0x10u}, 0x20u),
            "0 1 "},
        Row{"SilenceOfTheTimeOutEndsIt", expired(0xFFFFFC18u, 0x3E8u, 2000), "1"},
        Row{"SilenceOneShortOfTheTimeOutGoesOn", expired(0xFFFFFC18u, 0x3E7u, 2000), "0"},
        Row{"TimeOutOfZeroNeverEnds", expired(0, 0xFFFFFFFFu, 0), "0"}),
    rowName);

} // namespace
