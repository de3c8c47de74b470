// Modbus RTU master on a serial device, for the line monitor's runs on a simulated bus.
// Usage: rtu_master DEVICE BAUD STEP... with each STEP one of R,unit,addr,n (read holding
// registers), C or D,unit,addr,n (read coils or discrete inputs), W,unit,addr,v... (write
// registers), S,unit,addr,v (write one register), B,unit,addr,0|1 (write one coil),
// M,unit,addr,0|1... (write coils), X,hex (raw bytes as they are: noise or a spoilt frame). Waits 100 ms for each
// answer and 100 ms after each step.
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    modbus_t *ctx = argc > 2 ? modbus_new_rtu(argv[1], atoi(argv[2]), 'N', 8, 1) : NULL;
    if (!ctx || modbus_connect(ctx) != 0)
        return 2;
    modbus_set_response_timeout(ctx, 0, 100000);
    for (int i = 3; i < argc; ++i) {
        char kind = argv[i][0], *at = argv[i] + 2;
        uint16_t words[125];
        uint8_t bytes[260];
        int n = 0;
        if (kind == 'X') {
            for (; at[0] && at[1] && n < 260; at += 2)
                sscanf(at, "%2hhx", &bytes[n++]);
            if (write(modbus_get_socket(ctx), bytes, (size_t)n) != n)
                return 1;
        } else {
            int unit = (int)strtol(at, &at, 10), addr = (int)strtol(at + 1, &at, 10);
            for (; *at == ',' && n < 125; ++n)
                words[n] = (uint16_t)strtol(at + 1, &at, 10);
            modbus_set_slave(ctx, unit);
            if (kind == 'R')
                modbus_read_registers(ctx, addr, words[0], words);
            else if (kind == 'C')
                modbus_read_bits(ctx, addr, words[0], bytes);
            else if (kind == 'D')
                modbus_read_input_bits(ctx, addr, words[0], bytes);
            else if (kind == 'S')
                modbus_write_register(ctx, addr, words[0]);
            else if (kind == 'B')
                modbus_write_bit(ctx, addr, words[0]);
            else if (kind == 'M') {
                for (int k = 0; k < n; ++k)
                    bytes[k] = (uint8_t)words[k];
                modbus_write_bits(ctx, addr, n, bytes);
            }
            else
                modbus_write_registers(ctx, addr, n, words);
        }
        usleep(100000);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
