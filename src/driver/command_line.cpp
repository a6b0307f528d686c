#include "command_line.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include "debug_log.h"
#include "report_format.h"

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
#if LONG_MAX > INT32_MAX
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
#endif
    return static_cast<int32_t>(value);
}

// An IPv4 address as inet_aton reads it: one to four numbers separated by dots, each decimal,
// octal after a leading 0 or hexadecimal after 0x, every number but the last a byte and the
// last filling the bytes left (127.1 is 127.0.0.1). Refuses a number too large for its place,
// which some C libraries would wrap or saturate, and anything else: blanks, signs, empty parts.
int checkHost(const char *p) {
    for (uint32_t part = 0; part < 4; ++part) {
        uint32_t base = 10;
        if (p[0] == '0') {
            base = 8;
            if (p[1] == 'x' || p[1] == 'X') {
                base = 16;
                p += 2;
            }
        }
        const char *digits = p;
        uint32_t value = 0;
        for (int d; (d = hexNibble(*p)) >= 0 && static_cast<uint32_t>(d) < base; ++p) {
            if (value > (UINT32_MAX - static_cast<uint32_t>(d)) / base) {
                return -1;
            }
            value = value * base + static_cast<uint32_t>(d);
        }
        if (p == digits) {
            return -1;
        }
        if (*p == '\0') {
            return value <= UINT32_MAX >> (8 * part) ? 0 : -1;
        }
        if (*p++ != '.' || value > 255) {
            return -1;
        }
    }
    return -1;
}

// Exactly equal texts. (strcmp would be one more import in a binary that counts its bytes.)
bool same(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

} // namespace

int parseCommandLine(int argc, const char *const *argv, Settings &settings) {
    settings = Settings{Request::Run, nullptr, 0, false, DEFAULT_DEBUG_LEVEL, false};
    if (argc >= 2 && same(argv[1], "--version")) {
        settings.request = Request::Version;
        return 0;
    }
    if (argc >= 2 && same(argv[1], "--help")) {
        settings.request = Request::Help;
        return 0;
    }
    if (argc < 3) {
        return -1;
    }
    settings.mirror = argc >= 5;
    if (parsePort(argv[2], settings.port) != 0) {
        return -1;
    }
    // Checked here, before any input is read, by one rule on every C library: an address
    // the sender could not convert would otherwise become 0.0.0.0, this very machine, and
    // C libraries differ at the edges (glibc's inet_aton ignores anything after a blank,
    // musl's wraps numbers too large for their place). No name lookup is done.
    if (checkHost(argv[1]) != 0) {
        return -1;
    }
    settings.host = argv[1];
    if (argc > 3) {
        settings.levelGiven = true;
        settings.level = parseLevel(argv[3]);
    }
    return 0;
}

void showVersion() {
    printf("station-reporter %s\n", STATION_REPORTER_VERSION);
}

void showUsage(const char *program) {
    printf("Usage: %s host port [level [stdout]]\n", program);
}
