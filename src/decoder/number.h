// A number given on the command line or in an address: what the option parser and the address
// parser share.
#pragma once

// Decimal digits only, within 0..limit. Returns -1 otherwise.
long parseNumber(const char *text, long limit);
