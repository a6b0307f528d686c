#include <stdio.h>

#include "report_sender.h"

namespace {

constexpr int BYTES_PER_LINE = 16;
// Three characters a byte and a newline a line; a whole report fits in one chunk.
constexpr int CHUNK_BYTES = MAX_REPORT_SIZE;
constexpr int CHUNK_CAPACITY = CHUNK_BYTES * 3 + CHUNK_BYTES / BYTES_PER_LINE + 1;

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

} // namespace

void hexDump(const uint8_t *bytes, int length) {
    // Formatted by hand and written in one go: the same text as "%02X " a byte,
    // at a fraction of the cost.
    char text[CHUNK_CAPACITY];
    int used = 0;
    fputs("---\n", stdout);
    for (int i = 0; i < length; ++i) {
        text[used++] = HEX_DIGITS[bytes[i] >> 4];
        text[used++] = HEX_DIGITS[bytes[i] & 0x0F];
        text[used++] = ' ';
        if ((i + 1) % BYTES_PER_LINE == 0) {
            text[used++] = '\n';
        }
        if ((i + 1) % CHUNK_BYTES == 0) {
            fwrite(text, 1, static_cast<size_t>(used), stdout);
            used = 0;
        }
    }
    fwrite(text, 1, static_cast<size_t>(used), stdout);
    fputs("\n+++\n", stdout);
}
