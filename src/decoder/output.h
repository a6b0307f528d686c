// What station-decode prints for the reports it decoded: CSV or JSON lines, made by hand
// because a busy server spends most of its time here, and written straight to descriptor 1 so
// that a write blocked by a stuck reader can be given up (or handed to a program that takes
// the lines in itself).
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "record_line.h"
#include "report_decode.h"

// When a datagram came in, as Unix seconds with milliseconds ("1796714142.123").
struct ReceivedText {
    char text[24];
    size_t length;
};
ReceivedText receivedText(const timespec &when);

// A short text kept in an array of a fixed size and copied whole, in one move whatever its
// length: wherever one is put there is room for its full size.
template <size_t N> struct Padded {
    char text[N];
    size_t length;
};

// What a write blocked by a slow reader does when a signal interrupts it.
class Interruption {
  public:
    virtual ~Interruption() = default;
    // True to give the write up; may do the work the signal asked for first.
    virtual bool giveUp() = 0;
};

// Where the lines are written.
class Destination {
  public:
    virtual ~Destination() = default;
    // As write(2): how many bytes it took, or -1 with errno.
    virtual ssize_t write(const char *text, size_t length) = 0;
    // A failed write left the last bytes written a line cut short: takes them off if it can.
    virtual void cutOff(size_t bytes) { (void)bytes; }
};

// Descriptor 1.
Destination &standardOutput();

// The lines of the reports decoded, held until flush() writes them out in one go.
class Output {
  public:
    Output(bool json, bool heartbeats, Destination &to = standardOutput());

    void appendHeader();
    // One line per record of report, or one for an empty report when heartbeats are asked.
    void appendReport(const DecodedReport &report, std::string_view from,
                      const ReceivedText &received);

    // Bytes appended and not yet written.
    size_t pending() const { return used_; }
    // True when so much is held that it should be written before more is received.
    bool full() const { return used_ >= GATHER || marked_ >= GATHER_REPORTS; }

    // Writes what was appended. Returns false when that failed, with errno saying why (EINTR:
    // given up); the records not written are then lost and a line cut short on a regular file
    // is cut off again, so that the file ends with a whole line.
    bool flush(Interruption *interruption);

    long written() const { return written_; }
    long lost() const { return lost_; }

  private:
    // Room for count more lines of at most LINE bytes besides the sender's text.
    char *reserve(size_t lines, size_t fromLength);
    void mark(const char *end, int records);
    void settle(size_t done, bool failed);
    // What the lines of one report start and end with: its sender, its receive time.
    void frame(std::string_view from, const ReceivedText &received);
    char *putCsv(char *p, int number, const DecodedRecord &r);
    char *putJson(char *p, int number, const DecodedRecord &r);
    // The texts of the AP MAC and the timestamp, made again only when they differ from the
    // record before: a report's records mostly share both.
    const Padded<16> &apmacText(const uint8_t (&apmac)[MAC_SIZE]);
    const Padded<16> &timestampText(int32_t timestamp);

    static constexpr size_t LINE = 192; // the longest JSON line, less its sender
    // Past the last line, room for the widest Padded put at its end.
    static constexpr size_t SLACK = 128;
    // Held lines are written once this much is held (or held so many reports). The buffer has
    // room beyond for whole batches of datagrams: it is sized once and seldom grows.
    static constexpr size_t GATHER = 1 << 16;
    static constexpr size_t GATHER_REPORTS = 1024;
    // The end of each report's lines in text_, and its records.
    struct Mark {
        size_t end;
        int records;
    };
    bool json_;
    bool heartbeats_;
    Destination &to_;
    std::vector<char> text_ = std::vector<char>(1 << 19);
    size_t used_ = 0;
    std::vector<Mark> marks_ = std::vector<Mark>(GATHER_REPORTS * 2);
    size_t marked_ = 0;
    long written_ = 0;
    long lost_ = 0;
    // Each JSON key, with the quotes around it and the text values' own.
    Padded<16> keys_[kRecordFieldCount]{};
    Padded<96> start_{}; // the sender and what surrounds it, up to the record number
    Padded<48> end_{};   // the receive time and what surrounds it, the newline included
    uint8_t apmac_[MAC_SIZE] = {};
    Padded<16> apmacText_{};
    int32_t timestamp_ = 0;
    Padded<16> timestampText_{};
};
