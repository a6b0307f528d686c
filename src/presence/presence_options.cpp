#include "presence_options.h"

#include "mac_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#ifndef STATION_PRESENCE_VERSION
#define STATION_PRESENCE_VERSION "0"
#endif
#ifndef STATION_PRESENCE_CONFIG
#define STATION_PRESENCE_CONFIG "/etc/station-presence.conf"
#endif

namespace presence {

const char *usageText() {
    return "usage: station-presence [--config FILE] [--db FILE] [--interval SECONDS]\n"
           "                        [--grace SECONDS] [--hysteresis DB] [--max-clients N]\n"
           "                        [--keep DAYS] [--keep-visits DAYS] [--mqtt HOST[:PORT]]\n"
           "                        [--mqtt-prefix PREFIX] [--mqtt-user NAME]\n"
           "                        [--mqtt-password-file FILE] [--mqtt-ca FILE] [--mqtt-capath "
           "DIR]\n"
           "                        [--mqtt-cert FILE --mqtt-key FILE] [--mqtt-client-id ID]\n"
           "                        [--mqtt-keepalive SECONDS] [--mqtt-queue N]\n"
           "                        [--mqtt-insecure-skip-name-check yes]\n"
           "                        [--listen [ADDRESS:]PORT [--allow CIDR]... [--buffer BYTES]\n"
           "                         [--stats SECONDS] [--count N]]\n"
           "       station-presence now --db FILE\n"
           "       station-presence visits --db FILE [--since TIME]\n"
           "       station-presence aps --db FILE\n"
           "       station-presence report --db FILE --html FILE [--since TIME]\n"
           "       station-presence forget CLIENT --db FILE\n"
           "       station-presence --version | --help\n"
           "Each option may also be a line NAME VALUE of the config file "
           "(default " STATION_PRESENCE_CONFIG ");\n"
           "the command line wins.\n";
}

const char *defaultConfig() {
    return STATION_PRESENCE_CONFIG;
}

int usageError(const std::string &why, std::string &err) {
    err = "station-presence: " + why + "\n" + usageText();
    return 2;
}

namespace {

// A whole number in [low, high], or -1.
long long number(const char *text, long long low, long long high) {
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high ? value : -1;
}

// HOST, HOST:PORT, [IPV6] or [IPV6]:PORT. Returns the reason it is not, or an empty text.
std::string parseBroker(const std::string &hostPort, MqttSettings &o) {
    if (hostPort.empty()) {
        return "bad MQTT host";
    }
    const bool bracket = hostPort.front() == '[';
    const auto close = bracket ? hostPort.find(']') : 0;
    if (bracket && close == std::string::npos) {
        return "bad MQTT host";
    }
    const auto colon = hostPort.find(':', close);
    o.host = bracket ? hostPort.substr(1, close - 1) : hostPort.substr(0, colon);
    if (bracket && close + 1 < hostPort.size() && colon != close + 1) {
        return "bad MQTT host";
    }
    if (colon != std::string::npos &&
        (o.port = static_cast<int>(number(hostPort.c_str() + colon + 1, 1, 65535))) < 0) {
        return "bad MQTT port";
    }
    return o.host.empty() ? "bad MQTT host" : "";
}

// Sets target to the number value when it is in [low, high]; otherwise says why not.
template <typename T>
std::string ranged(const std::string &value, long long low, long long high, const char *why,
                   T &target, long long scale = 1) {
    const long long n = number(value.c_str(), low, high);
    if (n < 0) {
        return why;
    }
    target = static_cast<T>(n * scale);
    return "";
}

// A client's address as a person writes it: 12 hex digits, or 6 pairs with : or - between
// them. Returns -1 for anything else.
int64_t clientMac(std::string text) {
    if (text.size() == 17) {
        const char separator = text[2];
        for (std::size_t i = 2; i < 17; i += 3) {
            if (text[i] != separator || (separator != ':' && separator != '-')) {
                return -1;
            }
        }
        for (std::size_t pair = 5; pair > 0; --pair) {
            text.erase(3 * pair - 1, 1);
        }
    }
    return parseMac(text);
}

enum Modes : unsigned {
    kFollow = 1,
    kNow = 2,
    kVisits = 4,
    kAps = 8,
    kReport = 16,
    kForget = 32,
    kAll = kFollow | kNow | kVisits | kAps | kReport | kForget,
};

// Each mode after the program's name, and its bit.
struct ModeName {
    const char *name;
    unsigned bit; // cppcheck-suppress unusedStructMember ; read through find_if
};
constexpr ModeName kModes[] = {
    {"now", kNow}, {"visits", kVisits}, {"aps", kAps}, {"report", kReport}, {"forget", kForget}};

unsigned modeBit(const std::string &mode) {
    const auto *m = std::find_if(std::begin(kModes), std::end(kModes),
                                 [&](const ModeName &named) { return mode == named.name; });
    return m != std::end(kModes) ? m->bit : kFollow;
}

// An MQTT setting that is text as given.
template <std::string MqttSettings::*field>
std::string mqttText(const std::string &value, Options &o) {
    o.mqtt.*field = value;
    return value.empty() ? "an MQTT setting must not be empty" : "";
}

// One option: its name (the command line's, without the dashes; the file's), the modes that
// take it, whether a running follower can take a new value, and how its value is set (the
// reason it is refused, or an empty text).
struct OptionRule {
    const char *name;
    unsigned modes;
    bool reloadable;
    std::string (*set)(const std::string &value, Options &o);
};

// The one option that may be given more than once: the networks add up.
bool repeatable(const OptionRule &rule) {
    return std::strcmp(rule.name, "allow") == 0;
}

constexpr OptionRule kOptionRules[] = {
    {"config", kAll, false, [](const std::string &, Options &) { return std::string(); }},
    {"db", kAll, false,
     [](const std::string &v, Options &o) {
         o.db = v;
         return std::string(o.db.empty() ? "FILE must not be empty" : "");
     }},
    {"interval", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, 1, 86400, "SECONDS must be 1 to 86400", o.settings.interval, 1000);
     }},
    {"grace", kFollow, true,
     [](const std::string &v, Options &o) {
         o.graceGiven = true;
         return ranged(v, 1, 86400, "SECONDS must be 1 to 86400", o.settings.grace, 1000);
     }},
    {"hysteresis", kFollow, true,
     [](const std::string &v, Options &o) {
         return ranged(v, 0, 100, "DB must be 0 to 100", o.settings.hysteresis);
     }},
    {"max-clients", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, 1, kMostClients, "N must be 1 to 100000000", o.settings.maxClients);
     }},
    {"keep", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, 1, 36500, "DAYS must be 1 to 36500", o.keepDays);
     }},
    {"keep-visits", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, 0, 36500, "DAYS must be 0 to 36500", o.keepVisitDays);
     }},
    {"mqtt", kFollow, false,
     [](const std::string &v, Options &o) { return parseBroker(v, o.mqtt); }},
    {"mqtt-prefix", kFollow, true,
     [](const std::string &v, Options &o) {
         o.mqtt.prefix = v;
         return std::string(
             v.empty() || v.find_first_of("#+") != std::string::npos ? "bad MQTT prefix" : "");
     }},
    {"mqtt-user", kFollow, true, mqttText<&MqttSettings::username>},
    // Only in a config file that others cannot read: the command line is anyone's to see.
    {"mqtt-password", kFollow, true, mqttText<&MqttSettings::password>},
    {"mqtt-password-file", kFollow, true, mqttText<&MqttSettings::passwordFile>},
    {"mqtt-ca", kFollow, true, mqttText<&MqttSettings::caFile>},
    {"mqtt-capath", kFollow, true, mqttText<&MqttSettings::caPath>},
    {"mqtt-cert", kFollow, true, mqttText<&MqttSettings::certFile>},
    {"mqtt-key", kFollow, true, mqttText<&MqttSettings::keyFile>},
    {"mqtt-client-id", kFollow, true,
     [](const std::string &v, Options &o) {
         o.mqtt.clientId = v;
         return std::string(v.empty() || v.size() > 256 ? "ID must be 1 to 256 bytes" : "");
     }},
    // Named and valued so that it is never turned on by accident.
    {"mqtt-insecure-skip-name-check", kFollow, true,
     [](const std::string &v, Options &o) {
         o.mqtt.insecure = v == "yes";
         return std::string(v == "yes" || v == "no" ? "" : "it takes yes or no");
     }},
    {"mqtt-keepalive", kFollow, true,
     [](const std::string &v, Options &o) {
         return ranged(v, 5, 3600, "SECONDS must be 5 to 3600", o.mqtt.keepalive);
     }},
    {"mqtt-queue", kFollow, true,
     [](const std::string &v, Options &o) {
         return ranged(v, 0, 10000000, "N must be 0 to 10000000", o.mqtt.queueLimit);
     }},
    {"listen", kFollow, false,
     [](const std::string &v, Options &o) {
         o.receiver.listen = parseListenAddress(v, o.receiver.at) == 0;
         return std::string(o.receiver.listen ? ""
                                              : "--listen needs [ADDRESS:]PORT, ADDRESS an IPv4 "
                                                "or [IPv6] literal");
     }},
    {"allow", kFollow, false,
     [](const std::string &v, Options &o) {
         Network network{};
         if (parseNetwork(v, network) != 0) {
             return "bad network " + v;
         }
         o.receiver.allowed.push_back(network);
         return std::string();
     }},
    {"buffer", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, MIN_BUFFER, MAX_BUFFER, "BYTES must be 4096 to 1073741824",
                       o.receiver.receiveBuffer);
     }},
    {"stats", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, 1, MAX_STATS_SECONDS, "SECONDS must be 1 to 86400",
                       o.receiver.statsSeconds);
     }},
    {"count", kFollow, false,
     [](const std::string &v, Options &o) {
         return ranged(v, 1, MAX_COUNT, "N must be 1 to 999999999", o.receiver.count);
     }},
    {"since", kVisits | kReport, false,
     [](const std::string &v, Options &o) {
         o.since = v;
         return std::string();
     }},
    {"html", kReport, false,
     [](const std::string &v, Options &o) {
         o.html = v;
         return std::string();
     }},
};

const OptionRule *find(std::string_view name) {
    const auto *rule = std::find_if(std::begin(kOptionRules), std::end(kOptionRules),
                                    [&](const OptionRule &s) { return name == s.name; });
    return rule != std::end(kOptionRules) ? rule : nullptr;
}

// Keeps what was given, every value of a repeatable option.
void give(const OptionRule &rule, const std::string &value, Options &o) {
    std::string &given = o.given[rule.name];
    given = repeatable(rule) && !given.empty() ? given + " " + value : value;
}

// The config file's lines into o: NAME VALUE, blank lines and lines starting with # ignored;
// a name given twice is refused. Options the mode does not take are passed over, so that one
// file serves the follower and the queries. Returns the reason with the file and the line,
// or an empty text.
std::string readConfig(const std::string &file, Options &o) {
    std::ifstream in(file);
    if (!in) {
        return file + ": cannot read: " + std::strerror(errno);
    }
    std::map<std::string, int> seen;
    std::string text;
    for (int lineNumber = 1; std::getline(in, text); ++lineNumber) {
        std::string at = file + ":" + std::to_string(lineNumber) + ": ";
        const auto first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos || text[first] == '#') {
            continue;
        }
        // A NUL would cut a value short unseen; other control bytes would reach the terminal.
        if (std::any_of(text.begin(), text.end(), [](char c) {
                return (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r') ||
                       c == 0x7f;
            })) {
            return at + "not a line of text (a control character)";
        }
        const auto nameEnd = std::min(text.find_first_of(" \t\r", first), text.size());
        const std::string name = text.substr(first, nameEnd - first);
        const auto valueAt = text.find_first_not_of(" \t", nameEnd);
        const auto valueEnd = text.find_last_not_of(" \t\r");
        const std::string value =
            valueAt == std::string::npos ? "" : text.substr(valueAt, valueEnd + 1 - valueAt);
        const OptionRule *rule = find(name);
        if (rule == nullptr || name == "config") {
            return at + "unknown name " + (name.size() > 40 ? name.substr(0, 40) + "..." : name);
        }
        if (value.empty()) {
            return at + name + " needs a value";
        }
        struct stat st {};
        if (name == "mqtt-password" && stat(file.c_str(), &st) == 0 &&
            (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
            return file + ": holds mqtt-password and is readable by others; chmod 600 it";
        }
        if (!seen.emplace(name, lineNumber).second && !repeatable(*rule)) {
            return at + name + " given twice (first on line " + std::to_string(seen[name]) + ")";
        }
        if ((rule->modes & modeBit(o.mode)) == 0) {
            continue;
        }
        const std::string refused = rule->set(value, o);
        if (!refused.empty()) {
            return at.append(name).append(": ").append(refused);
        }
        give(*rule, value, o);
    }
    if (in.bad()) {
        return file + ": cannot read: " + std::strerror(errno);
    }
    return "";
}

// The file --config names (given then set), or the default one when it exists, or none.
std::string configOf(const std::vector<std::string> &args, std::size_t first, bool &given) {
    for (std::size_t i = first; i + 1 < args.size(); i += 2) {
        if (args[i] == "--config") {
            given = true;
            return args[i + 1];
        }
    }
    return access(defaultConfig(), F_OK) == 0 ? defaultConfig() : "";
}

// The checks that need every option.
std::string complete(Options &o) {
    if (!o.graceGiven) {
        o.settings.grace = 4 * o.settings.interval;
    }
    if (!o.mode.empty() && o.db.empty()) {
        return "--db FILE is needed";
    }
    if (o.mode == "report" && o.html.empty()) {
        return "--html FILE is needed";
    }
    if (o.keepDays > 0 && o.db.empty()) {
        return "--keep needs --db FILE";
    }
    for (const char *name : {"allow", "buffer", "stats", "count"}) {
        if (!o.receiver.listen && o.given.count(name) != 0) {
            return std::string("--") + name + " needs --listen [ADDRESS:]PORT";
        }
    }
    return o.mode.empty() ? mqttSettingsProblem(o.mqtt) : "";
}

int parse(const std::vector<std::string> &args, Options &o, std::string &out, std::string &err) {
    const std::string first = args.size() > 1 ? args[1] : "";
    if (first == "--help" || first == "-h") {
        out = usageText();
        return 0;
    }
    if (first == "--version") {
        out = "station-presence " STATION_PRESENCE_VERSION "\n";
        return 0;
    }
    o.mode = modeBit(first) != kFollow ? first : "";
    o.arguments = args;
    std::size_t start = o.mode.empty() ? 1 : 2;
    if (o.mode == "forget") {
        const int64_t mac = args.size() > 2 ? clientMac(args[2]) : -1;
        if (mac < 0) {
            return usageError("CLIENT must be a MAC address (0A1B2C3D4E5F or 0a:1b:2c:3d:4e:5f)",
                              err);
        }
        o.client = static_cast<uint64_t>(mac);
        start = 3;
    }
    bool given = false;
    o.config = configOf(args, start, given);
    if (given && o.config.empty()) {
        return usageError("--config FILE must not be empty", err);
    }
    if (!o.config.empty()) {
        const std::string why = readConfig(o.config, o);
        if (!why.empty()) {
            err = "station-presence: " + why + "\n";
            return 2;
        }
    }
    bool allowGiven = false; // the command line's networks replace the file's
    for (std::size_t i = start; i < args.size(); i += 2) {
        const std::string &name = args[i];
        if (i + 1 >= args.size()) {
            return usageError("missing value of " + name, err);
        }
        const OptionRule *rule = name.rfind("--", 0) == 0 ? find(name.substr(2)) : nullptr;
        if (rule == nullptr || (rule->modes & modeBit(o.mode)) == 0) {
            return usageError("unknown option " + name, err);
        }
        if (name == "--mqtt-password") {
            return usageError("the MQTT password is not given on the command line, where any "
                              "user sees it: use --mqtt-password-file FILE or the config file",
                              err);
        }
        if (repeatable(*rule) && !allowGiven) {
            allowGiven = true;
            o.receiver.allowed.clear();
            o.given.erase(rule->name);
        }
        const std::string why = rule->set(args[i + 1], o);
        if (!why.empty()) {
            return usageError(why, err);
        }
        give(*rule, args[i + 1], o);
    }
    const std::string why = complete(o);
    return why.empty() ? -1 : usageError(why, err);
}

} // namespace

int parseCommandLine(int argc, const char *const *argv, Options &o, std::string &out,
                     std::string &err) {
    return parse(std::vector<std::string>(argv, argv + argc), o, out, err);
}

int reloadOptions(const Options &running, Reload &reload, std::string &why) {
    std::string out;
    reload.next = Options();
    if (parse(running.arguments, reload.next, out, why) >= 0) {
        // The reason, without the program's name or the usage after it.
        const std::string name = "station-presence: ";
        why = why.substr(why.rfind(name, 0) == 0 ? name.size() : 0);
        why.resize(std::min(why.size(), why.find('\n')));
        return -1;
    }
    for (const OptionRule &s : kOptionRules) {
        auto was = running.given.find(s.name);
        auto now = reload.next.given.find(s.name);
        const bool same = (was == running.given.end()) == (now == reload.next.given.end()) &&
                          (was == running.given.end() || was->second == now->second);
        if (!same) {
            reload.changed.push_back(s.name);
            if (!s.reloadable) {
                reload.refused.push_back(s.name);
            }
        }
    }
    return 0;
}

} // namespace presence
