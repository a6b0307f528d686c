#include <stdio.h>

#include "report_sender.h"

namespace {

constexpr int BYTES_PER_LINE = 16;
// Three characters a byte and a newline a line.
constexpr int LINE_CHARS = BYTES_PER_LINE * 3 + 1;
// Room for a whole report's dump, so a report is written in one go.
constexpr int TEXT_CAPACITY = (MAX_REPORT_SIZE / BYTES_PER_LINE + 1) * LINE_CHARS;

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

} // namespace

void hexDump(const uint8_t *bytes, int length) {
    // Formatted by hand: the same text as printf("%02X ") a byte, at a fraction of the cost.
    char text[TEXT_CAPACITY];
    int used = 0;
    fwrite("---\n", 1, 4, stdout);
    for (int lineStart = 0; lineStart < length; lineStart += BYTES_PER_LINE) {
        if (used > TEXT_CAPACITY - LINE_CHARS) {
            fwrite(text, 1, static_cast<size_t>(used), stdout);
            used = 0;
        }
        int lineEnd = length - lineStart < BYTES_PER_LINE ? length : lineStart + BYTES_PER_LINE;
        for (int i = lineStart; i < lineEnd; ++i) {
            text[used] = HEX_DIGITS[bytes[i] >> 4];
            text[used + 1] = HEX_DIGITS[bytes[i] & 0x0F];
            text[used + 2] = ' ';
            used += 3;
        }
        // Only full lines end here; the last, shorter one is ended below.
        if (lineEnd - lineStart == BYTES_PER_LINE) {
            text[used++] = '\n';
        }
    }
    if (used > 0) {
        fwrite(text, 1, static_cast<size_t>(used), stdout);
    }
    fwrite("\n+++\n", 1, 5, stdout);
}
