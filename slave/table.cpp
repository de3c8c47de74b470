// Slot choice and silence of the TCP server's masters.
#include "slave/table.h"

uint32_t tableChoose(const bool *used, const uint32_t *lastActive, uint32_t n, uint32_t now,
                     bool *evict) {
    uint32_t oldest = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (!used[i]) {
            *evict = false;
            return i;
        }
        if (uint32_t(now - lastActive[i]) > uint32_t(now - lastActive[oldest]))
            oldest = i;
    }
    *evict = true;
    return oldest;
}

bool tableExpired(uint32_t lastActive, uint32_t now, uint32_t timeoutMs) {
    return timeoutMs != 0 && uint32_t(now - lastActive) >= timeoutMs;
}
