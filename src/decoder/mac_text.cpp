#include "mac_text.h"

#include <array>
#include <cstring>

namespace {

// Eight hex digits (either case) read together, the first the most significant; -1 when any
// is not one. A line's two addresses are read for every record. Each byte is checked to be
// below 0x80 first, so adding less than 0x80 to it carries into its own top bit only.
int64_t hex8(const char *at) {
    constexpr uint64_t kOnes = 0x0101010101010101;
    constexpr uint64_t kTops = 0x80 * kOnes;
    const uint64_t x = littleEndian8(at);
    const uint64_t lower = x | 0x20 * kOnes; // letters in lower case, digits as they are
    // Each byte's top bit: whether the byte is at least c.
    auto atLeast = [](uint64_t v, unsigned c) { return v + (0x80 - c) * kOnes; };
    const uint64_t digit = atLeast(x, '0') & ~atLeast(x, '9' + 1);
    const uint64_t letter = atLeast(lower, 'a') & ~atLeast(lower, 'f' + 1);
    if ((x & kTops) != 0 || ((digit | letter) & kTops) != kTops) {
        return -1;
    }
    // Each byte's value; then each pair of bytes one byte, the first digit high; then each
    // pair of those, the first high; then the two halves.
    uint64_t v = (lower & 0x0F * kOnes) + ((letter & kTops) >> 7) * 9;
    v = (v & 0x000F000F000F000F) << 4 | (v & 0x0F000F000F000F00) >> 8;
    v = (v & 0x000000FF000000FF) << 8 | (v & 0x00FF000000FF0000) >> 16;
    return static_cast<int64_t>((v & 0xFFFF) << 16 | (v >> 32 & 0xFFFF));
}

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
    // Digits 0-7, then 4-11.
    const int64_t high = hex8(text.data());
    const int64_t low = hex8(text.data() + 4);
    return high < 0 || low < 0 ? -1 : high << 16 | (low & 0xFFFF);
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
