// libmodbus's Modbus TCP server and client on 127.0.0.1, for the end-to-end runs and the
// benchmarks. Usage:
//   tcp_peer server           listens on a free port, prints "READY <port>", serves one master
//                             after another until killed; any unit id is answered
//   tcp_peer client PORT N    N reads of 3 holding registers from 400011 (unit 100), then prints
//                             "client: N reads in S s" and the values of the last
//   tcp_peer random PORT SEED N  N rounds of random writes read back (unit 100): functions 5, 15,
//                             6, 16 and 23, read back with 1 and 3; prints "random: N rounds ok"
//                             or the first that failed
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

// Whether the registers (or bits) read back are those written.
static int same(const char *what, long round, const uint16_t *a, const uint16_t *b, int n) {
    if (memcmp(a, b, (size_t)n * sizeof *a) == 0)
        return 1;
    printf("random: round %ld: %s read back other values\n", round, what);
    return 0;
}

static int randomWrites(int port, unsigned seed, long rounds) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_set_slave(ctx, 100) != 0 || modbus_connect(ctx) != 0) {
        fprintf(stderr, "tcp_peer: %s\n", modbus_strerror(errno));
        return 1;
    }
    srand(seed);
    uint16_t w[121], r[125];
    uint8_t bw[200], br[200];
    for (long k = 1; k <= rounds; ++k) {
        const int at = rand() % 60000, n = 1 + rand() % 100, nr = 1 + rand() % 121;
        for (int i = 0; i < 200; ++i)
            bw[i] = (uint8_t)(rand() & 1);
        for (int i = 0; i < 121; ++i)
            w[i] = (uint16_t)rand();
        uint16_t rw[2] = {w[0], w[1]};
        int ok = modbus_write_bit(ctx, at, bw[0]) == 1 && modbus_read_bits(ctx, at, 1, br) == 1 &&
                 same("coil", k, (uint16_t[]){bw[0]}, (uint16_t[]){br[0]}, 1) &&
                 modbus_write_bits(ctx, at, n, bw) == n && modbus_read_bits(ctx, at, n, br) == n &&
                 memcmp(bw, br, (size_t)n) == 0 && modbus_write_register(ctx, at, w[0]) == 1 &&
                 modbus_read_registers(ctx, at, 1, r) == 1 && same("register", k, w, r, 1) &&
                 modbus_write_registers(ctx, at, n, w) == n &&
                 modbus_read_registers(ctx, at, n, r) == n && same("registers", k, w, r, n) &&
                 modbus_write_and_read_registers(ctx, at, nr, w, at, nr, r) == nr &&
                 same("read/write", k, w, r, nr) && modbus_read_registers(ctx, at, 2, r) == 2 &&
                 same("read/write read back", k, rw, r, 2);
        if (!ok) {
            printf("random: round %ld failed: %s\n", k, modbus_strerror(errno));
            return 1;
        }
    }
    printf("random: %ld rounds ok\n", rounds);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "server") == 0)
        return serve();
    if (argc > 3 && strcmp(argv[1], "client") == 0)
        return client(atoi(argv[2]), atol(argv[3]));
    if (argc > 4 && strcmp(argv[1], "random") == 0)
        return randomWrites(atoi(argv[2]), (unsigned)atoi(argv[3]), atol(argv[4]));
    fprintf(stderr, "usage: %s server | client PORT N | random PORT SEED N\n", argv[0]);
    return 2;
}
