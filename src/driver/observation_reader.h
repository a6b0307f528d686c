// Observation lines from standard input: reading them one at a time without reading past
// the last one used, and checking each against the one accepted form.
#pragma once

#include <stdint.h>

constexpr int MAC_TEXT_LENGTH = 12;
// The longest line kept, and its terminator; a valid observation needs at most 85.
constexpr int LINE_CAPACITY = 256;
constexpr int READ_AHEAD = 4096;

struct Observation {
    char apmac[MAC_TEXT_LENGTH + 1];
    char mumac[MAC_TEXT_LENGTH + 1];
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

struct InputReader {
    int fd;
    // A seekable input is read in blocks and the unused rest handed back at the end;
    // anything else is read a byte at a time so nothing past the last line is taken.
    bool seekable;
    bool atEnd;
    int start;
    int end;
    char buffer[READ_AHEAD];
};

void initInputReader(InputReader &reader, int fd);

enum class NextLine { Observation, Malformed, End };

// Reads lines, skipping blank ones, until one that is an observation (filled into out)
// or malformed, or until the end of input. lineNumber counts every line read, from 1.
NextLine nextObservation(InputReader &reader, Observation &out, int &lineNumber);

// Moves a seekable input back to just after the last line read, so that whoever reads
// the descriptor next starts there.
void releaseUnread(InputReader &reader);
