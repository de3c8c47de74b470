// Register references: a type digit (0 coils, 1 discrete inputs, 3 input registers, 4 holding
// registers) followed by a one-based register number of up to five digits, as in "400011".
#pragma once

#include <cstdint>

// 1 and the type and zero-based offset for a valid reference; 0 with both set to 0 otherwise.
// Characters after the fifth digit are not read.
int32_t modplParseReference(const char *text, uint16_t *refType, uint16_t *offset);
