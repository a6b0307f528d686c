#include "output.h"

#include "mac_text.h"
#include "record_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char *put(char *at, const std::string &text) {
    return at + text.copy(at, text.size());
}

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

char *putInt(char *at, int32_t value) {
    char digits[12];
    char *end = digits + sizeof digits;
    char *p = end;
    uint32_t magnitude =
        value < 0 ? 0U - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *at++ = '-';
    }
    memcpy(at, p, static_cast<size_t>(end - p));
    return at + (end - p);
}

// 12 upper-case hex digits, as station-presence writes them too.
char *putMac(char *at, const uint8_t (&mac)[MAC_SIZE]) {
    const uint64_t value = std::accumulate(std::begin(mac), std::end(mac), uint64_t{0},
                                           [](uint64_t v, uint8_t byte) { return v << 8 | byte; });
    return putMacText(at, value);
}

char *putCsv(char *p, const std::string &from, int number, const DecodedRecord &r,
             const ReceivedText &received) {
    p = put(p, from);
    *p++ = ',';
    p = putInt(p, number);
    *p++ = ',';
    p = putMac(p, r.apmac);
    *p++ = ',';
    p = putMac(p, r.mumac);
    *p++ = ',';
    p = putInt(p, r.timestamp);
    *p++ = ',';
    p = putInt(p, r.rssi);
    *p++ = ',';
    p = putInt(p, r.channel);
    *p++ = ',';
    p = putInt(p, r.assoc);
    *p++ = ',';
    p = put(p, received);
    *p++ = '\n';
    return p;
}

char *putJson(char *p, const std::string &from, int number, const DecodedRecord &r,
              const ReceivedText &received) {
    const JsonKeys &key = jsonKeys();
    p = put(p, key[static_cast<int>(RecordField::From)]);
    p = put(p, from);
    p = put(p, key[static_cast<int>(RecordField::Record)]);
    p = putInt(p, number);
    p = put(p, key[static_cast<int>(RecordField::Apmac)]);
    p = putMac(p, r.apmac);
    p = put(p, key[static_cast<int>(RecordField::Mumac)]);
    p = putMac(p, r.mumac);
    p = put(p, key[static_cast<int>(RecordField::Timestamp)]);
    p = putInt(p, r.timestamp);
    p = put(p, key[static_cast<int>(RecordField::Rssi)]);
    p = putInt(p, r.rssi);
    p = put(p, key[static_cast<int>(RecordField::Channel)]);
    p = putInt(p, r.channel);
    p = put(p, key[static_cast<int>(RecordField::Assoc)]);
    p = putInt(p, r.assoc);
    p = put(p, key[static_cast<int>(RecordField::Received)]);
    p = put(p, received);
    return put(p, jsonLineEnd());
}

// The line of a report without records: its sender, record 0 and when it came.
char *putHeartbeat(char *p, bool json, const std::string &from, const ReceivedText &received) {
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
    int length = snprintf(received.text, sizeof received.text, "%lld.%03ld",
                          static_cast<long long>(when.tv_sec), when.tv_nsec / 1000000);
    received.length = static_cast<size_t>(std::max(length, 0));
    return received;
}

char *Output::reserve(size_t lines, size_t fromLength) {
    size_t need = used_ + lines * (LINE + fromLength);
    if (need > text_.size()) {
        text_.resize(need * 2);
    }
    return text_.data() + used_;
}

void Output::mark(const char *end, int records) {
    used_ = static_cast<size_t>(end - text_.data());
    marks_.push_back({used_, records});
}

void Output::appendHeader() {
    if (!json_) {
        mark(put(reserve(1, 0), csvHeader()), 0);
    }
}

void Output::appendReport(const DecodedReport &report, const std::string &from,
                          const ReceivedText &received) {
    if (report.count == 0) {
        if (heartbeats_) {
            mark(putHeartbeat(reserve(1, from.size()), json_, from, received), 0);
        }
        return;
    }
    char *p = reserve(static_cast<size_t>(report.count), from.size());
    for (int i = 0; i < report.count; ++i) {
        p = json_ ? putJson(p, from, i + 1, report.records[i], received)
                  : putCsv(p, from, i + 1, report.records[i], received);
    }
    mark(p, report.count);
}

// Counts the records of the first done bytes as written, the others as lost.
void Output::settle(size_t done, bool failed) {
    size_t start = 0;
    for (const Mark &m : marks_) {
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
    marks_.clear();
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
