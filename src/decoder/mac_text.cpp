#include "mac_text.h"

#include <array>
#include <cstring>

namespace {

// Each byte's hex value, or -1: a line's two addresses are read for every record.
constexpr std::array<int16_t, 256> kHexDigit = [] {
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

// "00" to "FF": a MAC is written a byte at a time.
constexpr std::array<char, 512> kHexPairs = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<char, 512> pairs{};
    for (std::size_t i = 0; i < 256; ++i) {
        pairs.at(2 * i) = digits[i >> 4];
        pairs.at(2 * i + 1) = digits[i & 0xF];
    }
    return pairs;
}();

void putHexPair(char *out, std::size_t byte) {
    memcpy(out, &kHexPairs[2 * byte], 2);
}

} // namespace

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
    for (std::size_t i = 0; i < 6; ++i) {
        putHexPair(out + 2 * i, (mac >> (40 - 8 * i)) & 0xFF);
    }
    return out + 12;
}

char *putMacText(char *out, const uint8_t *bytes) {
    for (std::size_t i = 0; i < 6; ++i) {
        putHexPair(out + 2 * i, bytes[i]);
    }
    return out + 12;
}

std::string macText(uint64_t mac) {
    std::string text(12, '0');
    putMacText(text.data(), mac);
    return text;
}
