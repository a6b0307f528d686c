#include "presence_input.h"

#include "record_line.h"

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <simdjson.h>
#include <utility>

namespace presence {

// The sender without its port, where it stands in the line.
static std::string_view addressOf(std::string_view from) {
    if (!from.empty() && from.front() == '[') {
        auto end = from.find(']');
        return from.substr(1, end == std::string_view::npos ? end : end - 1);
    }
    return from.substr(0, from.rfind(':'));
}

std::string senderAddress(std::string_view from) {
    return std::string(addressOf(from));
}

// The record's fields, shared by both formats; returns the reason it is refused or nullptr.
// record is station-decode's int, timestamp the wire's 32 bits (read signed or not).
static const char *checkRecord(Sighting &s, int64_t record, int64_t apmac, int64_t mumac,
                               int64_t channel, int64_t assoc) {
    if (record < 0 || record > INT32_MAX) {
        return "bad record";
    }
    s.heartbeat = record == 0;
    if (s.heartbeat) {
        // A heartbeat's other fields are empty, and nothing of them is kept.
        s.timestamp = 0;
        s.rssi = 0;
        return nullptr;
    }
    if (apmac < 0) {
        return "bad apmac";
    }
    if (mumac < 0) {
        return "bad mumac";
    }
    if (s.rssi < -128 || s.rssi > 127 || channel < 0 || channel > 255 || assoc < 0 || assoc > 255 ||
        s.timestamp < INT32_MIN || s.timestamp > UINT32_MAX) {
        return "value out of range";
    }
    s.apmac = static_cast<uint64_t>(apmac);
    s.mumac = static_cast<uint64_t>(mumac);
    s.channel = static_cast<int>(channel);
    s.assoc = assoc != 0;
    return nullptr;
}

// A sender's text that is safe to keep and print: UTF-8 without control characters (C0, DEL
// or C1), so no NUL cuts it short and no escape reaches a terminal.
static bool printable(std::string_view text) {
    // Printable ASCII, as every address is, eight bytes at a time, the last eight overlapping
    // the others: each byte is below 0x80, not below 0x20 (+0x60 sets its top bit) and not
    // 0x7F (+0x01 sets it).
    constexpr uint64_t kOnes = 0x0101010101010101;
    constexpr uint64_t kTops = 0x8080808080808080;
    auto plain = [&](std::size_t at) {
        uint64_t x = 0;
        std::memcpy(&x, text.data() + at, 8);
        return ((x | (x + kOnes) | ~(x + 0x60 * kOnes)) & kTops) == 0;
    };
    if (text.size() >= 8) {
        std::size_t at = 0;
        while (at + 8 < text.size() && plain(at)) {
            at += 8;
        }
        if (at + 8 >= text.size() && plain(text.size() - 8)) {
            return true;
        }
    }
    bool ascii = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto ch = static_cast<unsigned char>(text[i]);
        if (ch < 0x20 || ch == 0x7F ||
            (ch == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            return false;
        }
        ascii = ascii && ch < 0x80;
    }
    return ascii || simdjson::validate_utf8(text.data(), text.size());
}

static bool receivedInRange(double seconds) {
    // Written so that NaN is out of range too.
    return seconds >= static_cast<double>(kReceivedFrom) &&
           seconds < static_cast<double>(kReceivedUntil);
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

    // "1796714142.123": seconds with up to three decimals, as milliseconds; -1 when out of
    // range (eighteen digits of seconds would overflow as milliseconds).
    bool received(Millis &ms) {
        int64_t whole = 0;
        int64_t fraction = 0;
        bool ok = digits(whole, 18) > 0;
        if (ok && p_ != end_ && *p_ == '.') {
            ++p_;
            int count = digits(fraction, 3);
            ok = count > 0;
            for (; count < 3; ++count) {
                fraction *= 10;
            }
        }
        ms = whole >= kReceivedFrom && whole < kReceivedUntil ? whole * 1000 + fraction : -1;
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

// A CSV line's fields as read, before they are judged.
struct CsvFields {
    std::string_view from;
    int64_t record = -1;
    int64_t apmac = -1;
    int64_t mumac = -1;
    int64_t rssi = 0;
    int64_t channel = 0;
    int64_t assoc = 0;
    bool recordOk = false;
    bool apOk = false;
    bool muOk = false;
    bool numbersOk = false;
    bool receivedOk = false;
    int fields = 0;
    bool more = false;
};

// The careful reader: any line, each field read where it stands and stepped over to its comma
// when it does not parse, so that the judgement below can say what is wrong.
static void scanCsv(std::string_view line, Sighting &s, CsvFields &f) {
    CsvCursor c(line);
    f.from = c.text();
    f.recordOk = c.integer(f.record);
    f.apOk = c.mac(f.apmac);
    f.muOk = c.mac(f.mumac);
    f.numbersOk = c.integer(s.timestamp);
    f.numbersOk = c.integer(f.rssi) && f.numbersOk;
    f.numbersOk = c.integer(f.channel) && f.numbersOk;
    f.numbersOk = c.integer(f.assoc) && f.numbersOk;
    f.receivedOk = c.received(s.received);
    f.fields = c.fields();
    f.more = c.more();
}

namespace {

// The quick reader: a record line exactly as station-decode writes it, in one pass over its
// bytes. It gives up (false) at the first byte of any other shape, heartbeats included, and
// the careful reader reads that line again; where it succeeds, it has read what the careful
// one would.
class QuickCsv {
  public:
    explicit QuickCsv(std::string_view line) : p_(line.data()), end_(p_ + line.size()) {}

    bool read(Sighting &s, CsvFields &f) {
        const char *fromEnd =
            static_cast<const char *>(std::memchr(p_, ',', static_cast<std::size_t>(end_ - p_)));
        if (fromEnd == nullptr) {
            return false;
        }
        f.from = std::string_view(p_, static_cast<std::size_t>(fromEnd - p_));
        p_ = fromEnd + 1;
        bool ok = unsignedField(f.record) && f.record != 0 && mac(f.apmac) && mac(f.mumac) &&
                  signedField(s.timestamp) && signedField(f.rssi) && unsignedField(f.channel) &&
                  unsignedField(f.assoc) && received(s.received);
        f.recordOk = f.apOk = f.muOk = f.numbersOk = f.receivedOk = true;
        f.fields = 9;
        f.more = false;
        return ok;
    }

  private:
    // One to eighteen digits; n is 0 on entry. Times have ten digits: eight are read at once.
    bool digits(int64_t &n) {
        const char *start = p_;
        uint64_t value = 0; // wraps harmlessly past eighteen digits, which are refused
        uint32_t eight = 0;
        while (end_ - p_ >= 8 && eightDigits(p_, eight)) {
            value = value * 100000000 + eight;
            p_ += 8;
        }
        for (; p_ != end_ && static_cast<unsigned>(*p_ - '0') <= 9; ++p_) {
            value = value * 10 + static_cast<unsigned>(*p_ - '0');
        }
        n = static_cast<int64_t>(value);
        return p_ != start && p_ - start <= 18;
    }
    // The value of eight decimal digits at at, when they are all digits.
    static bool eightDigits(const char *at, uint32_t &value) {
        constexpr uint64_t kOnes = 0x0101010101010101;
        uint64_t x = littleEndian8(at);
        // Each byte 0x30 to 0x39: its high half 3, and still 3 once 6 is added to it.
        if ((x & 0xF0 * kOnes) != 0x30 * kOnes ||
            ((x + 0x06 * kOnes) & 0xF0 * kOnes) != 0x30 * kOnes) {
            return false;
        }
        x -= 0x30 * kOnes;
        x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FF;
        x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFF;
        value = static_cast<uint32_t>((x * 10000 + (x >> 32)) & 0xFFFFFFFF);
        return true;
    }
    bool comma() {
        if (p_ == end_ || *p_ != ',') {
            return false;
        }
        ++p_;
        return true;
    }
    bool unsignedField(int64_t &value) {
        value = 0;
        return digits(value) && comma();
    }
    bool signedField(int64_t &value) {
        bool negative = p_ != end_ && *p_ == '-';
        p_ += negative ? 1 : 0;
        int64_t n = 0;
        bool ok = digits(n) && comma();
        value = negative ? -n : n;
        return ok;
    }
    bool mac(int64_t &value) {
        if (end_ - p_ < 13) {
            return false;
        }
        value = parseMac(std::string_view(p_, 12));
        p_ += 12;
        return value >= 0 && comma();
    }
    // Seconds with one to three decimals, the line's end after them.
    bool received(Millis &ms) {
        int64_t whole = 0;
        if (!digits(whole) || p_ == end_ || *p_ != '.') {
            return false;
        }
        ++p_;
        int64_t fraction = 0;
        int count = 0;
        for (; p_ != end_ && count < 3 && static_cast<unsigned>(*p_ - '0') <= 9; ++p_, ++count) {
            fraction = fraction * 10 + (*p_ - '0');
        }
        for (int scale = count; scale < 3; ++scale) {
            fraction *= 10;
        }
        ms = whole >= kReceivedFrom && whole < kReceivedUntil ? whole * 1000 + fraction : -1;
        return count > 0 && p_ == end_;
    }

    const char *p_;
    const char *end_;
};

// The sender's text of the last line taken and its address: an access point's records come
// one after another, each with the same sender, which is then checked and cut only once.
struct LastSender {
    std::string from;
    std::string address;
};
LastSender lastSender;

} // namespace

// Sets s.address from a sender's text; false when the text is not fit to keep.
static bool takeSender(std::string_view from, Sighting &s) {
    if (from.size() != lastSender.from.size() || from != lastSender.from) {
        if (!printable(from)) {
            return false;
        }
        lastSender.from.assign(from);
        lastSender.address.assign(addressOf(from));
    }
    s.address = lastSender.address; // into the buffer the last line's left
    return true;
}

// from,record,apmac,mumac,timestamp,rssi,channel,assoc,received
static Parsed judgeCsv(const CsvFields &f, Sighting &s, std::string &why) {
    if (f.fields != 9 || f.more) {
        return refuse(why, f.fields == 8 ? "8 fields: no received column" : "not 9 fields");
    }
    if (f.from.empty() || !f.receivedOk) {
        return refuse(why, "bad from or received");
    }
    if (s.received < 0) {
        return refuse(why, "received out of range");
    }
    if (!takeSender(f.from, s)) {
        return refuse(why, "bad from");
    }
    if (!f.recordOk) {
        return refuse(why, "bad record");
    }
    if (f.record != 0 && (!f.numbersOk || f.rssi < INT_MIN || f.rssi > INT_MAX)) {
        return refuse(why, "bad number");
    }
    s.rssi = f.rssi < -128 || f.rssi > 127 ? 1000 : static_cast<int>(f.rssi);
    const char *bad = checkRecord(s, f.record, f.record == 0 || f.apOk ? f.apmac : -1,
                                  f.record == 0 || f.muOk ? f.mumac : -1, f.channel, f.assoc);
    return bad == nullptr ? Parsed::Sighting : refuse(why, bad);
}

static Parsed parseCsv(std::string_view line, Sighting &s, std::string &why, bool quick) {
    CsvFields f;
    if (!quick || !QuickCsv(line).read(s, f)) {
        f = CsvFields();
        s.timestamp = 0;
        s.received = 0;
        scanCsv(line, s, f);
    }
    return judgeCsv(f, s, why);
}

namespace {

using simdjson::ondemand::json_type;
using simdjson::ondemand::value;

// Containers deeper than this in a field the record does not use: refused.
constexpr std::size_t kMaxDepth = 16;

// Reads all of a value the record does not use, so a line is taken only when it is JSON
// throughout: simdjson's reader checks no more than it is asked to read.
simdjson::error_code skipValue(value v) {
    json_type type;
    if (auto error = v.type().get(type)) {
        return error;
    }
    std::string_view text; // an array or object, as written
    simdjson::error_code error = simdjson::SUCCESS;
    switch (type) {
    case json_type::array: {
        simdjson::ondemand::array array;
        error = v.get_array().get(array);
        if (error == simdjson::SUCCESS) {
            error = array.raw_json().get(text);
        }
        break;
    }
    case json_type::object: {
        simdjson::ondemand::object object;
        error = v.get_object().get(object);
        if (error == simdjson::SUCCESS) {
            error = object.raw_json().get(text);
        }
        break;
    }
    case json_type::number:
        return v.get_double().error();
    case json_type::string:
        return v.get_string().error();
    case json_type::boolean:
        return v.get_bool().error();
    case json_type::null:
        return v.is_null().error();
    }
    if (error != simdjson::SUCCESS) {
        return error;
    }
    // The whole-document parser checks every byte and every level of it. The text lies in
    // the line's padded copy, so it can be read where it is.
    static simdjson::dom::parser checker = [] {
        simdjson::dom::parser parser;
        // Should this fail, parse() allocates for itself, with the default depth.
        simdjson::error_code unused = parser.allocate(kMaxLine, kMaxDepth);
        static_cast<void>(unused);
        return parser;
    }();
    return checker.parse(text.data(), text.size(), false).error();
}

// The fields a line's record is made of, one bit each, in the order of the record line.
constexpr unsigned bitOf(RecordField field) {
    return 1U << static_cast<unsigned>(field);
}
constexpr unsigned kFrom = bitOf(RecordField::From);
constexpr unsigned kRecord = bitOf(RecordField::Record);
constexpr unsigned kReceived = bitOf(RecordField::Received);
constexpr unsigned kApmac = bitOf(RecordField::Apmac);
constexpr unsigned kMumac = bitOf(RecordField::Mumac);
constexpr unsigned kTimestamp = bitOf(RecordField::Timestamp);
constexpr unsigned kRssi = bitOf(RecordField::Rssi);
constexpr unsigned kChannel = bitOf(RecordField::Channel);
constexpr unsigned kAssoc = bitOf(RecordField::Assoc);

// A key's field, told apart by its length first.
constexpr unsigned fieldBit(std::string_view key) {
    switch (key.size()) {
    case 4:
        return key == "from" ? kFrom : key == "rssi" ? kRssi : 0;
    case 5:
        return key == "apmac" ? kApmac : key == "mumac" ? kMumac : key == "assoc" ? kAssoc : 0;
    case 6:
        return key == "record" ? kRecord : 0;
    case 7:
        return key == "channel" ? kChannel : 0;
    case 8:
        return key == "received" ? kReceived : 0;
    case 9:
        return key == "timestamp" ? kTimestamp : 0;
    default:
        return 0;
    }
}

// Bytes from..to of name (to at most from + 8) as one number, the first lowest.
template <std::size_t N>
constexpr uint64_t nameBytes(const char (&name)[N], std::size_t from, std::size_t to) {
    uint64_t x = 0;
    for (std::size_t i = to; i > from; --i) {
        x = x << 8 | static_cast<unsigned char>(name[i - 1]);
    }
    return x;
}

// Whether the key as written at raw is name, its closing quote included: compared eight bytes
// at a time where it stands (a name is at most sixteen bytes; the padding is there to read).
template <std::size_t N> bool written(const char *raw, const char (&name)[N]) {
    constexpr std::size_t n = N - 1;
    static_assert(n <= 16, "two words at most");
    constexpr std::size_t first = n < 8 ? n : 8;
    constexpr uint64_t mask = first == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * first)) - 1;
    if ((littleEndian8(raw) & mask) != nameBytes(name, 0, first)) {
        return false;
    }
    if constexpr (n > 8) {
        constexpr uint64_t rest = n == 16 ? ~uint64_t{0} : (uint64_t{1} << (8 * (n - 8))) - 1;
        return (littleEndian8(raw + 8) & rest) == nameBytes(name, 8, n);
    }
    return true;
}

// The field of a key written as station-decode writes it, without escapes; 0 for any other.
unsigned writtenFieldBit(const char *raw) {
    switch (raw[0]) {
    case 'f':
        return written(raw, "from\"") ? kFrom : 0;
    case 'r':
        return written(raw, "record\"")     ? kRecord
               : written(raw, "rssi\"")     ? kRssi
               : written(raw, "received\"") ? kReceived
                                            : 0;
    case 'a':
        return written(raw, "apmac\"") ? kApmac : written(raw, "assoc\"") ? kAssoc : 0;
    case 'm':
        return written(raw, "mumac\"") ? kMumac : 0;
    case 't':
        return written(raw, "timestamp\"") ? kTimestamp : 0;
    case 'c':
        return written(raw, "channel\"") ? kChannel : 0;
    default:
        return 0;
    }
}

// A field's key as its field's bit (0: not one of the record's). A key as station-decode
// writes it is read where it stands; any other is unescaped first, as it may spell a field's
// name with escapes.
simdjson::error_code keyBit(simdjson::ondemand::field &field, unsigned &bit) {
    bit = writtenFieldBit(field.key().raw());
    if (bit != 0) {
        return simdjson::SUCCESS;
    }
    std::string_view key;
    simdjson::error_code error = field.unescaped_key().get(key);
    bit = fieldBit(key);
    return error;
}

// Every field of the record line is read, by its name.
constexpr bool readsEveryField() {
    for (const RecordFieldInfo &f : kRecordFields) {
        // cppcheck-suppress useStlAlgorithm ; std::any_of is no constexpr before C++20
        if (fieldBit(f.name) != bitOf(f.field)) {
            return false;
        }
    }
    return true;
}
static_assert(readsEveryField(), "fieldBit() knows every field of the record line");

// A JSON line's fields as read, before they are checked.
struct JsonFields {
    std::string_view from;
    std::string_view apmac;
    std::string_view mumac;
    int64_t record = -1;
    double received = -1;
    int64_t timestamp = 0;
    int64_t rssi = 0;
    int64_t channel = 0;
    int64_t assoc = 0;
    unsigned seen = 0;  // fields present
    unsigned wrong = 0; // fields present with a value of another type or out of range
};

// Reads one known field's value into f.
simdjson::error_code readField(unsigned bit, value &v, JsonFields &f) {
    switch (bit) {
    case kFrom:
        return v.get_string().get(f.from);
    case kApmac:
        return v.get_string().get(f.apmac);
    case kMumac:
        return v.get_string().get(f.mumac);
    case kRecord:
        return v.get_int64().get(f.record);
    case kReceived:
        return v.get_double().get(f.received);
    case kTimestamp:
        return v.get_int64().get(f.timestamp);
    case kRssi:
        return v.get_int64().get(f.rssi);
    case kChannel:
        return v.get_int64().get(f.channel);
    case kAssoc:
        return v.get_int64().get(f.assoc);
    default:
        return simdjson::INCORRECT_TYPE;
    }
}

// Reads every field, in any order; nullptr, or why the line is refused. A known field named
// twice refuses the line: JSON leaves open which one counts.
const char *readFields(simdjson::ondemand::document &doc, JsonFields &f) {
    simdjson::ondemand::object object;
    if (doc.get_object().get(object) != simdjson::SUCCESS) {
        return "not a JSON object";
    }
    for (auto item : object) {
        simdjson::ondemand::field field;
        unsigned bit = 0;
        if (std::move(item).get(field) != simdjson::SUCCESS ||
            keyBit(field, bit) != simdjson::SUCCESS) {
            return "not a JSON object";
        }
        if ((f.seen & bit) != 0) {
            return "a field given twice";
        }
        f.seen |= bit;
        value &v = field.value();
        simdjson::error_code error = readField(bit, v, f);
        if (error != simdjson::SUCCESS) {
            f.wrong |= bit;
            // Another type is read as what it is; a number or text that does not parse
            // is one token, which leaves the rest of the line as readable as before.
            error = error == simdjson::INCORRECT_TYPE ? skipValue(v) : simdjson::SUCCESS;
        }
        if (error != simdjson::SUCCESS) {
            return "not a JSON object";
        }
    }
    // Nothing may follow the object.
    return doc.current_location().error() == simdjson::OUT_OF_BOUNDS ? nullptr
                                                                     : "not a JSON object";
}

} // namespace

// Fields in any order, unknown ones read and skipped: station-decode adds new columns at the
// end.
static Parsed parseJson(std::string_view line, Sighting &s, std::string &why) {
    // simdjson reads past the end of what it parses: a copy with the padding it needs.
    static char copy[kMaxLine + simdjson::SIMDJSON_PADDING];
    if (line.size() > kMaxLine) {
        return refuse(why, "line too long");
    }
    std::memcpy(copy, line.data(), line.size());
    static simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc;
    JsonFields f;
    if (parser.iterate(copy, line.size(), sizeof copy).get(doc) != simdjson::SUCCESS) {
        return refuse(why, "not a JSON object");
    }
    if (const char *bad = readFields(doc, f)) {
        return refuse(why, bad);
    }
    if ((f.wrong & kFrom) != 0) {
        return refuse(why, "bad text");
    }
    if ((f.wrong & (kRecord | kReceived)) != 0) {
        return refuse(why, "bad number");
    }
    if ((f.seen & (kFrom | kRecord | kReceived)) != (kFrom | kRecord | kReceived)) {
        return refuse(why, "no from, record or received");
    }
    if (!receivedInRange(f.received)) {
        return refuse(why, "received out of range");
    }
    if (!takeSender(f.from, s)) {
        return refuse(why, "bad from");
    }
    s.received = std::llround(f.received * 1000);
    constexpr unsigned kRecordFields = kApmac | kMumac | kTimestamp | kRssi | kChannel | kAssoc;
    if (f.record != 0) {
        if ((f.wrong & (kApmac | kMumac)) != 0) {
            return refuse(why, "bad text");
        }
        if ((f.wrong & kRecordFields) != 0 || (f.seen & kRecordFields) != kRecordFields) {
            return refuse(why, "bad number");
        }
    }
    s.timestamp = f.timestamp;
    s.rssi = f.rssi < -128 || f.rssi > 127 ? 1000 : static_cast<int>(f.rssi);
    const char *bad = checkRecord(s, f.record, f.record == 0 ? 0 : parseMac(f.apmac),
                                  f.record == 0 ? 0 : parseMac(f.mumac), f.channel, f.assoc);
    return bad == nullptr ? Parsed::Sighting : refuse(why, bad);
}

// The CSV header, or one with more columns after ours.
static bool isHeader(std::string_view line) {
    static const std::string_view header(csvHeader().data(), csvHeader().size() - 1);
    return line.substr(0, header.size()) == header;
}

static Parsed parse(std::string_view line, Sighting &s, std::string &why, bool quick) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.empty() || ((line.front() == ' ' || line.front() == '\t') &&
                         line.find_first_not_of(" \t") == std::string_view::npos)) {
        return Parsed::Skip;
    }
    // The address's buffer is kept: most lines have the last one's.
    std::string address = std::move(s.address);
    s = Sighting();
    s.address = std::move(address);
    Parsed parsed;
    if (line.front() == '{') {
        parsed = parseJson(line, s, why);
    } else if (line.front() == recordFieldName(RecordField::From)[0] && isHeader(line)) {
        parsed = Parsed::Skip;
    } else {
        parsed = parseCsv(line, s, why, quick);
    }
    if (parsed != Parsed::Sighting) {
        s.address.clear();
    }
    return parsed;
}

Parsed parseLine(std::string_view line, Sighting &s, std::string &why) {
    return parse(line, s, why, true);
}

Parsed parseLineCarefully(std::string_view line, Sighting &s, std::string &why) {
    return parse(line, s, why, false);
}

} // namespace presence
