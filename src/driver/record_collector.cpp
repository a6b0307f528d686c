#include "record_collector.h"

#include <stdint.h>

#include "debug_log.h"

namespace {

// A producer gone wrong can feed endless malformed lines; the system log must not drown.
constexpr int SKIPS_LOGGED = 10;

void traceObservation(const Observation &obs) {
    DEBUG_LOG(DBG_TRACE, "apmac = %s", obs.apmac);
    DEBUG_LOG(DBG_TRACE, "mumac = %s", obs.mumac);
    const struct {
        const char *name;
        int32_t value;
    } numbers[] = {{"timestamp", obs.timestamp},
                   {"rssi", obs.rssi},
                   {"channel", obs.channel},
                   {"rate", obs.rate},
                   {"assoc", obs.assoc}};
    for (const auto &number : numbers) {
        DEBUG_LOG(DBG_TRACE, "%s = %d", number.name, number.value);
    }
}

} // namespace

int collectRecords(InputReader &input, StationRecord (&records)[MAX_RECORDS]) {
    Observation obs = {};
    int count = 0;
    int lineNumber = 0;
    int skipped = 0;
    while (count < MAX_RECORDS) {
        NextLine next = nextObservation(input, obs, lineNumber);
        if (next == NextLine::End) {
            break;
        }
        if (next == NextLine::Failed) {
            DEBUG_LOG(DBG_ERROR, "Can not read input");
            break;
        }
        if (next == NextLine::Malformed) {
            if (skipped < SKIPS_LOGGED) {
                DEBUG_LOG(DBG_ERROR, "Skip malformed line %d", lineNumber);
            }
            skipped += skipped < INT32_MAX ? 1 : 0;
            continue;
        }
        traceObservation(obs);
        encodeRecord(records[count], obs.apMac, obs.muMac, obs.timestamp, obs.rssi, obs.channel,
                     obs.assoc);
        ++count;
    }
    if (skipped > SKIPS_LOGGED) {
        DEBUG_LOG(DBG_ERROR, "Skip %d more malformed lines", skipped - SKIPS_LOGGED);
    }
    return count;
}
