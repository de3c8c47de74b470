// The master's functions 7, 8, 22, 23 and 24 and -PDU: the request built and judged from the
// settings before anything is opened, then each repetition sent, its answer printed in lines
// of its own (23's as a read's register lines), counted and recorded. The request and answer
// records are static: nothing is allocated per request.
#pragma once

#include "app/cmdline.h"
#include "app/runstats.h"
#include "stack/al/modpl.h"

bool extrasSelected(uint8_t selector);
// With the values already registers and -SR read: false, after saying why ("Write not sent:"
// for a write, "Run refused:" otherwise), when the request cannot go out as typed.
bool extrasPrepare(RunSettings *settings, uint16_t refType, uint16_t offset);
// One request of the prepared PDU to settings->modslave as request number; a broadcast awaits
// no answer.
void extrasExchange(const RunSettings *settings, StackContext *ctx, RunStats *stats,
                    uint32_t number, bool broadcast);
