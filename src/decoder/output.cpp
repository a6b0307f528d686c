#include "output.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

char *put(char *at, const std::string &text) {
    return at + text.copy(at, text.size());
}

template <size_t N> char *put(char *at, const char (&literal)[N]) {
    memcpy(at, literal, N - 1);
    return at + N - 1;
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

// 12 upper-case hex digits.
char *putMac(char *at, const uint8_t (&mac)[MAC_SIZE]) {
    for (uint8_t byte : mac) {
        *at++ = HEX_DIGITS[byte >> 4];
        *at++ = HEX_DIGITS[byte & 0x0F];
    }
    return at;
}

char *putCsv(char *p, const std::string &from, int number, const DecodedRecord &r) {
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
    *p++ = '\n';
    return p;
}

char *putJson(char *p, const std::string &from, int number, const DecodedRecord &r) {
    p = put(p, "{\"from\":\"");
    p = put(p, from);
    p = put(p, "\",\"record\":");
    p = putInt(p, number);
    p = put(p, ",\"apmac\":\"");
    p = putMac(p, r.apmac);
    p = put(p, "\",\"mumac\":\"");
    p = putMac(p, r.mumac);
    p = put(p, "\",\"timestamp\":");
    p = putInt(p, r.timestamp);
    p = put(p, ",\"rssi\":");
    p = putInt(p, r.rssi);
    p = put(p, ",\"channel\":");
    p = putInt(p, r.channel);
    p = put(p, ",\"assoc\":");
    p = putInt(p, r.assoc);
    return put(p, "}\n");
}

} // namespace

char *Output::reserve(size_t lines, size_t fromLength) {
    size_t need = used_ + lines * (LINE + fromLength);
    if (need > text_.size()) {
        text_.resize(need * 2);
    }
    return text_.data() + used_;
}

void Output::appendRecords(const DecodedReport &report, const std::string &from) {
    char *p = reserve(static_cast<size_t>(report.count), from.size());
    for (int i = 0; i < report.count; ++i) {
        p = json_ ? putJson(p, from, i + 1, report.records[i])
                  : putCsv(p, from, i + 1, report.records[i]);
    }
    used_ = static_cast<size_t>(p - text_.data());
}

void Output::appendText(const std::string &text) {
    char *p = put(reserve(1, text.size()), text);
    used_ = static_cast<size_t>(p - text_.data());
}

// Best-effort: a reader that went away is noticed by the caller through the status.
bool Output::flush() {
    bool ok = used_ == 0 || fwrite(text_.data(), 1, used_, stdout) == used_;
    used_ = 0;
    return fflush(stdout) == 0 && ok;
}
