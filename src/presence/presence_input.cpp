#include "presence_input.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <simdjson.h>

namespace presence {

int64_t parseMac(std::string_view text) {
    if (text.size() != 12) {
        return -1;
    }
    int64_t mac = 0;
    for (char ch : text) {
        int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                             : -1;
        if (digit < 0) {
            return -1;
        }
        mac = mac << 4 | digit;
    }
    return mac;
}

std::string macText(uint64_t mac) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text(12, '0');
    for (int i = 11; i >= 0; --i, mac >>= 4) {
        text[static_cast<std::size_t>(i)] = digits[mac & 0xF];
    }
    return text;
}

std::string senderAddress(std::string_view from) {
    if (!from.empty() && from.front() == '[') {
        auto end = from.find(']');
        return std::string(from.substr(1, end == std::string_view::npos ? end : end - 1));
    }
    return std::string(from.substr(0, from.rfind(':')));
}

template <typename Int> static bool parseInt(std::string_view text, Int &value) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

// "1796714142.123": seconds with up to three decimals.
static bool parseReceived(std::string_view text, Millis &ms) {
    auto dot = text.find('.');
    int64_t seconds = 0;
    if (!parseInt(text.substr(0, dot), seconds) || seconds < 0) {
        return false;
    }
    int64_t fraction = 0;
    if (dot != std::string_view::npos) {
        std::string_view digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 3 || !parseInt(digits, fraction) || fraction < 0) {
            return false;
        }
        for (std::size_t i = digits.size(); i < 3; ++i) {
            fraction *= 10;
        }
    }
    ms = seconds * 1000 + fraction;
    return true;
}

// The record's fields, shared by both formats; returns the reason it is refused or nullptr.
static const char *checkRecord(Sighting &s, int64_t record, int64_t apmac, int64_t mumac,
                               int64_t channel, int64_t assoc) {
    if (record < 0) {
        return "bad record";
    }
    s.heartbeat = record == 0;
    if (s.heartbeat) {
        return nullptr;
    }
    if (apmac < 0) {
        return "bad apmac";
    }
    if (mumac < 0) {
        return "bad mumac";
    }
    if (s.rssi < -128 || s.rssi > 127 || channel < 0 || channel > 255 || assoc < 0 || assoc > 255) {
        return "value out of range";
    }
    s.apmac = static_cast<uint64_t>(apmac);
    s.mumac = static_cast<uint64_t>(mumac);
    s.channel = static_cast<int>(channel);
    s.assoc = assoc != 0;
    return nullptr;
}

static Parsed refuse(std::string &why, const char *reason) {
    why = reason;
    return Parsed::Refused;
}

static Parsed parseCsv(std::string_view line, Sighting &s, std::string &why) {
    std::string_view f[9];
    std::size_t n = 0;
    for (std::size_t start = 0;; ++n) {
        auto comma = line.find(',', start);
        if (n == 9) {
            return refuse(why, "not 9 fields");
        }
        f[n] = line.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (n != 8) {
        return refuse(why, n == 7 ? "8 fields: no received column" : "not 9 fields");
    }
    if (f[0].empty() || !parseReceived(f[8], s.received)) {
        return refuse(why, "bad from or received");
    }
    s.address = senderAddress(f[0]);
    int64_t record = -1;
    int64_t channel = 0;
    int64_t assoc = 0;
    if (!parseInt(f[1], record)) {
        return refuse(why, "bad record");
    }
    if (record != 0 && (!parseInt(f[4], s.timestamp) || !parseInt(f[5], s.rssi) ||
                        !parseInt(f[6], channel) || !parseInt(f[7], assoc))) {
        return refuse(why, "bad number");
    }
    const char *bad = checkRecord(s, record, record == 0 ? 0 : parseMac(f[2]),
                                  record == 0 ? 0 : parseMac(f[3]), channel, assoc);
    return bad == nullptr ? Parsed::Sighting : refuse(why, bad);
}

// Fields in any order, unknown ones skipped: station-decode adds new columns at the end.
static Parsed parseJson(std::string_view line, Sighting &s, std::string &why) {
    // simdjson reads past the end of what it parses: a copy with the padding it needs.
    static char copy[kMaxLine + simdjson::SIMDJSON_PADDING];
    if (line.size() > kMaxLine) {
        return refuse(why, "line too long");
    }
    std::memcpy(copy, line.data(), line.size());
    static simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc;
    simdjson::ondemand::object object;
    if (parser.iterate(copy, line.size(), sizeof copy).get(doc) != simdjson::SUCCESS ||
        doc.get_object().get(object) != simdjson::SUCCESS) {
        return refuse(why, "not a JSON object");
    }
    std::string_view from;
    std::string_view apmac;
    std::string_view mumac;
    int64_t record = -1;
    int64_t rssi = 0;
    int64_t channel = 0;
    int64_t assoc = 0;
    double received = -1;
    unsigned seen = 0; // a bit per field below
    for (auto field : object) {
        std::string_view key;
        if (field.unescaped_key().get(key) != simdjson::SUCCESS) {
            return refuse(why, "not a JSON object");
        }
        auto value = field.value();
        simdjson::error_code error = simdjson::SUCCESS;
        unsigned bit = 0;
        if (key == "from") {
            error = value.get_string().get(from), bit = 1;
        } else if (key == "record") {
            error = value.get_int64().get(record), bit = 2;
        } else if (key == "received") {
            error = value.get_double().get(received), bit = 4;
        } else if (key == "apmac") {
            error = value.get_string().get(apmac), bit = 8;
        } else if (key == "mumac") {
            error = value.get_string().get(mumac), bit = 16;
        } else if (key == "timestamp") {
            error = value.get_int64().get(s.timestamp), bit = 32;
        } else if (key == "rssi") {
            error = value.get_int64().get(rssi), bit = 64;
        } else if (key == "channel") {
            error = value.get_int64().get(channel), bit = 128;
        } else if (key == "assoc") {
            error = value.get_int64().get(assoc), bit = 256;
        }
        if (error != simdjson::SUCCESS) {
            return refuse(why, bit == 1 || bit == 8 || bit == 16 ? "bad text" : "bad number");
        }
        seen |= bit;
    }
    if ((seen & 7U) != 7U || received < 0) {
        return refuse(why, "no from, record or received");
    }
    s.address = senderAddress(from);
    s.received = std::llround(received * 1000);
    if (record != 0 && (seen & 0x1F8U) != 0x1F8U) {
        return refuse(why, "bad number");
    }
    s.rssi = rssi < -128 || rssi > 127 ? 1000 : static_cast<int>(rssi);
    const char *bad = checkRecord(s, record, record == 0 ? 0 : parseMac(apmac),
                                  record == 0 ? 0 : parseMac(mumac), channel, assoc);
    return bad == nullptr ? Parsed::Sighting : refuse(why, bad);
}

Parsed parseLine(std::string_view line, Sighting &s, std::string &why) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos) {
        return Parsed::Skip;
    }
    s = Sighting();
    if (line.front() == '{') {
        return parseJson(line, s, why);
    }
    if (line.substr(0, 12) == "from,record,") {
        return Parsed::Skip;
    }
    return parseCsv(line, s, why);
}

} // namespace presence
