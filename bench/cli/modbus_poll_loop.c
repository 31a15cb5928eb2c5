/* A plain libmodbus polling loop: the yardstick for quellmark-cli's polls per second.
 * Reads Register Count holding registers from each slave of the range in turn, without a
 * pause, for the given time, and prints "polls=N ok=N fail=N seconds=S polls_per_s=R". */
#include <modbus.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s DEVICE BAUD FROM TO REGISTER_COUNT SECONDS\n", argv[0]);
        return 2;
    }
    const int baud = atoi(argv[2]);
    const int from = atoi(argv[3]);
    const int to = atoi(argv[4]);
    const int count = atoi(argv[5]);
    const double seconds = atof(argv[6]);
    modbus_t* ctx = modbus_new_rtu(argv[1], baud, 'N', 8, 1);
    if (ctx == NULL || modbus_connect(ctx) != 0) {
        fprintf(stderr, "cannot open %s: %s\n", argv[1], modbus_strerror(errno));
        return 3;
    }
    /* The same Poll Timeout as the CLI's run: 500 ms. */
    modbus_set_response_timeout(ctx, 0, 500000);
    uint16_t registers[125];
    long ok = 0;
    long fail = 0;
    const double start = Now();
    double now = start;
    for (int slave = from; now - start < seconds; slave = slave == to ? from : slave + 1) {
        modbus_set_slave(ctx, slave);
        if (modbus_read_registers(ctx, 0, count, registers) == count)
            ++ok;
        else
            ++fail;
        now = Now();
    }
    const double elapsed = now - start;
    printf("polls=%ld ok=%ld fail=%ld seconds=%.3f polls_per_s=%.1f\n", ok + fail, ok, fail,
           elapsed, (double)(ok + fail) / elapsed);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
