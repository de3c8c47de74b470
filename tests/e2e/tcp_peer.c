// libmodbus's Modbus TCP server and client on 127.0.0.1, for the end-to-end runs and the
// benchmarks. Usage:
//   tcp_peer server           listens on a free port, prints "READY <port>", serves one master
//                             after another until killed; any unit id is answered
//   tcp_peer client PORT N    N reads of 3 holding registers from 400011 (unit 100), then prints
//                             "client: N reads in S s" and the values of the last
// The server's mapping has 100 of each kind, holding register a holding a + 1 (so 400011 holds
// 11, as korvalen-slave's seed) and the rest 0; addresses 100 and beyond get exception 02.
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { mapSize = 100 };

static int serve(void) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t *map = modbus_mapping_new(mapSize, mapSize, mapSize, mapSize);
    int listener = ctx && map ? modbus_tcp_listen(ctx, 1) : -1;
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    if (listener < 0 || getsockname(listener, (struct sockaddr *)&a, &len) != 0) {
        fprintf(stderr, "tcp_peer: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < mapSize; ++i)
        map->tab_registers[i] = (uint16_t)(i + 1);
    printf("READY %d\n", ntohs(a.sin_port));
    fflush(stdout);
    uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        if (modbus_tcp_accept(ctx, &listener) < 0)
            return 1;
        int n;
        while ((n = modbus_receive(ctx, req)) >= 0)
            if (n > 0 && modbus_reply(ctx, req, n, map) < 0)
                break;
        // The master went away: close its connection and wait for the next.
        close(modbus_get_socket(ctx));
    }
}

static int client(int port, long n) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    uint16_t regs[3] = {0};
    if (!ctx || modbus_set_slave(ctx, 100) != 0 || modbus_connect(ctx) != 0) {
        fprintf(stderr, "tcp_peer: %s\n", modbus_strerror(errno));
        return 1;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long i = 0; i < n; ++i) {
        if (modbus_read_registers(ctx, 10, 3, regs) != 3) {
            fprintf(stderr, "tcp_peer: read %ld: %s\n", i + 1, modbus_strerror(errno));
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("client: %ld reads in %.3f s: %u %u %u\n", n,
           (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9, regs[0],
           regs[1], regs[2]);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "server") == 0)
        return serve();
    if (argc > 3 && strcmp(argv[1], "client") == 0)
        return client(atoi(argv[2]), atol(argv[3]));
    fprintf(stderr, "usage: %s server | client PORT N\n", argv[0]);
    return 2;
}
