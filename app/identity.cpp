// Identity lines: values are shown as text where they are printable, so that a vendor's name
// reads as written and a binary serial number still shows every byte.
#include "app/identity.h"

#include "stack/al/ident.h"

#include <cstdio>

namespace {

void printValue(const char *label, const uint8_t *bytes, uint32_t n) {
    static char text[4 * 256 + 1];
    identityText(bytes, n, text);
    printf("\n%s: %s", label, text);
}

void printServerId(const IdentServerId *id) {
    // A one-byte id and the run indicator first, as most devices send them; anything else is
    // the device's own layout and is shown whole.
    const uint8_t run = id->length > 1 ? id->data[1] : 0;
    if (id->length < 2 || (run != 0 && run != 0xFF)) {
        printValue("Server ID data", id->data, id->length);
        return;
    }
    printf("\nServer ID: %d, run indicator: %s", id->data[0], run ? "ON" : "OFF");
    if (id->length > 2)
        printValue("Additional data", id->data + 2, id->length - 2u);
}

void printDevice(const IdentDevice *device) {
    printf("\nConformity level: %2.2x", device->conformity);
    for (uint32_t i = 0; i < identObjects; ++i)
        if (device->present >> i & 1u)
            printValue(identObjectName(i), device->value[i], device->length[i]);
}

} // namespace

void identityText(const uint8_t *bytes, uint32_t n, char *out) {
    for (uint32_t i = 0; i < n; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F)
            *out++ = char(bytes[i]);
        else
            out += snprintf(out, 5, "\\x%2.2x", bytes[i]);
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
        printDevice(&device);
    else if (result == 1)
        printServerId(&serverId);
    else if (result == 2 && *exception == 1)
        printf("\nUnit %d does not support function %s.", unit,
               device43 ? "43/14 (Read Device Identification)" : "17 (Report Server ID)");
    else if (result == 2)
        printf("\nModbus PL Exception! EC = %2.2x", *exception);
    return result;
}
