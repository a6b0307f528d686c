// A MAC address as the record lines write it: 12 upper-case hex digits. station-decode writes
// them, station-presence reads and writes them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// Eight bytes of text as one number, the first byte lowest whatever the host's byte order:
// the readers of record lines look at eight bytes at once.
inline uint64_t littleEndian8(const char *at) {
    uint64_t x = 0;
    std::memcpy(&x, at, sizeof x);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    return x;
}

// 12 hex digits (either case) as a number, or -1.
int64_t parseMac(std::string_view text);
// The 12 upper-case hex digits of mac, at out (returns the end) or as a string.
char *putMacText(char *out, uint64_t mac);
// The same of the six bytes at bytes, the first byte's digits first.
char *putMacText(char *out, const uint8_t *bytes);
std::string macText(uint64_t mac);
