// What a run decoded, printed and refused, and the one step every datagram takes.
#pragma once

#include <string>

#include "output.h"

struct Tally {
    long reports = 0;
    long records = 0;
    long refused = 0;
};

// Decodes one datagram into out, or says on stderr why it was refused; where names the
// datagram there, from its sender in the output.
void decodeOne(const uint8_t *bytes, int length, const std::string &from, const std::string &where,
               Output &out, Tally &tally);

void printSummary(const Tally &tally);

// A reader that went away ends the run: there is nobody left to decode for. Returns the exit
// status.
int outputFailed(const Tally &tally);
