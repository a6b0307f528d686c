#include <stdio.h>
#include <string.h>

#include "hex_dump.h"
#include "report_format.h"

namespace {

constexpr int BYTES_PER_LINE = 16;
// Three characters a byte and a newline a line.
constexpr int LINE_CHARS = BYTES_PER_LINE * 3 + 1;
// Room for the dump of the largest report and the lines around it.
constexpr int TEXT_CAPACITY = (MAX_REPORT_SIZE / BYTES_PER_LINE + 3) * LINE_CHARS;
static_assert(4 + MAX_REPORT_SIZE / BYTES_PER_LINE * LINE_CHARS +
                      MAX_REPORT_SIZE % BYTES_PER_LINE * 3 + 5 <=
                  TEXT_CAPACITY,
              "the largest report's dump is written in one go");

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

} // namespace

void hexDump(const uint8_t *bytes, int length) {
    // Formatted by hand: the same text as printf("%02X ") a byte, at a fraction of the cost.
    char text[TEXT_CAPACITY];
    if (length > MAX_REPORT_SIZE) {
        length = MAX_REPORT_SIZE;
    }
    // The dump is written by length, never read as a C string.
    memcpy(text, "---\n", 4); // NOLINT(bugprone-not-null-terminated-result)
    char *out = text + 4;
    for (int lineStart = 0; lineStart < length; lineStart += BYTES_PER_LINE) {
        int count = length - lineStart;
        if (count > BYTES_PER_LINE) {
            count = BYTES_PER_LINE;
        }
        for (const uint8_t *b = bytes + lineStart; b < bytes + lineStart + count; ++b) {
            out[0] = HEX_DIGITS[*b >> 4];
            out[1] = HEX_DIGITS[*b & 0x0F];
            out[2] = ' ';
            out += 3;
        }
        // Only full lines end here; the last, shorter one is ended below.
        if (count == BYTES_PER_LINE) {
            *out++ = '\n';
        }
    }
    memcpy(out, "\n+++\n", 5);
    fwrite(text, 1, static_cast<size_t>(out + 5 - text), stdout);
}
