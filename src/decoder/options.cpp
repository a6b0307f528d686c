#include "options.h"

#include "number.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *USAGE =
    "usage: station-decode listen [ADDRESS:]PORT [--json] [--heartbeats] [--count N]\n"
    "                             [--stats SECONDS] [--allow CIDR]... [--buffer BYTES]\n"
    "                             [--reuseport]\n"
    "       station-decode dump [--json] [--heartbeats]\n"
    "       station-decode --help | --version\n";

int usageError(const std::string &why) {
    fprintf(stderr, "station-decode: %s\n%s", why.c_str(), USAGE);
    return -1;
}

// The value of a numeric option, or -1 when it is missing or outside min..max.
long numberAfter(int argc, char **argv, int &i, long min, long max) {
    if (i + 1 >= argc) {
        return -1;
    }
    long value = parseNumber(argv[i + 1], max);
    if (value < min) {
        return -1;
    }
    ++i;
    return value;
}

// One option of the listen mode, argv[i] and what it takes. Returns -1 when it is none.
int listenOption(int argc, char **argv, int &i, Options &options) {
    std::string option = argv[i];
    if (option == "--reuseport") {
        options.reusePort = true;
    } else if (option == "--count") {
        options.count = numberAfter(argc, argv, i, 1, MAX_COUNT);
        return options.count < 0 ? -1 : 0;
    } else if (option == "--stats") {
        options.statsSeconds = numberAfter(argc, argv, i, 1, MAX_STATS_SECONDS);
        return options.statsSeconds < 0 ? -1 : 0;
    } else if (option == "--buffer") {
        options.receiveBuffer = numberAfter(argc, argv, i, MIN_BUFFER, MAX_BUFFER);
        return options.receiveBuffer < 0 ? -1 : 0;
    } else if (option == "--allow" && i + 1 < argc) {
        Network network;
        if (parseNetwork(argv[i + 1], network) != 0) {
            return -1;
        }
        options.allowed.push_back(network);
        ++i;
    } else {
        return -1;
    }
    return 0;
}

} // namespace

int parseOptions(int argc, char **argv, Options &options) {
    if (argc < 2) {
        return usageError("no mode given");
    }
    std::string mode = argv[1];
    if (mode == "--help" || mode == "-h") {
        fputs(USAGE, stdout);
        return 1;
    }
    if (mode == "--version") {
        printf("station-decode %s\n", STATION_REPORTER_VERSION);
        return 1;
    }
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
        } else if (option == "--heartbeats") {
            options.heartbeats = true;
        } else if (!options.listen || listenOption(argc, argv, i, options) != 0) {
            return usageError("bad option " + option);
        }
    }
    return 0;
}
