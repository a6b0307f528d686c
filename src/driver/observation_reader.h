// Observation lines from standard input: reading them one at a time without reading past
// the last one used, and checking each against the one accepted form.
#pragma once

#include <stdint.h>

#include "report_format.h"

// The longest line kept, and its terminator; a valid observation needs at most 85.
constexpr int LINE_CAPACITY = 256;
constexpr int READ_AHEAD = 4096;

struct Observation {
    char apmac[MAC_TEXT_LENGTH + 1];
    char mumac[MAC_TEXT_LENGTH + 1];
    uint8_t apMac[MAC_SIZE]; // the texts' bytes
    uint8_t muMac[MAC_SIZE];
    int32_t timestamp;
    int32_t rssi;
    int32_t channel;
    int32_t rate;
    int32_t assoc;
};

// Checks one line (without its newline) against the form
//   [ws] apmac , mumac , [ws]timestamp , [ws]rssi , [ws]channel , [ws]rate , [ws]assoc [ws]
// with MACs of exactly 12 hex digits and numbers that fit int32. Returns 0 and fills out
// when it matches; returns -1 and leaves out untouched otherwise.
[[nodiscard]] int parseObservation(const char *line, Observation &out);

// Nothing past the last line used is taken from the input, whatever it is. A seekable input
// is read in blocks and the unused rest handed back at the end. A pipe is looked into with
// tee(2), which copies what waits in it into a private pipe without taking it; then exactly
// the bytes of the lines used are read from it. Anything else (a terminal, a socket) is read
// a byte at a time.
struct InputReader {
    int fd;
    bool seekable;
    int peek[2]; // the private pipe, read end first; peek[0] is -1 when not looking ahead
    bool atEnd;
    bool failed; // a read failed: the end of input came early
    int start;
    int end;
    char buffer[READ_AHEAD];
};

void initInputReader(InputReader &reader, int fd);

enum class NextLine { Observation, Malformed, End, Failed };

// Reads lines, skipping blank ones, until one that is an observation (filled into out)
// or malformed, or until the end of input (Failed when a read failed rather than found the
// end). lineNumber counts every line read, from 1.
NextLine nextObservation(InputReader &reader, Observation &out, int &lineNumber);

// Leaves the input just after the last line read, so that whoever reads the descriptor next
// starts there.
void releaseUnread(InputReader &reader);
