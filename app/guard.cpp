#include "app/guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The most coils function 15 carries; registers are bounded as their values are read.
constexpr int32_t maxWriteCoils = 1968;

bool overTcp(const RunSettings *s) {
    return strchr(s->portText, '/') != nullptr;
}

bool allDigits(const char *text) {
    return text[0] != '\0' && strspn(text, "0123456789") == strlen(text);
}

void judgeUnit(RunSettings *s, bool write) {
    const char *text = s->unitText;
    // A list was judged as it was read: units 1 to 247.
    if (text == nullptr || s->unitCount > 0)
        return;
    const long most = write && !overTcp(s) ? 247 : 255;
    // Leading zeros are fine; the length bound keeps strtol in range.
    if (text[0] == '\0')
        settingsRefuse(s, "-ID names no unit (its value goes in the same argument: -ID5)");
    else if (!allDigits(text) || strlen(text) > 6 || strtol(text, nullptr, 10) > most)
        settingsRefuse(s, "unit '%s' is not one from 0 to %ld", text, most);
}

} // namespace

bool guardIsWrite(uint8_t selector) {
    return selector == 5 || selector == 6 || selector == 15 || selector == 16 || selector == 22 ||
           selector == 23 || selector == selectorWrite || selector == selectorPdu;
}

bool guardWrites(const RunSettings *s) {
    // Diagnostics that restart, silence or clear: restart communications, force listen only,
    // clear counters, clear overrun counter.
    const uint16_t sub = s->subfunction;
    return guardIsWrite(s->functionSelector) ||
           (s->functionSelector == 8 && (sub == 1 || sub == 4 || sub == 10 || sub == 20));
}

bool guardIsBroadcast(const RunSettings *settings) {
    return guardWrites(settings) && settings->unitText != nullptr &&
           allDigits(settings->unitText) && strtol(settings->unitText, nullptr, 10) == 0;
}

bool guardRefuse(const RunSettings *settings) {
    if (guardWrites(settings))
        printf("\nWrite not sent: %s.", settings->refusal);
    return false;
}

bool guardAllows(RunSettings *settings) {
    const bool write = guardWrites(settings);
    // A scan runs as typed or not at all: a range not understood would read one unit instead.
    const bool sweepOnTcp = settings->scanFirst != 0 && settings->sweep != 0 && overTcp(settings);
    if (sweepOnTcp)
        settingsRefuse(settings, "the sweep needs a serial port");
    if (!write && !settings->exitStatusTells && !settings->scanRefused && !sweepOnTcp)
        return true;
    judgeUnit(settings, write);
    if (settings->refusal[0] == '\0')
        return true;
    // A -ESON read says it too: some arguments are refused without a message of their own.
    if (!write)
        printf("\nRun refused: %s.", settings->refusal);
    return guardRefuse(settings);
}

bool guardWrite(RunSettings *s, uint16_t refType, uint16_t offset) {
    const uint8_t selector = s->functionSelector;
    const int32_t count = s->valueCount;
    if (count == 0)
        settingsRefuse(s, "no values to write");
    else if ((selector == 5 || selector == 6) && count > 1)
        settingsRefuse(s, "function %d writes one value, not %d", selector, count);
    else if (refType == 0 && count > maxWriteCoils)
        settingsRefuse(s, "%d coils are more than one write carries (%d)", count, maxWriteCoils);
    else if (int32_t(offset) + count > 65536)
        settingsRefuse(s, "the values run past register %d65536", refType);
    else
        return true;
    return guardRefuse(s);
}
