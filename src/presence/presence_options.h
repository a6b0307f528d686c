// station-presence's settings: the command line and the config file, which use the same
// names (the file's `grace 60` is the command line's `--grace 60`), the command line winning.
#pragma once

#include "options.h"
#include "presence_events.h"
#include "presence_state.h"

#include <map>
#include <string>
#include <vector>

namespace presence {

struct Options {
    std::string mode; // empty: follow the input; "now", "visits", "aps", "report" or "forget"
    std::string db;
    MqttSettings mqtt;
    int keepDays = 0;        // sightings: 0 none kept
    int keepVisitDays = 365; // ended visits and silences: 0 for ever
    uint64_t client = 0;     // forget's
    Settings settings;
    bool graceGiven = false; // otherwise four intervals
    std::string html;
    std::string since;

    ::Options receiver; // with --listen: the datagrams received here, as station-decode does

    std::string config;                       // the file read, if any
    std::vector<std::string> arguments;       // the command line, to read again on a reload
    std::map<std::string, std::string> given; // each option set, by name: its value as given
};

// The usage text, for --help and after every usage error.
const char *usageText();

// Where --config is looked for when not given (read only when it exists).
const char *defaultConfig();

// Fills o from the config file and the command line. Returns -1 to run; otherwise the exit
// status, with what to print on standard output (--help, --version) or standard error (a
// usage error: the reason and the usage; a config file's: the file, the line, the reason) in
// out or err.
int parseCommandLine(int argc, const char *const *argv, Options &o, std::string &out,
                     std::string &err);

// The message and exit status of a usage error.
int usageError(const std::string &why, std::string &err);

// The settings of a running follower read again (the file, then the same command line):
// next holds them, changes lists what differs from running, and refused what differs but
// cannot change without a restart. Returns -1 with why set when they cannot be read.
struct Reload {
    Options next;
    std::vector<std::string> changed; // names of the options now different
    std::vector<std::string> refused; // those among them that need a restart
};
int reloadOptions(const Options &running, Reload &reload, std::string &why);

} // namespace presence
