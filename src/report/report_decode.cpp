#include "report_decode.h"

#include <stdio.h>
#include <string.h>

#include "report_layout.h"

namespace {

// The runs of bytes in a record that carry no field: all must be zero.
struct ZeroRun {
    int at;
    int size;
};
constexpr ZeroRun ZERO_RUNS[] = {
    {RECORD_AP_MAC + MAC_SIZE, RECORD_AP_MAC_AGAIN - RECORD_AP_MAC - MAC_SIZE},
    {RECORD_AP_MAC_AGAIN + MAC_SIZE, RECORD_CHANNEL - RECORD_AP_MAC_AGAIN - MAC_SIZE},
    {RECORD_ASSOC + 1, RECORD_TIMESTAMP - RECORD_ASSOC - 1},
    {RECORD_TIMESTAMP + 4, RECORD_CONST_02 - RECORD_TIMESTAMP - 4},
    {RECORD_CONST_02 + 1, RECORD_RSSI - RECORD_CONST_02 - 1},
    {RECORD_RSSI + 1, RECORD_CONST_80 - RECORD_RSSI - 1},
    {RECORD_CONST_80 + 1, RECORD_CONST_0B - RECORD_CONST_80 - 1},
    {RECORD_CONST_0B + 1, RECORD_MU_MAC - RECORD_CONST_0B - 1},
    {RECORD_MU_MAC + MAC_SIZE, RECORD_SIZE - RECORD_MU_MAC - MAC_SIZE},
};

bool reservedBytesZero(const uint8_t *record) {
    for (const ZeroRun &run : ZERO_RUNS) {
        for (int i = 0; i < run.size; ++i) {
            if (record[run.at + i] != 0) {
                return false;
            }
        }
    }
    return true;
}

// The header's own reason for refusing a datagram of length bytes, or nullptr.
const char *checkHeader(const uint8_t *bytes, int length) {
    if (length < HEADER_SIZE) {
        return "header: too short";
    }
    if (memcmp(bytes + HEADER_TAG, REPORT_TAG, TAG_SIZE) != 0) {
        return "header: bad tag";
    }
    if (getBe16(bytes + HEADER_LENGTH) != static_cast<uint32_t>(length - HEADER_LENGTH - 2)) {
        return "header: bad length";
    }
    if ((length - HEADER_SIZE) % RECORD_SIZE != 0) {
        return "header: bytes left over after the records";
    }
    if (length > MAX_REPORT_SIZE) {
        return "header: more than 18 records";
    }
    if (getBe16(bytes + HEADER_COUNT) !=
        static_cast<uint32_t>((length - HEADER_SIZE) / RECORD_SIZE)) {
        return "header: bad count";
    }
    if (getBe16(bytes + HEADER_RESERVED) != 0) {
        return "header: reserved not zero";
    }
    return nullptr;
}

} // namespace

int decodeRecord(const uint8_t *bytes, DecodedRecord &out, const char *&why) {
    why = nullptr;
    if (memcmp(bytes + RECORD_TAG_AT, RECORD_TAG, TAG_SIZE) != 0) {
        why = "bad tag";
    } else if (getBe16(bytes + RECORD_LENGTH) != static_cast<uint32_t>(RECORD_BODY)) {
        why = "bad length";
    } else if (memcmp(bytes + RECORD_AP_MAC, bytes + RECORD_AP_MAC_AGAIN, MAC_SIZE) != 0) {
        why = "AP MAC copies differ";
    } else if (bytes[RECORD_CONST_02] != 0x02 || bytes[RECORD_CONST_80] != 0x80 ||
               bytes[RECORD_CONST_0B] != 0x0B) {
        why = "bad constant";
    } else if (!reservedBytesZero(bytes)) {
        why = "non-zero reserved byte";
    }
    if (why != nullptr) {
        return -1;
    }
    memcpy(out.apmac, bytes + RECORD_AP_MAC, MAC_SIZE);
    memcpy(out.mumac, bytes + RECORD_MU_MAC, MAC_SIZE);
    out.timestamp = static_cast<int32_t>(getBe32(bytes + RECORD_TIMESTAMP));
    // The low 8 bits of a two's complement value: 0xC4 is -60.
    int32_t rssi = bytes[RECORD_RSSI];
    out.rssi = rssi < 0x80 ? rssi : rssi - 0x100;
    out.channel = bytes[RECORD_CHANNEL];
    out.assoc = bytes[RECORD_ASSOC];
    return 0;
}

int decodeReport(const uint8_t *bytes, int length, DecodedReport &out,
                 char (&reason)[DECODE_REASON_SIZE]) {
    reason[0] = '\0';
    const char *why = checkHeader(bytes, length);
    if (why != nullptr) {
        snprintf(reason, sizeof reason, "%s", why);
        return -1;
    }
    int count = (length - HEADER_SIZE) / RECORD_SIZE;
    const uint8_t *record = bytes + HEADER_SIZE;
    for (int i = 0; i < count; ++i, record += RECORD_SIZE) {
        if (decodeRecord(record, out.records[i], why) != 0) {
            snprintf(reason, sizeof reason, "record %d: %s", i + 1, why);
            return -1;
        }
    }
    out.count = count;
    return 0;
}
