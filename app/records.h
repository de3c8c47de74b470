// Machine-readable output: one record per request, as CSV with a header line or as JSON Lines,
// on standard output, while everything else the program prints goes to standard error. Each
// record is written and flushed as its request ends; nothing is allocated per record.
#pragma once

#include "app/runstats.h"

#include <cstddef>
#include <cstdint>

enum class OutputFormat : uint8_t { Text, Csv, Json };

struct RequestRecord {
    uint32_t number;
    uint8_t unit;
    uint8_t function;
    uint16_t refType;
    int32_t first; // one-based register number
    RequestResult result;
    uint8_t exceptionCode;
    uint32_t ms;
    const int16_t *values;
    int32_t valueCount;
};

// TEXT, CSV or JSON (upper case); false for anything else, leaving *format as it was.
bool recordsFormatOf(const char *text, OutputFormat *format);
// For CSV and JSON: standard output goes to standard error from here on, and the records to
// what standard output was; the CSV header is written. Streams that cannot be split (no
// descriptor left) leave the output as text.
void recordsOpen(OutputFormat format);
// One record, in the format opened; nothing for text.
void recordsWrite(const RequestRecord *record);
// The one place a register value becomes text in a record: its length, as snprintf's.
int formatRegisterValue(char *out, size_t size, int16_t value);
