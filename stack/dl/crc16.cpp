// Modbus RTU CRC-16 from a table built at compile time by the reflected-polynomial rule.
#include "stack/dl/crc16.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t reg = uint16_t(i);
        for (int round = 0; round < 8; ++round)
            reg = (reg & 1u) ? uint16_t((reg >> 1) ^ 0xA001u) : uint16_t(reg >> 1);
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> crcTable = makeTable();

} // namespace

uint16_t moddlCrc16Step(uint16_t crc, uint8_t b) {
    return uint16_t(crcTable[(crc ^ b) & 0xFFu] ^ (crc >> 8));
}

uint16_t moddlCrc16(uint32_t length, const uint8_t *data) {
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < length; ++i)
        crc = moddlCrc16Step(crc, data[i]);
    return crc;
}
