#include "number.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// "00" to "99": numbers are written two digits at a time.
constexpr std::array<char, 200> kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs.at(2 * i) = static_cast<char>('0' + i / 10);
        pairs.at(2 * i + 1) = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

int decimalLength(uint64_t value) {
    int length = 1;
    for (uint64_t bound = 10; length < 20 && value >= bound; bound *= 10) {
        ++length;
    }
    return length;
}

} // namespace

long parseNumber(const char *text, long limit) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 10) {
        return -1;
    }
    long value = strtol(text, nullptr, 10);
    return value <= limit ? value : -1;
}

char *putDecimal(char *out, uint64_t value) {
    char *end = out + decimalLength(value);
    char *p = end;
    while (value >= 100) {
        const uint64_t rest = value / 100;
        p -= 2;
        memcpy(p, &kDigitPairs[2 * (value - rest * 100)], 2);
        value = rest;
    }
    if (value >= 10) {
        memcpy(p - 2, &kDigitPairs[2 * value], 2);
    } else {
        p[-1] = static_cast<char>('0' + value);
    }
    return end;
}

char *putSignedDecimal(char *out, int32_t value) {
    if (value < 0) {
        *out++ = '-';
        return putDecimal(out, 0U - static_cast<uint32_t>(value));
    }
    return putDecimal(out, static_cast<uint32_t>(value));
}
