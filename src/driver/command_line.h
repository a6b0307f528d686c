// The command line: "host port [level [stdout]]".
#pragma once

#include <stdint.h>

// What the command line asks for: a report, or only the version or the usage line.
enum class Request { Run, Version, Help };

struct Settings {
    Request request;
    const char *host; // dotted IPv4 text, as given
    int port;         // 1 to 65535
    bool levelGiven;
    int32_t level; // the log mask to apply when levelGiven
    bool mirror;   // a fourth argument asks for the log on stdout
};

// Fills settings from argv. A first argument of exactly --version or --help asks for that
// alone. Returns -1 when the command line names no usable destination: too few arguments, a
// port outside 1..65535, or a host that is not an IPv4 address in inet_aton's forms.
[[nodiscard]] int parseCommandLine(int argc, const char *const *argv, Settings &settings);

void showUsage(const char *program);
void showVersion();
