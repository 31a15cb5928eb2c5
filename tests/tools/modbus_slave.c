/*
 * A Modbus RTU slave built on libmodbus, as an independent counterpart for interoperability
 * tests. It serves holding registers, coils and every other function libmodbus implements.
 *
 *   quellmark-modbus-slave [--slave N] [--registers V,V,...] [--device PATH] [--baud N]
 *                          [--duration S] [--debug]
 *
 * Without --device it creates a pseudo-terminal, keeps its master end for libmodbus and
 * prints the path of the slave end, which a master opens like a serial port. With --device it
 * opens that device through libmodbus' own serial set-up instead and prints its path. Either
 * way the path is the first line on stdout, flushed. Holding registers 0 to 15 (more when
 * --registers gives more) hold the given values, 0 for those not given; by default the
 * pattern of DefaultRegisters below. Coils 0 to 15 start off. It runs until SIGINT or SIGTERM,
 * or for --duration seconds, and then prints "requests=N" and "replies=N" on stdout.
 *
 * libmodbus answers write single coil only for FF00 and 0000 and rejects any other value,
 * F000 included, with exception 3 (illegal data value).
 *
 * libmodbus (3.1.6) takes the frame after a request for another address as that slave's
 * reply and drops it. A master that polls other addresses too therefore loses the request
 * that follows each of them, unless the line stays quiet for longer than libmodbus' response
 * time-out (0.5 s) first. Poll this slave's address alone.
 */
#define _DEFAULT_SOURCE   /* cfmakeraw */
#define _XOPEN_SOURCE 700 /* posix_openpt, grantpt, unlockpt, ptsname */

#include <modbus.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { MinRegisters = 16, MaxRegisters = 1024, CoilCount = 16 };

/* Values whose 32-bit pairs (high register first) are 123, -2, INT32_MIN, 65536,
 * 0x12345678, INT32_MAX, 0 and 0xABCDEF01. */
static const uint16_t DefaultRegisters[MinRegisters] = {
    0x0000, 0x007B, 0xFFFF, 0xFFFE, 0x8000, 0x0000, 0x0001, 0x0000,
    0x1234, 0x5678, 0x7FFF, 0xFFFF, 0x0000, 0x0000, 0xABCD, 0xEF01};

static volatile sig_atomic_t stopRequested = 0;

static void OnStop(int signalNumber) {
    (void)signalNumber;
    stopRequested = 1;
}

static int Usage(const char* problem) {
    fprintf(stderr,
            "quellmark-modbus-slave: %s\n"
            "usage: quellmark-modbus-slave [--slave N] [--registers V,V,...] [--device PATH]\n"
            "                              [--baud N] [--duration S] [--debug]\n",
            problem);
    return 2;
}

static double Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Parses "V,V,..." (decimal or 0x hex, each 0 to 65535) into values; returns the count or -1. */
static int ParseRegisters(const char* text, uint16_t* values, int capacity) {
    int count = 0;
    const char* at = text;
    while (*at != '\0') {
        char* end = NULL;
        errno = 0;
        const unsigned long value = strtoul(at, &end, 0);
        if (end == at || errno != 0 || value > 0xFFFF || count == capacity ||
            (*end != ',' && *end != '\0'))
            return -1;
        values[count++] = (uint16_t)value;
        at = *end == ',' ? end + 1 : end;
    }
    return count;
}

/* A pseudo-terminal in raw mode; returns the master end and keeps the slave end open in
 * *slaveFd so that the master never sees a hang-up while no client has the terminal open. */
static int OpenTerminal(int* slaveFd, char* path, size_t pathSize) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    const char* name = ptsname(master);
    if (name == NULL || strlen(name) >= pathSize)
        return -1;
    strcpy(path, name);
    *slaveFd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios settings;
    if (*slaveFd < 0 || tcgetattr(*slaveFd, &settings) != 0)
        return -1;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(*slaveFd, TCSANOW, &settings) != 0)
        return -1;
    return master;
}

int main(int argc, char** argv) {
    int slave = 1;
    int baud = 9600;
    double duration = 0;
    int debug = 0;
    const char* device = NULL;
    uint16_t registers[MaxRegisters] = {0};
    int registerCount = MinRegisters;
    memcpy(registers, DefaultRegisters, sizeof DefaultRegisters);

    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (strcmp(option, "--help") == 0) {
            printf("usage: quellmark-modbus-slave [--slave N] [--registers V,V,...] "
                   "[--device PATH] [--baud N] [--duration S] [--debug]\n");
            return 0;
        }
        if (strcmp(option, "--debug") == 0) {
            debug = 1;
            continue;
        }
        if (i + 1 >= argc)
            return Usage("missing value or unknown option");
        const char* value = argv[++i];
        char* end = NULL;
        if (strcmp(option, "--slave") == 0) {
            slave = (int)strtol(value, &end, 10);
            if (*end != '\0' || slave < 1 || slave > 247)
                return Usage("--slave wants 1 to 247");
        } else if (strcmp(option, "--baud") == 0) {
            baud = (int)strtol(value, &end, 10);
            if (*end != '\0' || baud <= 0)
                return Usage("--baud wants a positive number");
        } else if (strcmp(option, "--duration") == 0) {
            duration = strtod(value, &end);
            if (*end != '\0' || duration < 0)
                return Usage("--duration wants seconds");
        } else if (strcmp(option, "--device") == 0) {
            device = value;
        } else if (strcmp(option, "--registers") == 0) {
            uint16_t given[MaxRegisters];
            const int count = ParseRegisters(value, given, MaxRegisters);
            if (count < 0)
                return Usage("--registers wants up to 1024 values 0 to 65535, comma separated");
            memset(registers, 0, sizeof registers);
            memcpy(registers, given, (size_t)count * sizeof given[0]);
            registerCount = count > MinRegisters ? count : MinRegisters;
        } else {
            return Usage("unknown option");
        }
    }

    char path[256];
    int slaveFd = -1;
    int masterFd = -1;
    modbus_t* context = NULL;
    if (device != NULL) {
        snprintf(path, sizeof path, "%s", device);
        context = modbus_new_rtu(device, baud, 'N', 8, 1);
        if (context == NULL || modbus_connect(context) != 0) {
            fprintf(stderr, "quellmark-modbus-slave: cannot open %s: %s\n", device,
                    modbus_strerror(errno));
            return 1;
        }
    } else {
        masterFd = OpenTerminal(&slaveFd, path, sizeof path);
        if (masterFd < 0) {
            fprintf(stderr, "quellmark-modbus-slave: no pseudo-terminal: %s\n", strerror(errno));
            return 1;
        }
        /* The RTU back end only needs a descriptor to read and write; the pseudo-terminal's
         * master end takes the place of the serial device it would have opened. */
        context = modbus_new_rtu(path, baud, 'N', 8, 1);
        if (context == NULL || modbus_set_socket(context, masterFd) != 0) {
            fprintf(stderr, "quellmark-modbus-slave: %s\n", modbus_strerror(errno));
            return 1;
        }
    }
    modbus_set_debug(context, debug);
    /* Flush the input after a broken frame; without this, the frame it drops after a
     * request for another address (see above) leaves it out of step for good. */
    modbus_set_error_recovery(context, MODBUS_ERROR_RECOVERY_PROTOCOL);
    modbus_set_slave(context, slave);

    modbus_mapping_t* mapping = modbus_mapping_new(CoilCount, 0, registerCount, 0);
    if (mapping == NULL) {
        fprintf(stderr, "quellmark-modbus-slave: %s\n", modbus_strerror(errno));
        return 1;
    }
    memcpy(mapping->tab_registers, registers, (size_t)registerCount * sizeof registers[0]);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    printf("%s\n", path);
    fflush(stdout);

    const double end = duration > 0 ? Now() + duration : 0;
    long requests = 0;
    long replies = 0;
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stopRequested && (end == 0 || Now() < end)) {
        /* Wait in slices so that the duration and the stop signals are noticed promptly;
         * libmodbus itself would wait for the first byte without end. */
        struct pollfd entry = {modbus_get_socket(context), POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0)
            continue;
        const int length = modbus_receive(context, query);
        if (length <= 0)
            continue; /* a frame for another slave, a bad CRC, or a broken frame */
        ++requests;
        if (modbus_reply(context, query, length, mapping) > 0)
            ++replies;
    }

    printf("requests=%ld\nreplies=%ld\n", requests, replies);
    fflush(stdout);
    modbus_mapping_free(mapping);
    modbus_close(context);
    modbus_free(context);
    if (slaveFd >= 0)
        close(slaveFd);
    return 0;
}
