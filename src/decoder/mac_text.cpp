#include "mac_text.h"

#include <array>

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
