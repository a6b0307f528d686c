#include "presence_input.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

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

static Parsed parseJson(std::string_view line, Sighting &s, std::string &why) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return refuse(why, "not a JSON object");
    }
    auto from = j.find("from");
    auto record = j.find("record");
    auto received = j.find("received");
    if (from == j.end() || !from->is_string() || record == j.end() ||
        !record->is_number_integer() || received == j.end() || !received->is_number()) {
        return refuse(why, "no from, record or received");
    }
    s.address = senderAddress(from->get_ref<const std::string &>());
    s.received = std::llround(received->get<double>() * 1000);
    int64_t number = record->get<int64_t>();
    if (number == 0) {
        return checkRecord(s, 0, 0, 0, 0, 0) == nullptr ? Parsed::Sighting : Parsed::Refused;
    }
    auto text = [&j](const char *key) {
        auto it = j.find(key);
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    auto integer = [&j](const char *key, int64_t &value) {
        auto it = j.find(key);
        if (it == j.end() || !it->is_number_integer()) {
            return false;
        }
        value = it->get<int64_t>();
        return true;
    };
    int64_t rssi = 0;
    int64_t channel = 0;
    int64_t assoc = 0;
    if (!integer("timestamp", s.timestamp) || !integer("rssi", rssi) ||
        !integer("channel", channel) || !integer("assoc", assoc)) {
        return refuse(why, "bad number");
    }
    s.rssi = rssi < -128 || rssi > 127 ? 1000 : static_cast<int>(rssi);
    const char *bad =
        checkRecord(s, number, parseMac(text("apmac")), parseMac(text("mumac")), channel, assoc);
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
