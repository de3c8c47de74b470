// The slave's data image: the seed pattern and the reads and writes of one request.
#include "slave/image.h"

namespace {

struct FunctionRef {
    uint8_t code;
    uint16_t refType;
};

constexpr FunctionRef functionRefs[] = {{1, 0}, {2, 1},  {3, 4},  {4, 3},  {5, 0},
                                        {6, 4}, {15, 0}, {16, 4}, {22, 4}, {23, 4}};

// Bits travel as 0 and 1 in the values; a single coil as the word FF00 or 0000.
int16_t readValue(const SlaveImage *image, uint16_t refType, uint32_t a) {
    switch (refType) {
    case 0:
        return image->coils[a];
    case 1:
        return image->inputs[a];
    case 3:
        return int16_t(image->inputRegisters[a]);
    default:
        return int16_t(image->holdingRegisters[a]);
    }
}

} // namespace

void imageSeed(SlaveImage *image) {
    image->exceptionStatus = 0;
    for (uint32_t a = 0; a < imageSize; ++a) {
        const uint32_t n = a + 1;
        image->coils[a] = uint8_t(n % 2);
        image->inputs[a] = uint8_t(1 - n % 2);
        image->inputRegisters[a] = uint16_t(imageSize - n);
        image->holdingRegisters[a] = uint16_t(n);
    }
}

bool imageSet(SlaveImage *image, uint16_t refType, uint32_t offset, uint32_t value) {
    if (offset >= imageSize || value > 0xFFFF)
        return false;
    if ((refType == 0 || refType == 1) && value > 1)
        return false;
    switch (refType) {
    case 0:
        image->coils[offset] = uint8_t(value);
        return true;
    case 1:
        image->inputs[offset] = uint8_t(value);
        return true;
    case 3:
        image->inputRegisters[offset] = uint16_t(value);
        return true;
    case 4:
        image->holdingRegisters[offset] = uint16_t(value);
        return true;
    default:
        return false;
    }
}

uint16_t *imageRegisters(SlaveImage *image, uint16_t refType) {
    if (refType == 3)
        return image->inputRegisters;
    return refType == 4 ? image->holdingRegisters : nullptr;
}

uint16_t imageRefType(uint8_t functionCode) {
    for (const FunctionRef &f : functionRefs)
        if (f.code == functionCode)
            return f.refType;
    return 2;
}

uint8_t imageServe(SlaveImage *image, ModbusMessage *request) {
    const uint16_t refType = imageRefType(request->functionCode);
    const int32_t count = request->count;
    if (refType == 2 || count < 0)
        return 1;
    if (count == 0)
        return 3;
    if (uint32_t(request->offset) + uint32_t(count) > imageSize)
        return 2;
    const uint32_t first = request->offset;
    if ((request->flags & msgflag::kindMask) == msgflag::kindRead) {
        // The stack's limits keep a read within the values the record holds.
        for (int32_t i = 0; i < count && i < request->capacity; ++i)
            request->values[i] = readValue(image, refType, first + uint32_t(i));
        return 0;
    }
    if (request->functionCode == 5) {
        const uint16_t word = uint16_t(request->values[0]);
        if (word != 0xFF00 && word != 0)
            return 3;
        image->coils[first] = word != 0;
        return 0;
    }
    for (int32_t i = 0; i < count && i < request->capacity; ++i) {
        const uint32_t a = first + uint32_t(i);
        if (refType == 0)
            image->coils[a] = request->values[i] != 0;
        else
            image->holdingRegisters[a] = uint16_t(request->values[i]);
    }
    return 0;
}
