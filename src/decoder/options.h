// station-decode's command line: one place decides what is valid.
#pragma once

#include <vector>

#include "address.h"

// The listen mode's limits.
constexpr long MAX_COUNT = 999999999;
constexpr long MAX_STATS_SECONDS = 86400;
constexpr long MIN_BUFFER = 4096;
constexpr long MAX_BUFFER = 1L << 30;

struct Options {
    bool listen = false;
    bool json = false;
    bool heartbeats = false; // a line for each report without records
    bool reusePort = false;
    long count = 0;               // 0: no limit
    long statsSeconds = 0;        // 0: statistics on SIGUSR1 only
    long receiveBuffer = 4 << 20; // bytes asked of the kernel
    std::vector<Network> allowed; // empty: every sender
    ListenAddress at;
};

// Fills options from argv. Returns 0 to run, 1 after printing the usage or the version on
// stdout as asked, and -1 after printing the reason and the usage on stderr.
int parseOptions(int argc, char **argv, Options &options);
