// What a run received, printed, refused and lost, by sender and in all; the statistics and
// summary lines that tell it; and the one step every datagram takes.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "address.h"
#include "output.h"

// The name every message on standard error starts with: station-decode, or the program that
// receives through this library.
extern const char *programName;

// One sender's text and counts, and what its refusals said in the current interval.
struct SourceCounts {
    std::string host; // its sourceText, made once
    long reports = 0;
    long records = 0;
    long refused = 0;
    long intervalStart = -1; // milliseconds; -1: no refusal yet
    int toldInInterval = 0;
    long heldBack = 0; // refusals not told one by one in the interval
};

struct SourceHash {
    size_t operator()(const Source &s) const {
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char *>(&s), sizeof s));
    }
};
struct SourceEqual {
    bool operator()(const Source &a, const Source &b) const {
        return memcmp(&a, &b, sizeof a) == 0;
    }
};

using SourceEntry = std::pair<const Source, SourceCounts>;

class Tally {
  public:
    long reports = 0;
    long refused = 0;
    long dropped = 0; // by the kernel, its receive buffer full

    // A sender and its counts, added when first seen.
    SourceEntry *of(const Source &source);

    void decoded(SourceEntry *entry, int records);
    // Counts a refusal and says why on stderr: the first few of each sender in an interval
    // one by one, the rest in one line when the interval is over (see tellHeldBack).
    void refuse(SourceEntry *entry, std::string_view where, const char *reason, long nowMs);
    // Tells the refusals held back of the senders whose interval ended by nowMs (all when
    // nowMs is -1).
    void tellHeldBack(long nowMs);

    // "statistics after S s: ..." and one line per sender.
    void printStatistics(double seconds, const Output &out) const;
    void printSummary(const Output &out) const;

  private:
    std::string counts(const Output &out) const;

    std::unordered_map<Source, SourceCounts, SourceHash, SourceEqual> sources_;
    std::vector<const SourceEntry *> order_; // first seen first
    std::vector<SourceEntry *> holding_;     // those with refusals held back
};

// Where a datagram came from and when.
struct Arrival {
    std::string_view from;  // its sender in the output
    std::string_view where; // the datagram in messages
    SourceEntry *source;    // nullptr in dump mode
    ReceivedText received;
    long nowMs;
};

// Decodes one datagram into out, or refuses it.
void decodeOne(const uint8_t *bytes, int length, const Arrival &arrival, Output &out, Tally &tally);

// Says what an output failure lost, then the summary. Returns the exit status.
int outputFailed(const Tally &tally, const Output &out, const char *why);
