// A line the parser accepts must encode to a record that reads back as the parsed values;
// a line it rejects must leave the output untouched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "observation_reader.h"
#include "report_layout.h"

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    Observation obs;
    std::memset(&obs, 0xA5, sizeof obs);
    const Observation untouched = obs;
    if (parseObservation(line.c_str(), obs) != 0) {
        check(std::memcmp(&obs, &untouched, sizeof obs) == 0);
        return 0;
    }
    uint8_t ap[MAC_SIZE], mu[MAC_SIZE];
    check(parseMac(obs.apmac, ap) == 0 && parseMac(obs.mumac, mu) == 0);
    check(std::memcmp(ap, obs.apMac, MAC_SIZE) == 0 && std::memcmp(mu, obs.muMac, MAC_SIZE) == 0);
    check(std::strlen(obs.apmac) == MAC_TEXT_LENGTH && std::strlen(obs.mumac) == MAC_TEXT_LENGTH);

    StationRecord record;
    encodeRecord(record, ap, mu, obs.timestamp, obs.rssi, obs.channel, obs.assoc);
    const uint8_t *b = record.bytes;
    check(std::memcmp(b + RECORD_AP_MAC, ap, MAC_SIZE) == 0 &&
          std::memcmp(b + RECORD_AP_MAC_AGAIN, ap, MAC_SIZE) == 0);
    check(std::memcmp(b + RECORD_MU_MAC, mu, MAC_SIZE) == 0);
    check(getBe32(b + RECORD_TIMESTAMP) == static_cast<uint32_t>(obs.timestamp));
    check(b[RECORD_CHANNEL] == static_cast<uint8_t>(obs.channel) &&
          b[RECORD_ASSOC] == static_cast<uint8_t>(obs.assoc));
    check(b[RECORD_RSSI] == static_cast<uint8_t>(obs.rssi));

    // The values printed back in the canonical form parse to the same observation.
    char canonical[LINE_CAPACITY];
    std::snprintf(canonical, sizeof canonical, "%s,%s,%d,%d,%d,%d,%d", obs.apmac, obs.mumac,
                  obs.timestamp, obs.rssi, obs.channel, obs.rate, obs.assoc);
    Observation again;
    check(parseObservation(canonical, again) == 0);
    check(std::strcmp(again.apmac, obs.apmac) == 0 && std::strcmp(again.mumac, obs.mumac) == 0);
    check(again.timestamp == obs.timestamp && again.rssi == obs.rssi &&
          again.channel == obs.channel && again.rate == obs.rate && again.assoc == obs.assoc);
    return 0;
}
