// Diagnostic output, beneath the stack and the front end alike: the trace switch and log file
// behind the link layer's trace lines and packet dumps, the register dump switch read by the
// request cycle, and a labelled hex dump. Includes nothing of the project; process-wide state,
// single-threaded; every routine prints to standard output (and the log file, when one is
// open) and ignores print errors.
#pragma once

#include <cstdint>
#include <cstdio>

// Trace switch and log flag off; an open log file stays open.
void traceInit();
void traceOn();
void traceOff();
bool traceIsOn();

// Prints the formatted text to every sink that is on, console first; adds no line break.
void tracePrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints to the console whatever the switches say, never to the log file; adds no line break,
// unless reports keep to lines of their own: then one comes first when the console stands
// mid-line.
void traceReport(const char *format, ...) __attribute__((format(printf, 1, 2)));
// For runs whose lines the reports would otherwise run into (a scan's, a quiet run's).
void traceSetReportsOwnLine(bool on);
// Whether what this module last printed on the console left it mid-line.
bool traceMidLine();
// One whole line of a program's log on the console, whatever the switches say: a line break
// first when the console stands mid-line (after a trace line or a report), then the text and its
// line break, in one write. At most 255 characters of text; more is cut.
void traceLogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "(%u) ", then "%02x " per byte, then "\n", to every sink that is on.
void tracePacket(uint32_t length, const uint8_t *bytes);

// Opens an existing file with mode "r+" (never creates one); the log flag follows the outcome.
FILE *traceOpenLog(const char *name);
void traceCloseLog();

// Labelled dump to the console whatever the switches say; label may be null.
void hexDump(const uint8_t *bytes, int32_t length, const char *label);

// The register dump switch: on at start-up, set by -RD.
void traceSetRegisterDump(bool on);
bool traceRegisterDump();

// The front end's progress lines (the banner, option echoes, the steps of a run, reply headers):
// on at start-up, off for a quiet scripted run, which keeps only its records, its summary, its
// warnings and its errors. progressPrintf prints to standard output while the switch is on.
void traceSetProgress(bool on);
bool traceProgress();
void progressPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
