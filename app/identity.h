// A device's identity on the console: asks a unit for function 17 (Report Server ID) or 43/14
// (Read Device Identification) through the application layer and prints what came, for -FN17,
// -FN43 and the scan. The answer records are static: nothing is allocated per request.
#pragma once

#include "stack/al/modpl.h"

#include <cstdint>

// Asks and prints the answer's lines: the server id, run indicator and additional data, or the
// conformity level and each object by name; exception 1 as "not supported", another exception
// with its code. Nothing is printed for a question without answer. The ask's result (1, 2, 0,
// -2, -3) and the exception code in *exception.
int32_t identityShow(StackContext *ctx, uint8_t function, int32_t unit, uint8_t *exception);

// Starts collecting the identity lines printed from now on; what was collected, the lines
// joined by "; " (bounded: a longer text is cut).
void identityCollect();
const char *identityCollected();

// Bytes as text where printable, \xNN otherwise, into out (size at least 4 * n + 1).
void identityText(const uint8_t *bytes, uint32_t n, char *out);
