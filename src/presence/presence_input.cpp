#include "presence_input.h"

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <simdjson.h>

namespace presence {

// Each byte's hex value, or -1: a line's two addresses are read for every record.
static constexpr std::array<int16_t, 256> kHexDigit = [] {
    std::array<int16_t, 256> table{};
    for (int ch = 0; ch < 256; ++ch) {
        table[static_cast<std::size_t>(ch)] =
            static_cast<int16_t>(ch >= '0' && ch <= '9'   ? ch - '0'
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

char *putMacText(char *out, uint64_t mac) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 11; i >= 0; --i, mac >>= 4) {
        out[i] = digits[mac & 0xF];
    }
    return out + 12;
}

std::string macText(uint64_t mac) {
    std::string text(12, '0');
    putMacText(text.data(), mac);
    return text;
}

std::string senderAddress(std::string_view from) {
    if (!from.empty() && from.front() == '[') {
        auto end = from.find(']');
        return std::string(from.substr(1, end == std::string_view::npos ? end : end - 1));
    }
    return std::string(from.substr(0, from.rfind(':')));
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

namespace {

// A CSV line read from left to right, each field parsed where it stands, so a record's
// bytes are visited once. A field that does not parse is stepped over to its comma.
class CsvCursor {
  public:
    explicit CsvCursor(std::string_view line) : p_(line.data()), end_(p_ + line.size()) {}

    // Fields stepped over, and whether one is left.
    int fields() const { return fields_; }
    bool more() const { return more_; }

    std::string_view text() {
        const char *start = p_;
        next();
        return std::string_view(start, static_cast<std::size_t>(last_ - start));
    }

    // Decimal digits after an optional '-'. Eighteen digits cannot overflow.
    bool integer(int64_t &value) {
        bool negative = more_ && p_ != end_ && *p_ == '-';
        p_ += negative ? 1 : 0;
        int64_t n = 0;
        bool ok = digits(n, 18) > 0;
        value = negative ? -n : n;
        return next() && ok;
    }

    // Twelve hex digits.
    bool mac(int64_t &value) {
        value = parseMac(text());
        return value >= 0;
    }

    // "1796714142.123": seconds with up to three decimals, as milliseconds.
    bool received(Millis &ms) {
        int64_t seconds = 0;
        int64_t fraction = 0;
        bool ok = digits(seconds, 18) > 0;
        if (ok && p_ != end_ && *p_ == '.') {
            ++p_;
            int count = digits(fraction, 3);
            ok = count > 0;
            for (; count < 3; ++count) {
                fraction *= 10;
            }
        }
        ms = seconds * 1000 + fraction;
        return next() && ok;
    }

  private:
    // Reads up to most digits into n; returns how many.
    int digits(int64_t &n, int most) {
        int count = 0;
        for (; more_ && p_ != end_ && count < most; ++p_, ++count) {
            auto digit = static_cast<unsigned>(*p_ - '0');
            if (digit > 9) {
                break;
            }
            n = n * 10 + digit;
        }
        return count;
    }

    // Ends the field: true if nothing but its comma (or the line's end) was left of it.
    bool next() {
        if (!more_) {
            return false;
        }
        bool clean = p_ == end_ || *p_ == ',';
        while (p_ != end_ && *p_ != ',') {
            ++p_;
        }
        last_ = p_;
        ++fields_;
        more_ = p_ != end_;
        p_ += more_ ? 1 : 0;
        return clean;
    }

    const char *p_;
    const char *end_;
    const char *last_ = nullptr; // the end of the field stepped over last
    int fields_ = 0;
    bool more_ = true;
};

} // namespace

// from,record,apmac,mumac,timestamp,rssi,channel,assoc,received
static Parsed parseCsv(std::string_view line, Sighting &s, std::string &why) {
    CsvCursor c(line);
    std::string_view from = c.text();
    int64_t record = -1;
    int64_t apmac = -1;
    int64_t mumac = -1;
    int64_t rssi = 0;
    int64_t channel = 0;
    int64_t assoc = 0;
    bool recordOk = c.integer(record);
    bool apOk = c.mac(apmac);
    bool muOk = c.mac(mumac);
    bool numbersOk = c.integer(s.timestamp);
    numbersOk = c.integer(rssi) && numbersOk;
    numbersOk = c.integer(channel) && numbersOk;
    numbersOk = c.integer(assoc) && numbersOk;
    bool receivedOk = c.received(s.received);
    if (c.fields() != 9 || c.more()) {
        return refuse(why, c.fields() == 8 ? "8 fields: no received column" : "not 9 fields");
    }
    if (from.empty() || !receivedOk) {
        return refuse(why, "bad from or received");
    }
    if (!recordOk) {
        return refuse(why, "bad record");
    }
    s.address = senderAddress(from);
    if (record != 0 && (!numbersOk || rssi < INT_MIN || rssi > INT_MAX)) {
        return refuse(why, "bad number");
    }
    s.rssi = static_cast<int>(rssi);
    const char *bad = checkRecord(s, record, record == 0 || apOk ? apmac : -1,
                                  record == 0 || muOk ? mumac : -1, channel, assoc);
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
    if (line.empty() || ((line.front() == ' ' || line.front() == '\t') &&
                         line.find_first_not_of(" \t") == std::string_view::npos)) {
        return Parsed::Skip;
    }
    s = Sighting();
    if (line.front() == '{') {
        return parseJson(line, s, why);
    }
    if (line.front() == 'f' && line.substr(0, 12) == "from,record,") {
        return Parsed::Skip;
    }
    return parseCsv(line, s, why);
}

} // namespace presence
