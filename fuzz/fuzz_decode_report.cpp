// Any datagram: the decoder never crashes; what it accepts re-encodes to the very same bytes.
// The input's first bytes also seed a report built by the encoders, which must decode to the
// values encoded, one-byte fields to their low 8 bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "report_decode.h"
#include "report_layout.h"

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

// Re-encodes report into datagram and returns its length.
int encodeAgain(const DecodedReport &report, uint8_t (&datagram)[MAX_REPORT_SIZE]) {
    StationRecord records[MAX_RECORDS];
    for (int i = 0; i < report.count; ++i) {
        const DecodedRecord &r = report.records[i];
        encodeRecord(records[i], r.apmac, r.mumac, r.timestamp, r.rssi, r.channel, r.assoc);
    }
    return assembleReport(records, report.count, datagram);
}

int32_t int32At(const uint8_t *p) {
    return static_cast<int32_t>(getBe32(p));
}

// Encodes records whose values come from the input and checks they decode to them.
void roundTrip(const uint8_t *data, size_t size) {
    constexpr size_t PER_RECORD = 2 * MAC_SIZE + 16;
    int count = static_cast<int>(size / PER_RECORD) % (MAX_RECORDS + 1);
    StationRecord records[MAX_RECORDS];
    for (int i = 0; i < count; ++i) {
        const uint8_t *p = data + static_cast<size_t>(i) * PER_RECORD;
        encodeRecord(records[i], p, p + MAC_SIZE, int32At(p + 12), int32At(p + 16), int32At(p + 20),
                     int32At(p + 24));
    }
    uint8_t bytes[MAX_REPORT_SIZE];
    int length = assembleReport(records, count, bytes);
    check(length == HEADER_SIZE + count * RECORD_SIZE);
    DecodedReport report;
    char reason[DECODE_REASON_SIZE];
    check(decodeReport(bytes, length, report, reason) == 0);
    check(report.count == count);
    for (int i = 0; i < count; ++i) {
        const uint8_t *p = data + static_cast<size_t>(i) * PER_RECORD;
        const DecodedRecord &r = report.records[i];
        check(std::memcmp(r.apmac, p, MAC_SIZE) == 0);
        check(std::memcmp(r.mumac, p + MAC_SIZE, MAC_SIZE) == 0);
        check(r.timestamp == int32At(p + 12));
        check(r.rssi == static_cast<int8_t>(p[19]) && r.channel == p[23] && r.assoc == p[27]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so AddressSanitizer sees any read past the datagram.
    std::unique_ptr<uint8_t[]> datagram(new uint8_t[size]);
    std::memcpy(datagram.get(), data, size);
    DecodedReport report;
    char reason[DECODE_REASON_SIZE];
    if (decodeReport(datagram.get(), static_cast<int>(size), report, reason) == 0) {
        uint8_t again[MAX_REPORT_SIZE];
        check(encodeAgain(report, again) == static_cast<int>(size));
        check(std::memcmp(again, data, size) == 0);
    } else {
        check(reason[0] != '\0' && std::strlen(reason) < sizeof reason);
    }
    roundTrip(data, size);
    return 0;
}
