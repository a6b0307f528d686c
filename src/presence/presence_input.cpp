#include "presence_input.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <simdjson.h>

namespace presence {

// Each byte's hex value, or -1: a line's two addresses are read for every record.
static constexpr std::array<int8_t, 256> kHexDigit = [] {
    std::array<int8_t, 256> table{};
    for (int ch = 0; ch < 256; ++ch) {
        table[static_cast<std::size_t>(ch)] =
            static_cast<int8_t>(ch >= '0' && ch <= '9'   ? ch - '0'
                                : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                                         : -1);
    }
    return table;
}();

int64_t parseMac(std::string_view text) {
    if (text.size() != 12) {
        return -1;
    }
    int64_t mac = 0;
    int bad = 0;
    for (char ch : text) {
        int digit = kHexDigit[static_cast<unsigned char>(ch)];
        bad |= digit;
        mac = mac << 4 | (digit & 0xF);
    }
    return bad < 0 ? -1 : mac;
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

// Decimal digits after an optional '-', as from_chars reads them, but inline: a CSV record
// has six numbers.
template <typename Int> static bool parseInt(std::string_view text, Int &value) {
    bool negative = !text.empty() && text.front() == '-';
    std::size_t i = negative ? 1 : 0;
    if (i == text.size() || text.size() - i > 18) { // 18 digits cannot overflow int64_t
        return false;
    }
    int64_t n = 0;
    for (; i < text.size(); ++i) {
        auto digit = static_cast<unsigned>(text[i] - '0');
        if (digit > 9) {
            return false;
        }
        n = n * 10 + digit;
    }
    n = negative ? -n : n;
    if (n < std::numeric_limits<Int>::min() || n > std::numeric_limits<Int>::max()) {
        return false;
    }
    value = static_cast<Int>(n);
    return true;
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

// The next field of a CSV line: the text up to the next comma, or to the end for the last.
// Returns false past the last field.
static bool nextField(const char *&p, const char *end, std::string_view &field) {
    if (p == nullptr) {
        return false;
    }
    const char *start = p;
    while (p != end && *p != ',') {
        ++p;
    }
    field = std::string_view(start, static_cast<std::size_t>(p - start));
    p = p == end ? nullptr : p + 1;
    return true;
}

// One pass from left to right: this runs for every record of a fleet.
static Parsed parseCsv(std::string_view line, Sighting &s, std::string &why) {
    std::string_view f[9];
    const char *p = line.data();
    const char *end = p + line.size();
    std::size_t n = 0;
    while (n < 9 && nextField(p, end, f[n])) {
        ++n;
    }
    if (n != 9 || p != nullptr) {
        return refuse(why, n == 8 ? "8 fields: no received column" : "not 9 fields");
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
// Each is looked up from where the last was found, so station-decode's own order costs one
// key comparison a field.
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
    simdjson::error_code missing = simdjson::SUCCESS; // the first field absent
    auto field = [&](const char *key, auto &value) {
        auto error = object.find_field_unordered(key).get(value);
        if (error == simdjson::NO_SUCH_FIELD && missing == simdjson::SUCCESS) {
            missing = error;
        }
        return error == simdjson::SUCCESS || error == simdjson::NO_SUCH_FIELD;
    };
    std::string_view from;
    int64_t record = -1;
    double received = -1;
    if (!field("from", from)) {
        return refuse(why, "bad text");
    }
    if (!field("record", record) || !field("received", received)) {
        return refuse(why, "bad number");
    }
    if (missing != simdjson::SUCCESS || received < 0) {
        return refuse(why, "no from, record or received");
    }
    s.address = senderAddress(from);
    s.received = std::llround(received * 1000);
    std::string_view apmac;
    std::string_view mumac;
    int64_t rssi = 0;
    int64_t channel = 0;
    int64_t assoc = 0;
    if (record != 0) {
        if (!field("apmac", apmac) || !field("mumac", mumac)) {
            return refuse(why, "bad text");
        }
        if (!field("timestamp", s.timestamp) || !field("rssi", rssi) ||
            !field("channel", channel) || !field("assoc", assoc) || missing != simdjson::SUCCESS) {
            return refuse(why, "bad number");
        }
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
