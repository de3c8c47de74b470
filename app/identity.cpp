// Identity lines: values are shown as text where they are printable, so that a vendor's name
// reads as written and a binary serial number still shows every byte.
#include "app/identity.h"

#include "stack/al/ident.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

char collected[2048];
size_t collectedUsed;

// One line, printed and collected.
__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    static char text[4 * 256 + 64];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("\n%s", text);
    snprintf(collected + collectedUsed, sizeof collected - collectedUsed, "%s%s",
             collectedUsed ? "; " : "", text);
    collectedUsed = strlen(collected);
}

void printValue(const char *label, const uint8_t *bytes, uint32_t n) {
    static char text[4 * 256 + 1];
    identityText(bytes, n, text);
    say("%s: %s", label, text);
}

void printServerId(const IdentServerId *id) {
    // A one-byte id and the run indicator first, as most devices send them; anything else is
    // the device's own layout and is shown whole.
    const uint8_t run = id->length > 1 ? id->data[1] : 0;
    if (id->length < 2 || (run != 0 && run != 0xFF)) {
        printValue("Server ID data", id->data, id->length);
        return;
    }
    say("Server ID: %d, run indicator: %s", id->data[0], run ? "ON" : "OFF");
    if (id->length > 2)
        printValue("Additional data", id->data + 2, id->length - 2u);
}

void printDevice(const IdentDevice *device, uint8_t exception) {
    say("Conformity level: %2.2x", device->conformity);
    for (uint32_t i = 0; i < identObjects; ++i)
        if (device->present >> i & 1u)
            printValue(identObjectName(i), device->value[i], device->length[i]);
    for (uint32_t k = 0; k < device->extraCount; ++k) {
        char label[16];
        snprintf(label, sizeof label, "Object %2.2x", device->extraId[k]);
        printValue(label, device->extraValue[k], device->extraLength[k]);
    }
    switch (device->cut) {
    case IdentCut::None:
        break;
    case IdentCut::Unanswered:
        say("Identification cut short: a further request went unanswered");
        break;
    case IdentCut::Refused:
        say("Identification cut short: a further request was refused with exception %2.2x",
            exception);
        break;
    case IdentCut::Malformed:
        say("Identification cut short: a further answer was malformed");
        break;
    case IdentCut::TooLong:
        say("Identification cut short: more follows after %u requests", identMostRequests);
        break;
    }
}

} // namespace

void identityCollect() {
    collected[0] = '\0';
    collectedUsed = 0;
}

const char *identityCollected() {
    return collected;
}

void identityText(const uint8_t *bytes, uint32_t n, char *out) {
    for (uint32_t i = 0; i < n; ++i) {
        // A backslash typed by the device is escaped, so that "\x00" in its text reads as typed.
        if (bytes[i] == '\\') {
            *out++ = '\\';
            *out++ = '\\';
        } else if (bytes[i] >= 0x20 && bytes[i] < 0x7F) {
            *out++ = char(bytes[i]);
        } else {
            out += snprintf(out, 5, "\\x%2.2x", bytes[i]);
        }
    }
    *out = '\0';
}

int32_t identityShow(StackContext *ctx, uint8_t function, int32_t unit, uint8_t *exception) {
    static IdentServerId serverId;
    static IdentDevice device;
    *exception = 0;
    const bool device43 = function == identFcDevice;
    const int32_t result = device43 ? identAskDevice(ctx, unit, &device, exception)
                                    : identAskServerId(ctx, unit, &serverId, exception);
    if (result == 1 && device43)
        printDevice(&device, *exception);
    else if (result == 1)
        printServerId(&serverId);
    else if (result == 2 && *exception == 1)
        say("Unit %d does not support function %s.", unit,
            device43 ? "43/14 (Read Device Identification)" : "17 (Report Server ID)");
    else if (result == 2)
        say("Modbus PL Exception! EC = %2.2x", *exception);
    return result;
}
