// Dispatch through the port driver table: an empty slot answers IoNoOperation and leaves
// every out-parameter untouched.
#include "stack/drivers/port.h"

int32_t ioOpen(PortChannel *channel) {
    return channel->table.open ? channel->table.open(channel) : IoNoOperation;
}

int32_t ioClose(PortChannel *channel) {
    return channel->table.close ? channel->table.close(channel) : IoNoOperation;
}

int32_t ioControl(PortChannel *channel, int32_t request, uint32_t value) {
    if (!channel->table.control)
        return IoNoOperation;
    ControlArg arg;
    arg.value = value;
    return channel->table.control(channel, request, arg);
}

int32_t ioControl(PortChannel *channel, int32_t request, uint32_t *out) {
    if (!channel->table.control)
        return IoNoOperation;
    ControlArg arg;
    arg.out = out;
    return channel->table.control(channel, request, arg);
}

int32_t ioRead(PortChannel *channel, uint8_t *buffer, uint32_t size, uint32_t *count) {
    return channel->table.read ? channel->table.read(channel, buffer, size, count) : IoNoOperation;
}

int32_t ioWrite(PortChannel *channel, const uint8_t *buffer, uint32_t size, uint32_t *count) {
    return channel->table.write ? channel->table.write(channel, buffer, size, count)
                                : IoNoOperation;
}
