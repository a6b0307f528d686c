// station-decode's command line: one place decides what is valid.
#pragma once

#include "address.h"

struct Options {
    bool listen = false;
    bool json = false;
    bool reusePort = false;
    long count = 0; // 0: no limit
    ListenAddress at;
};

// Decimal digits only, within 0..limit. Returns -1 otherwise.
long parseNumber(const char *text, long limit);

// Fills options from argv. Returns -1 after printing the reason and the usage on stderr.
int parseOptions(int argc, char **argv, Options &options);
