// The data a slave serves: 65,536 each of coils, discrete inputs, input registers and holding
// registers, in one record the caller allocates statically. Serving a request reads or writes
// it in place; nothing is allocated and no index leaves the image.
#pragma once

#include "stack/al/modpl.h"

#include <cstdint>

constexpr uint32_t imageSize = 65536;

struct SlaveImage {
    uint8_t coils[imageSize];
    uint8_t inputs[imageSize];
    uint16_t inputRegisters[imageSize];
    uint16_t holdingRegisters[imageSize];
    uint8_t exceptionStatus; // what function 7 answers: -ES, 0 by default
};

// The documented pattern, by one-based number n: holding register n holds n, input register n
// holds 65536 - n, coil n is on for odd n, discrete input n is on for even n (all modulo 65536).
void imageSeed(SlaveImage *image);

// Stores one value at a reference type and zero-based offset; false for a type without data,
// an offset past the image, or a bit value other than 0 and 1.
bool imageSet(SlaveImage *image, uint16_t refType, uint32_t offset, uint32_t value);

// The registers of reference type 3 or 4; nullptr for a type of bits or without data.
uint16_t *imageRegisters(SlaveImage *image, uint16_t refType);

// The reference type a supported function code addresses; 2 (no data) for any other code.
uint16_t imageRefType(uint8_t functionCode);

// Serves a request the stack accepted: fills a read's values and count from the image, or
// applies a write. The exception code to answer with, 0 for a normal response: 2 when the
// addresses run past the image, 3 for a quantity of 0 or a coil value other than FF00 and 0000,
// 1 for a quantity above 32767 (the stack's limits compare it as negative).
uint8_t imageServe(SlaveImage *image, ModbusMessage *request);
