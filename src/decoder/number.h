// A number given on the command line or in an address: what the option parser and the address
// parser share; and numbers written as decimal text, which every output line is full of.
#pragma once

#include <cstdint>

// Decimal digits only, within 0..limit. Returns -1 otherwise.
long parseNumber(const char *text, long limit);

// value in decimal at out (at most 20 characters). Returns the end.
char *putDecimal(char *out, uint64_t value);
// The same with a sign when negative (at most 11 characters).
char *putSignedDecimal(char *out, int32_t value);
