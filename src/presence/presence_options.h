// station-presence's command line: what a run is asked to do.
#pragma once

#include "presence_events.h"
#include "presence_state.h"

#include <string>

namespace presence {

struct Options {
    std::string mode; // empty: follow the input; "now", "visits", "aps" or "report"
    std::string db;
    MqttSettings mqtt;
    int keepDays = 0;
    Settings settings;
    std::string html;
    std::string since;
};

// The usage text, for --help and after every usage error.
const char *usageText();

// Fills o from the command line. Returns -1 to run; otherwise the exit status, with what to
// print on standard output (--help, --version) or standard error (a usage error: the reason
// and the usage) in out or err.
int parseCommandLine(int argc, const char *const *argv, Options &o, std::string &out,
                     std::string &err);

// The message and exit status of a usage error.
int usageError(const std::string &why, std::string &err);

} // namespace presence
