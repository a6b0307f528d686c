// The report as text on standard output, for whoever watches the device.
#pragma once

#include <stdint.h>

// Writes bytes to stdout as upper-case hex, 16 bytes a line, between a "---" and a
// "+++" line, in one write. A length of 0 or less gives only those two lines and an empty
// one; bytes beyond the largest report are left out.
void hexDump(const uint8_t *bytes, int length);
