#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *USAGE =
    "usage: station-decode listen [ADDRESS:]PORT [--json] [--count N] [--reuseport]\n"
    "       station-decode dump [--json]\n";

int usageError(const char *why) {
    fprintf(stderr, "station-decode: %s\n%s", why, USAGE);
    return -1;
}

} // namespace

long parseNumber(const char *text, long limit) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 9) {
        return -1;
    }
    long value = strtol(text, nullptr, 10);
    return value <= limit ? value : -1;
}

int parseOptions(int argc, char **argv, Options &options) {
    if (argc < 2) {
        return usageError("no mode given");
    }
    std::string mode = argv[1];
    int next = 2;
    if (mode == "listen") {
        if (argc < 3 || parseListenAddress(argv[2], options.at) != 0) {
            return usageError("listen needs [ADDRESS:]PORT, ADDRESS an IPv4 or [IPv6] literal");
        }
        options.listen = true;
        next = 3;
    } else if (mode != "dump") {
        return usageError("unknown mode");
    }
    for (int i = next; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--json") {
            options.json = true;
        } else if (options.listen && option == "--reuseport") {
            options.reusePort = true;
        } else if (options.listen && option == "--count" && i + 1 < argc &&
                   parseNumber(argv[i + 1], 999999999) > 0) {
            options.count = parseNumber(argv[++i], 999999999);
        } else {
            return usageError(("bad option " + option).c_str());
        }
    }
    return 0;
}
