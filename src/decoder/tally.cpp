#include "tally.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void decodeOne(const uint8_t *bytes, int length, const std::string &from, const std::string &where,
               Output &out, Tally &tally) {
    DecodedReport report;
    char reason[DECODE_REASON_SIZE];
    if (decodeReport(bytes, length, report, reason) != 0) {
        fprintf(stderr, "station-decode: %s: %s\n", where.c_str(), reason);
        ++tally.refused;
        return;
    }
    ++tally.reports;
    tally.records += report.count;
    out.appendRecords(report, from);
}

void printSummary(const Tally &tally) {
    fprintf(stderr, "station-decode: %ld reports decoded, %ld records printed, %ld refused\n",
            tally.reports, tally.records, tally.refused);
}

int outputFailed(const Tally &tally) {
    fprintf(stderr, "station-decode: cannot write output: %s\n", strerror(errno));
    printSummary(tally);
    return 1;
}
