// parseMac converts exactly the digit pairs before the first bad digit, never writes past
// the byte it failed on and never reads past the terminator (the text is an exact-size
// heap copy, so AddressSanitizer sees any such read).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "report_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t length = strnlen(reinterpret_cast<const char *>(data), size);
    std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), data, length);
    text[length] = '\0';

    uint8_t out[MAC_SIZE];
    std::memset(out, 0xEE, sizeof out);
    int result = parseMac(text.get(), out);

    size_t good = 0; // leading hex digits among the first 12 characters
    while (good < 12 && good < length && hexNibble(text[good]) >= 0) {
        ++good;
    }
    if ((result == 0) != (good == 12)) {
        abort();
    }
    for (size_t i = 0; i < MAC_SIZE; ++i) {
        int expected =
            2 * i + 1 < good ? hexNibble(text[2 * i]) * 16 + hexNibble(text[2 * i + 1]) : 0xEE;
        if (out[i] != expected) {
            abort();
        }
    }
    return 0;
}
