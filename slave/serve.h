// Serving the image: one request taken from a stack context, answered and logged in one line;
// the loop of a serial port or a TCP client, one channel; and the loop of a TCP server, which
// keeps its listening socket for its whole life and serves up to slaveMaxMasters masters at
// once in one thread. Each log line is written whole, in one write, and ends with its line
// break (after one of its own when a driver's error text left the console mid-line).
#pragma once

#include "slave/fault.h"
#include "slave/image.h"
#include "slave/options.h"
#include "stack/al/modpl.h"

#include <cstdint>

constexpr uint32_t slaveMaxMasters = 16;
constexpr int32_t slaveMaxValues = 2000; // the most values one request carries (coils)
constexpr int32_t slaveReceiveTimeoutMs = 1000;

// One request received on ctx, served from the image, answered and logged as this number;
// false when nothing arrived for this unit. With faults, the answer is shaped and sent through
// answer, which may keep it to send later.
bool serveRequest(StackContext *ctx, SlaveImage *image, ModbusMessage *m, uint32_t number,
                  FaultRun *faults = nullptr, FaultAnswer *answer = nullptr);

// Each serves until a stop or a limit of the settings and logs the stop; the exit status.
// faults: nullptr for none.
int serveChannel(const SlaveSettings *s, SlaveImage *image, FaultRun *faults);
int serveMasters(const SlaveSettings *s, SlaveImage *image, FaultRun *faults);

// The log line of a stop after this many requests.
void logStop(uint32_t served);
