// What station-decode prints for the records it decoded: CSV or JSON lines, made by hand
// because a busy server spends most of its time here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "report_decode.h"

constexpr const char *CSV_HEADER = "from,record,apmac,mumac,timestamp,rssi,channel,assoc\n";

// The lines of one batch, written out in one go.
class Output {
  public:
    explicit Output(bool json) : json_(json) {}

    // Appends one line per record of report, from the sender named by from.
    void appendRecords(const DecodedReport &report, const std::string &from);
    void appendText(const std::string &text);

    // Writes what was appended and flushes. Returns false when that failed; errno says why.
    bool flush();

  private:
    // Room for count more lines of at most LINE bytes besides the sender's text.
    char *reserve(size_t lines, size_t fromLength);

    static constexpr size_t LINE = 160; // the longest JSON line, less its sender
    bool json_;
    std::vector<char> text_ = std::vector<char>(1 << 16);
    size_t used_ = 0;
};
