#include "stack/trace/trace.h"

#include <cstdarg>
#include <cstring>

namespace {
int32_t traceSwitch = 0;
// What the console last got through this module ended mid-line.
bool midLine = false;
int32_t logFlag = 0;
FILE *logFile = nullptr;
uint8_t registerDumpSwitch = 1;
bool progressSwitch = true;
bool reportsOwnLine = false;
} // namespace

void traceSetProgress(bool on) {
    progressSwitch = on;
}
bool traceProgress() {
    return progressSwitch;
}
void progressPrintf(const char *format, ...) {
    if (!progressSwitch)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    midLine = true;
}

void traceInit() {
    traceSwitch = 0;
    logFlag = 0;
}

void traceOn() {
    traceSwitch = 1;
}
void traceOff() {
    traceSwitch = 0;
}
bool traceIsOn() {
    return traceSwitch != 0;
}

void tracePrintf(const char *format, ...) {
    if (traceSwitch) {
        va_list args;
        va_start(args, format);
        vprintf(format, args);
        va_end(args);
        midLine = format[0] != '\0' && format[strlen(format) - 1] != '\n';
    }
    if (logFlag && logFile) {
        va_list args;
        va_start(args, format);
        vfprintf(logFile, format, args);
        va_end(args);
    }
}

void traceSetReportsOwnLine(bool on) {
    reportsOwnLine = on;
}
bool traceMidLine() {
    return midLine;
}

void traceReport(const char *format, ...) {
    if (reportsOwnLine && midLine)
        putchar('\n');
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    midLine = true;
}

void traceLogLine(const char *format, ...) {
    char line[1 + 255 + 1 + 1];
    const size_t at = midLine ? 1 : 0;
    line[0] = '\n';
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(line + at, 256, format, args);
    va_end(args);
    const size_t length = at + (n < 0 ? 0 : n > 255 ? 255 : size_t(n));
    line[length] = '\n';
    // Whatever waits in the buffer goes first, so that the line itself is one write.
    fflush(stdout);
    fwrite(line, 1, length + 1, stdout);
    fflush(stdout);
    midLine = false;
}

static void packetTo(FILE *sink, uint32_t length, const uint8_t *bytes) {
    fprintf(sink, "(%u) ", length);
    for (uint32_t i = 0; i < length; ++i)
        fprintf(sink, "%02x ", bytes[i]);
    fprintf(sink, "\n");
}

void tracePacket(uint32_t length, const uint8_t *bytes) {
    if (traceSwitch) {
        packetTo(stdout, length, bytes);
        midLine = false;
    }
    if (logFlag && logFile)
        packetTo(logFile, length, bytes);
}

FILE *traceOpenLog(const char *name) {
    // "r+" so that a missing file is never created and an existing one is not truncated.
    logFile = fopen(name, "r+");
    logFlag = logFile ? 1 : 0;
    return logFile;
}

void traceCloseLog() {
    if (logFile)
        fclose(logFile);
    logFile = nullptr;
    logFlag = 0;
}

void hexDump(const uint8_t *bytes, int32_t length, const char *label) {
    printf("\n\nOutput %d bytes with label '%s'", length, label ? label : "NULL");
    for (int32_t i = 0; i < length; ++i) {
        if (i % 16 == 0)
            printf("\n");
        printf(" %2.2x", bytes[i]);
    }
    printf("\n");
}

void traceSetRegisterDump(bool on) {
    registerDumpSwitch = on ? 1 : 0;
}
bool traceRegisterDump() {
    return registerDumpSwitch != 0;
}
