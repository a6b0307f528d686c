#include "tally.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

const char *programName = "station-decode";

namespace {

// A sender's refusals told one by one in each interval; the rest are counted.
constexpr int TOLD_PER_INTERVAL = 5;
constexpr long INTERVAL_MS = 10000;
constexpr size_t MAX_SENDERS = 65536;

} // namespace

SourceEntry *Tally::of(const Source &source) {
    auto found = sources_.find(source);
    if (found != sources_.end()) {
        return &*found;
    }
    // Senders beyond the table's room (a flood from forged addresses) share one entry.
    auto [entry, added] = sources_.try_emplace(sources_.size() < MAX_SENDERS ? source : Source{});
    if (added) {
        entry->second.host = sourceText(entry->first);
        order_.push_back(&*entry);
    }
    return &*entry;
}

void Tally::decoded(SourceEntry *entry, int records) {
    ++reports;
    if (entry != nullptr) {
        ++entry->second.reports;
        entry->second.records += records;
    }
}

void Tally::refuse(SourceEntry *entry, std::string_view where, const char *reason, long nowMs) {
    ++refused;
    const int whereLength = static_cast<int>(where.size());
    if (entry == nullptr) {
        fprintf(stderr, "%s: %.*s: %s\n", programName, whereLength, where.data(), reason);
        return;
    }
    SourceCounts *source = &entry->second;
    ++source->refused;
    if (source->intervalStart < 0 || nowMs - source->intervalStart >= INTERVAL_MS) {
        if (source->heldBack > 0) {
            tellHeldBack(nowMs);
        }
        source->intervalStart = nowMs;
        source->toldInInterval = 0;
    }
    if (source->toldInInterval < TOLD_PER_INTERVAL) {
        ++source->toldInInterval;
        fprintf(stderr, "%s: %.*s: %s\n", programName, whereLength, where.data(), reason);
        return;
    }
    if (source->heldBack++ == 0) {
        holding_.push_back(entry);
    }
}

void Tally::tellHeldBack(long nowMs) {
    for (size_t i = 0; i < holding_.size();) {
        SourceCounts &held = holding_[i]->second;
        if (nowMs >= 0 && nowMs - held.intervalStart < INTERVAL_MS) {
            ++i;
            continue;
        }
        fprintf(stderr, "%s: %s: %ld more refused in %ld s\n", programName, held.host.c_str(),
                held.heldBack, INTERVAL_MS / 1000);
        held.heldBack = 0;
        holding_[i] = holding_.back();
        holding_.pop_back();
    }
}

std::string Tally::counts(const Output &out) const {
    char line[200];
    snprintf(line, sizeof line,
             "%ld reports decoded, %ld records printed, %ld refused, %ld dropped, %ld not "
             "written",
             reports, out.written(), refused, dropped, out.lost());
    return line;
}

void Tally::printStatistics(double seconds, const Output &out) const {
    fprintf(stderr, "%s: statistics after %.1f s: %s, %zu senders\n", programName, seconds,
            counts(out).c_str(), order_.size());
    for (const auto *entry : order_) {
        const SourceCounts &c = entry->second;
        fprintf(stderr, "%s: sender %s: %ld reports, %ld records, %ld refused\n", programName,
                c.host.c_str(), c.reports, c.records, c.refused);
    }
}

void Tally::printSummary(const Output &out) const {
    fprintf(stderr, "%s: %s\n", programName, counts(out).c_str());
}

void decodeOne(const uint8_t *bytes, int length, const Arrival &arrival, Output &out,
               Tally &tally) {
    DecodedReport report;
    char reason[DECODE_REASON_SIZE];
    if (decodeReport(bytes, length, report, reason) != 0) {
        tally.refuse(arrival.source, arrival.where, reason, arrival.nowMs);
        return;
    }
    tally.decoded(arrival.source, report.count);
    out.appendReport(report, arrival.from, arrival.received);
}

int outputFailed(const Tally &tally, const Output &out, const char *why) {
    fprintf(stderr, "%s: cannot write output: %s\n", programName, why);
    fprintf(stderr, "%s: %ld records not written\n", programName, out.lost());
    tally.printSummary(out);
    return 1;
}
