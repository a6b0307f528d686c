#include "presence_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#ifndef STATION_PRESENCE_VERSION
#define STATION_PRESENCE_VERSION "0"
#endif

namespace presence {

const char *usageText() {
    return "usage: station-presence [--db FILE] [--interval SECONDS] [--grace SECONDS]\n"
           "                        [--hysteresis DB] [--max-clients N] [--keep DAYS]\n"
           "                        [--mqtt HOST[:PORT]] [--mqtt-prefix PREFIX] [--mqtt-user "
           "NAME]\n"
           "                        [--mqtt-password-file FILE] [--mqtt-ca FILE] [--mqtt-capath "
           "DIR]\n"
           "                        [--mqtt-cert FILE --mqtt-key FILE] [--mqtt-client-id ID]\n"
           "                        [--mqtt-keepalive SECONDS] [--mqtt-queue N]\n"
           "                        [--mqtt-insecure-skip-name-check yes]\n"
           "       station-presence now --db FILE\n"
           "       station-presence visits --db FILE [--since TIME]\n"
           "       station-presence aps --db FILE\n"
           "       station-presence report --db FILE --html FILE [--since TIME]\n"
           "       station-presence --version | --help\n";
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

// HOST, HOST:PORT, [IPV6] or [IPV6]:PORT. Returns the reason it is not, or nullptr.
const char *parseBroker(const std::string &hostPort, MqttSettings &o) {
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
    return o.host.empty() ? "bad MQTT host" : nullptr;
}

// The MQTT settings that are text as given, by option.
// cppcheck-suppress constParameter
std::string *mqttText(std::string_view name, MqttSettings &s) {
    struct Text {
        const char *name;
        std::string MqttSettings::*field;
    };
    static const Text kText[] = {
        {"--mqtt-user", &MqttSettings::username},
        {"--mqtt-password-file", &MqttSettings::passwordFile},
        {"--mqtt-ca", &MqttSettings::caFile},
        {"--mqtt-capath", &MqttSettings::caPath},
        {"--mqtt-cert", &MqttSettings::certFile},
        {"--mqtt-key", &MqttSettings::keyFile},
        {"--mqtt-client-id", &MqttSettings::clientId},
    };
    const auto *t = std::find_if(std::begin(kText), std::end(kText),
                                 [&](const Text &text) { return name == text.name; });
    return t != std::end(kText) ? &(s.*t->field) : nullptr;
}

// One option with its value; the mode decides which it takes. Returns the reason it is
// refused, or an empty string.
std::string option(std::string_view name, const char *value, Options &o, bool &graceGiven) {
    const bool run = o.mode.empty();
    struct Ranged {
        const char *name;
        long long low, high;
        const char *why;
    };
    static const Ranged kRanged[] = {
        {"--interval", 1, 86400, "SECONDS must be 1 to 86400"},
        {"--grace", 1, 86400, "SECONDS must be 1 to 86400"},
        {"--hysteresis", 0, 100, "DB must be 0 to 100"},
        {"--max-clients", 1, 100000000, "N must be 1 to 100000000"},
        {"--keep", 1, 36500, "DAYS must be 1 to 36500"},
        {"--mqtt-keepalive", 5, 3600, "SECONDS must be 5 to 3600"},
        {"--mqtt-queue", 0, 10000000, "N must be 0 to 10000000"},
    };
    for (const Ranged &r : kRanged) {
        if (run && name == r.name) {
            const long long n = number(value, r.low, r.high);
            if (n < 0) {
                return r.why;
            }
            if (name == "--interval") {
                o.settings.interval = n * 1000;
            } else if (name == "--grace") {
                o.settings.grace = n * 1000;
                graceGiven = true;
            } else if (name == "--hysteresis") {
                o.settings.hysteresis = static_cast<int>(n);
            } else if (name == "--max-clients") {
                o.settings.maxClients = static_cast<std::size_t>(n);
            } else if (name == "--mqtt-keepalive") {
                o.mqtt.keepalive = static_cast<int>(n);
            } else if (name == "--mqtt-queue") {
                o.mqtt.queueLimit = static_cast<std::size_t>(n);
            } else {
                o.keepDays = static_cast<int>(n);
            }
            return "";
        }
    }
    if (name == "--db") {
        o.db = value;
    } else if (run && name == "--mqtt") {
        const char *bad = parseBroker(value, o.mqtt);
        return bad != nullptr ? bad : "";
    } else if (run && name == "--mqtt-prefix") {
        o.mqtt.prefix = value;
        if (o.mqtt.prefix.empty() || o.mqtt.prefix.find_first_of("#+") != std::string::npos) {
            return "bad MQTT prefix";
        }
    } else if (run && mqttText(name, o.mqtt) != nullptr) {
        *mqttText(name, o.mqtt) = value;
        if (*value == '\0') {
            return std::string(name) + " must not be empty";
        }
        if (name == "--mqtt-client-id" && std::strlen(value) > 256) {
            return "ID must be at most 256 bytes";
        }
    } else if (run && name == "--mqtt-insecure-skip-name-check") {
        // Named and valued so that it is never turned on by accident.
        const std::string_view v = value;
        if (v != "yes" && v != "no") {
            return "--mqtt-insecure-skip-name-check takes yes or no";
        }
        o.mqtt.insecure = v == "yes";
    } else if ((o.mode == "visits" || o.mode == "report") && name == "--since") {
        o.since = value;
    } else if (o.mode == "report" && name == "--html") {
        o.html = value;
    } else {
        return "unknown option " + std::string(name);
    }
    return "";
}

} // namespace

int parseCommandLine(int argc, const char *const *argv, Options &o, std::string &out,
                     std::string &err) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        out = usageText();
        return 0;
    }
    if (first == "--version") {
        out = "station-presence " STATION_PRESENCE_VERSION "\n";
        return 0;
    }
    const bool query = first == "now" || first == "visits" || first == "aps" || first == "report";
    o.mode = query ? first : "";
    bool graceGiven = false;
    for (int i = query ? 2 : 1; i < argc; i += 2) {
        if (i + 1 >= argc) {
            return usageError("missing value of " + std::string(argv[i]), err);
        }
        const std::string why = option(argv[i], argv[i + 1], o, graceGiven);
        if (!why.empty()) {
            return usageError(why, err);
        }
    }
    if (!graceGiven) {
        o.settings.grace = 4 * o.settings.interval;
    }
    if (query && o.db.empty()) {
        return usageError("--db FILE is needed", err);
    }
    if (o.mode == "report" && o.html.empty()) {
        return usageError("--html FILE is needed", err);
    }
    if (o.keepDays > 0 && o.db.empty()) {
        return usageError("--keep needs --db FILE", err);
    }
    const std::string mqtt = mqttSettingsProblem(o.mqtt);
    if (!mqtt.empty()) {
        return usageError(mqtt, err);
    }
    return -1;
}

} // namespace presence
