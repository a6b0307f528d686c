#include "output.h"

#include "address.h"
#include "mac_text.h"
#include "number.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char *put(char *at, std::string_view text) {
    return at + text.copy(at, text.size());
}

template <size_t N> char *put(char *at, const char (&literal)[N]) {
    memcpy(at, literal, N - 1);
    return at + N - 1;
}

char *put(char *at, const ReceivedText &received) {
    memcpy(at, received.text, received.length);
    return at + received.length;
}

template <size_t N> char *put(char *at, const Padded<N> &text) {
    memcpy(at, text.text, N);
    return at + text.length;
}

template <size_t N> void assign(Padded<N> &to, const char *end) {
    to.length = static_cast<size_t>(end - to.text);
}

// 0 to 255, each in four bytes: the one-byte fields and the record numbers are looked up.
struct SmallNumber {
    // cppcheck-suppress unusedStructMember
    char text[3];
    uint8_t length;
};
constexpr std::array<SmallNumber, 256> kSmallNumbers = [] {
    std::array<SmallNumber, 256> numbers{};
    for (unsigned n = 0; n < 256; ++n) {
        SmallNumber &s = numbers.at(n);
        unsigned digits = n >= 100 ? 3 : n >= 10 ? 2 : 1;
        for (unsigned i = 0, rest = n; i < digits; ++i, rest /= 10) {
            s.text[digits - 1 - i] = static_cast<char>('0' + rest % 10);
        }
        s.length = static_cast<uint8_t>(digits);
    }
    return numbers;
}();

// value, 0 to 255; the byte after its digits is overwritten.
char *putSmall(char *at, int32_t value) {
    const SmallNumber &n = kSmallNumbers[static_cast<uint8_t>(value)];
    memcpy(at, &n, sizeof n);
    return at + n.length;
}

// -128 to 127.
char *putRssi(char *at, int32_t rssi) {
    if (rssi < 0) {
        *at++ = '-';
        rssi = -rssi;
    }
    return putSmall(at, rssi);
}

// The line of a report without records: its sender, record 0 and when it came.
char *putHeartbeat(char *p, bool json, std::string_view from, const ReceivedText &received) {
    if (json) {
        const JsonKeys &key = jsonKeys();
        p = put(p, key[static_cast<int>(RecordField::From)]);
        p = put(p, from);
        p = put(p, key[static_cast<int>(RecordField::Record)]);
        p = put(p, "0");
        p = put(p, key[static_cast<int>(RecordField::Received)]);
        p = put(p, received);
        return put(p, jsonLineEnd());
    }
    static_assert(kRecordFieldCount == 9, "a heartbeat leaves the seven fields between empty");
    p = put(p, from);
    p = put(p, ",0,,,,,,,");
    p = put(p, received);
    *p++ = '\n';
    return p;
}

class StandardOutput : public Destination {
  public:
    ssize_t write(const char *text, size_t length) override {
        return ::write(STDOUT_FILENO, text, length);
    }
    // A line cut short by a failed write to a regular file is taken off again (best-effort).
    void cutOff(size_t bytes) override {
        struct stat status {};
        if (fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode)) {
            off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
            if (end >= static_cast<off_t>(bytes) &&
                ftruncate(STDOUT_FILENO, end - static_cast<off_t>(bytes)) == 0) {
                lseek(STDOUT_FILENO, end - static_cast<off_t>(bytes), SEEK_SET);
            }
        }
    }
};

} // namespace

Destination &standardOutput() {
    static StandardOutput out;
    return out;
}

ReceivedText receivedText(const timespec &when) {
    ReceivedText received{};
    char *p = received.text;
    if (when.tv_sec < 0) {
        *p++ = '-';
    }
    p = putDecimal(p, static_cast<uint64_t>(when.tv_sec < 0 ? -when.tv_sec : when.tv_sec));
    const auto ms = static_cast<int32_t>(when.tv_nsec / 1000000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + ms / 100);
    *p++ = static_cast<char>('0' + ms / 10 % 10);
    *p++ = static_cast<char>('0' + ms % 10);
    received.length = static_cast<size_t>(p - received.text);
    return received;
}

Output::Output(bool json, bool heartbeats, Destination &to)
    : json_(json), heartbeats_(heartbeats), to_(to) {
    for (size_t i = 0; i < kRecordFieldCount; ++i) {
        std::string_view key = jsonKeys()[i];
        assign(keys_[i], put(keys_[i].text, key.substr(0, sizeof keys_[i].text)));
    }
    assign(apmacText_, putMacText(apmacText_.text, apmac_));
    assign(timestampText_, putSignedDecimal(timestampText_.text, timestamp_));
}

char *Output::reserve(size_t lines, size_t fromLength) {
    size_t need = used_ + lines * (LINE + fromLength) + SLACK;
    if (need > text_.size()) {
        text_.resize(need * 2);
    }
    return text_.data() + used_;
}

void Output::mark(const char *end, int records) {
    used_ = static_cast<size_t>(end - text_.data());
    if (marked_ == marks_.size()) {
        marks_.resize(marks_.size() * 2);
    }
    marks_[marked_++] = {used_, records};
}

void Output::appendHeader() {
    if (!json_) {
        mark(put(reserve(1, 0), csvHeader()), 0);
    }
}

void Output::frame(std::string_view from, const ReceivedText &received) {
    static_assert(sizeof start_.text >= ADDRESS_TEXT_SIZE + 20, "room for a sender and its keys");
    from = from.substr(0, ADDRESS_TEXT_SIZE);
    char *p = start_.text;
    char *q = end_.text;
    if (json_) {
        p = put(p, jsonKeys()[static_cast<int>(RecordField::From)]);
        p = put(p, from);
        p = put(p, jsonKeys()[static_cast<int>(RecordField::Record)]);
        q = put(q, jsonKeys()[static_cast<int>(RecordField::Received)]);
        q = put(q, received);
        q = put(q, jsonLineEnd());
    } else {
        p = put(p, from);
        *p++ = ',';
        *q++ = ',';
        q = put(q, received);
        *q++ = '\n';
    }
    assign(start_, p);
    assign(end_, q);
}

const Padded<16> &Output::apmacText(const uint8_t (&apmac)[MAC_SIZE]) {
    if (memcmp(apmac, apmac_, MAC_SIZE) != 0) {
        memcpy(apmac_, apmac, MAC_SIZE);
        assign(apmacText_, putMacText(apmacText_.text, apmac));
    }
    return apmacText_;
}

const Padded<16> &Output::timestampText(int32_t timestamp) {
    if (timestamp != timestamp_) {
        timestamp_ = timestamp;
        assign(timestampText_, putSignedDecimal(timestampText_.text, timestamp));
    }
    return timestampText_;
}

char *Output::putCsv(char *p, int number, const DecodedRecord &r) {
    p = put(p, start_);
    p = putSmall(p, number);
    *p++ = ',';
    p = put(p, apmacText(r.apmac));
    *p++ = ',';
    p = putMacText(p, r.mumac);
    *p++ = ',';
    p = put(p, timestampText(r.timestamp));
    *p++ = ',';
    p = putRssi(p, r.rssi);
    *p++ = ',';
    p = putSmall(p, r.channel);
    *p++ = ',';
    p = putSmall(p, r.assoc);
    return put(p, end_);
}

char *Output::putJson(char *p, int number, const DecodedRecord &r) {
    const auto key = [this](RecordField f) -> const Padded<16> & {
        return keys_[static_cast<int>(f)];
    };
    p = put(p, start_);
    p = putSmall(p, number);
    p = put(p, key(RecordField::Apmac));
    p = put(p, apmacText(r.apmac));
    p = put(p, key(RecordField::Mumac));
    p = putMacText(p, r.mumac);
    p = put(p, key(RecordField::Timestamp));
    p = put(p, timestampText(r.timestamp));
    p = put(p, key(RecordField::Rssi));
    p = putRssi(p, r.rssi);
    p = put(p, key(RecordField::Channel));
    p = putSmall(p, r.channel);
    p = put(p, key(RecordField::Assoc));
    p = putSmall(p, r.assoc);
    return put(p, end_);
}

void Output::appendReport(const DecodedReport &report, std::string_view from,
                          const ReceivedText &received) {
    if (report.count == 0) {
        if (heartbeats_) {
            mark(putHeartbeat(reserve(1, from.size()), json_, from, received), 0);
        }
        return;
    }
    frame(from, received);
    char *p = reserve(static_cast<size_t>(report.count), from.size());
    for (int i = 0; i < report.count; ++i) {
        p = json_ ? putJson(p, i + 1, report.records[i]) : putCsv(p, i + 1, report.records[i]);
    }
    mark(p, report.count);
}

// Counts the records of the first done bytes as written, the others as lost.
void Output::settle(size_t done, bool failed) {
    size_t start = 0;
    for (size_t i = 0; i < marked_; ++i) {
        const Mark &m = marks_[i];
        if (m.end <= done) {
            written_ += m.records;
        } else {
            long whole = m.records == 0 || start >= done
                             ? 0
                             : std::count(text_.data() + start, text_.data() + done, '\n');
            written_ += whole;
            lost_ += m.records - whole;
        }
        start = m.end;
    }
    if (failed && done > 0 && text_[done - 1] != '\n') {
        const char *lineEnd = text_.data() + done;
        const char *lineStart = lineEnd;
        while (lineStart > text_.data() && lineStart[-1] != '\n') {
            --lineStart;
        }
        to_.cutOff(static_cast<size_t>(lineEnd - lineStart));
    }
    marked_ = 0;
    used_ = 0;
}

bool Output::flush(Interruption *interruption) {
    size_t done = 0;
    while (done < used_) {
        ssize_t n = to_.write(text_.data() + done, used_ - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR ||
                   (interruption != nullptr && interruption->giveUp())) {
            int error = n == 0 ? EIO : errno;
            settle(done, true);
            errno = error;
            return false;
        }
    }
    settle(done, false);
    return true;
}
