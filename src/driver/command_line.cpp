#include "command_line.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "debug_log.h"

namespace {

constexpr int MAX_PORT = 65535;

// A port is decimal digits only, 1 to 65535: no sign, no white space, no suffix.
int parsePort(const char *text, int &port) {
    if (*text == '\0') {
        return -1;
    }
    int value = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return -1;
        }
        value = value * 10 + (*c - '0');
        if (value > MAX_PORT) {
            return -1;
        }
    }
    if (value == 0) {
        return -1;
    }
    port = value;
    return 0;
}

// strtol saturates at the width of long, which differs between the device and the build
// host: clamp to 32 bits so every build reads the same mask. No digits give 0.
int32_t parseLevel(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

} // namespace

int parseCommandLine(int argc, const char *const *argv, Settings &settings) {
    settings = Settings{nullptr, 0, false, DEFAULT_DEBUG_LEVEL, false};
    if (argc < 3) {
        return -1;
    }
    settings.mirror = argc >= 5;
    if (parsePort(argv[2], settings.port) != 0) {
        return -1;
    }
    // Checked here, before any input is read: an address inet_aton cannot convert
    // would otherwise become 0.0.0.0, this very machine. No name lookup is done.
    // White space is refused too: glibc's inet_aton ignores anything after a blank,
    // musl's does not, and every build must accept the same hosts.
    in_addr address;
    if (strpbrk(argv[1], " \t\n\v\f\r") != nullptr || inet_aton(argv[1], &address) == 0) {
        return -1;
    }
    settings.host = argv[1];
    if (argc > 3) {
        settings.levelGiven = true;
        settings.level = parseLevel(argv[3]);
    }
    return 0;
}

void showUsage(const char *program) {
    printf("Usage: %s host port [level [stdout]]\n", program);
}
