// The Modbus RTU CRC-16 (reflected polynomial 0xA001, register starting at 0xFFFF, no final
// XOR), from a constant 256-entry table. Sent low byte first, so a whole frame with its CRC
// checks to 0. No state, no failure.
#pragma once

#include <cstdint>

uint16_t moddlCrc16(uint32_t length, const uint8_t *data);

// One table step of the register over byte b; the receiver runs it to find a first frame.
uint16_t moddlCrc16Step(uint16_t crc, uint8_t b);
