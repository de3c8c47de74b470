// Machine-readable output: one record per request, as CSV with a header line or as JSON Lines,
// on standard output, while everything else the program prints goes to standard error. Each
// record is written and flushed as its request ends; nothing is allocated per record.
#pragma once

#include "app/runstats.h"
#include "stack/al/typed.h"

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
    uint32_t us; // response time, written as ms to the microsecond
    const int16_t *values;
    int32_t valueCount; // registers
    DataType type;      // the values' type and word order, as the register lines print them
    WordOrder order;
    // A scan's unit found: the line settings it answered at ("" over TCP) and its identity
    // lines joined by "; "; nullptr for a request
    const char *settings;
    const char *identity;
};

// TEXT, CSV or JSON (upper case); false for anything else, leaving *format as it was.
bool recordsFormatOf(const char *text, OutputFormat *format);
// For CSV and JSON: standard output goes to standard error from here on, and the records to
// what standard output was; the CSV header is written, with the settings and identity columns
// of a scan's records when scan, or the columns of a line monitor's records when heard. Streams
// that cannot be split (no descriptor left) leave the output as text.
void recordsOpen(OutputFormat format, bool scan, bool heard = false);
// One record, in the format opened; nothing for text.
void recordsWrite(const RequestRecord *record);
// An exchange the line monitor heard: the request record's unit, function, start, time and
// values, with the count asked and the result as words ("ok", "no answer", "noise 3 bytes").
// What the line did not tell is left out: no unit (noise), no start or count (a reply alone),
// no time (no reply).
struct HeardRecord {
    const RequestRecord *exchange;
    int32_t count;
    const char *result;
    bool hasUnit, hasStart, hasTime;
};
void recordsWriteHeard(const HeardRecord *record);
// The time now as records carry it, ISO 8601 in UTC with milliseconds.
void recordsTimestamp(char *out, size_t size);
// Whether the reader of the run's output has gone (| head): standard output or the records
// could not take what was written. Flushes standard output to find out.
bool recordsReaderGone();
// The text of the value that starts at register i, in the record's type as the register lines
// print it (INT16 and the ALL view as 16-bit numbers, a STRING as every register from i), and
// the registers it takes; 0 when no whole value starts there.
int32_t recordValueText(const RequestRecord *record, int32_t i, char *text, size_t size);
