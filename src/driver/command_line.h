// The command line: "host port [level [stdout]]".
#pragma once

#include <stdint.h>

struct Settings {
    const char *host; // dotted IPv4 text, as given
    int port;         // 1 to 65535
    bool levelGiven;
    int32_t level; // the log mask to apply when levelGiven
    bool mirror;   // a fourth argument asks for the log on stdout
};

// Fills settings from argv. Returns -1 when the command line names no usable
// destination: too few arguments, a port outside 1..65535, or a host inet_aton refuses.
[[nodiscard]] int parseCommandLine(int argc, const char *const *argv, Settings &settings);

void showUsage(const char *program);
