// The scan: finds the devices on a line by probing unit addresses with a read of one holding
// register, at the port's settings or, with the sweep, at every standard baud rate and common
// line format, and reads each device's identity. Prints one line per unit found, the summary,
// and on a terminal a progress line that rewrites itself. Ctrl-C ends it with what was found.
// A gateway's "no path" or "no response" exception means no device; a well-formed answer from
// the unit probed before, heard during the next probe, is that unit found late.
#pragma once

#include "app/cmdline.h"
#include "app/runstats.h"
#include "stack/al/modpl.h"

#include <cstdint>

// A line setting: baud rate, data bits, parity (0 none, 1 odd, 2 even), stop bits.
struct ScanSetting {
    int32_t baud;
    int8_t dataBits, parity, stopBits;
};

constexpr uint32_t scanSettingsMost = 32;

// The settings the sweep tries, in order, into out (room for scanSettingsMost): the likely
// ones first, then every other rate in each format, slow rates last. Their number.
uint32_t scanSweepOrder(ScanSetting *out);

// The probe's time-out without -RT: a request and its answer at the setting's character time,
// with the silence between, plus a margin for slow devices (scanMarginMs).
constexpr uint32_t scanMarginMs = 50;
uint32_t scanProbeTimeoutMs(const ScanSetting *setting);
// Without -TD: 3.5 character times of silence before each request, rounded up, and 1 ms.
uint32_t scanSpacingMs(const ScanSetting *setting);

// Runs the scan on an open channel, counting each probe in stats and writing a record for each
// unit found: 0 a device was found, 2 none, or the connection was lost with units untested.
int scanRun(const RunSettings *settings, StackContext *ctx, RunStats *stats);
