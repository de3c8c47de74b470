// Modbus RTU slave on a serial device, for the end-to-end runs over a pty pair.
// Usage: rtu_slave DEVICE BAUD UNIT [REPLIES [FORMAT [TIMEOUT_MS]]]
// Prints "READY" once the device is open, answers requests for UNIT (8N1 or FORMAT, such as
// 8E1), and exits after REPLIES replies when given (-1: no limit). TIMEOUT_MS is libmodbus's
// response time-out, 20 ms unless given (libmodbus's own default is 500). The mapping has 50 of each kind,
// seeded so reads are checkable:
//   coil a = (a % 3 == 0), discrete input a = a % 2,
//   input register a = 65535 - a (printed signed: -1 - a), holding register a = 1000 + a.
// Addresses 50 and beyond get exception 02, as libmodbus answers them; function 17 is answered.
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>

enum { mapSize = 50 };

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s DEVICE BAUD UNIT [REPLIES]\n", argv[0]);
        return 2;
    }
    long replies = argc > 4 ? atol(argv[4]) : -1;
    const char *format = argc > 5 && argv[5][0] && argv[5][1] ? argv[5] : "8N1";
    modbus_t *ctx =
        modbus_new_rtu(argv[1], atoi(argv[2]), format[1], format[0] - '0', format[2] - '0');
    modbus_mapping_t *map = modbus_mapping_new(mapSize, mapSize, mapSize, mapSize);
    if (!ctx || !map || modbus_set_slave(ctx, atoi(argv[3])) != 0 || modbus_connect(ctx) != 0) {
        fprintf(stderr, "rtu_slave: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int a = 0; a < mapSize; ++a) {
        map->tab_bits[a] = a % 3 == 0;
        map->tab_input_bits[a] = a % 2;
        map->tab_input_registers[a] = (uint16_t)(65535 - a);
        map->tab_registers[a] = (uint16_t)(1000 + a);
    }
    // A frame that fails its CRC is flushed whole, as a device's silent-interval framing drops
    // it, after libmodbus's response time-out: short, so that a master sweeping rates is heard
    // at the next one. libmodbus's RTU framing knows no length for function 43, so such a
    // request fails its CRC and goes unanswered here (its TCP server refuses it).
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_PROTOCOL);
    modbus_set_response_timeout(ctx, 0, argc > 6 ? 1000 * (uint32_t)atoi(argv[6]) : 20000);
    printf("READY\n");
    fflush(stdout);
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    int status = 0;
    while (replies != 0) {
        int n = modbus_receive(ctx, req);
        if (n > 0) {
            if (modbus_reply(ctx, req, n, map) < 0)
                break;
            if (replies > 0)
                --replies;
        } else if (n < 0 && errno != EMBBADCRC && errno != ETIMEDOUT) {
            // The device went away (the other end closed): stop rather than spin.
            fprintf(stderr, "rtu_slave: %s\n", modbus_strerror(errno));
            status = 1;
            break;
        }
    }
    modbus_mapping_free(map);
    modbus_close(ctx);
    modbus_free(ctx);
    return status;
}
