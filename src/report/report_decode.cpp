#include "report_decode.h"

#include <stdint.h>
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

// What every record holds at the same place, and which bytes those are: the tag, the length,
// the constants and the zero runs. A record is checked against it a word at a time; the
// checks one by one only say what is wrong.
struct RecordPattern {
    uint8_t value[RECORD_SIZE];
    uint8_t fixed[RECORD_SIZE]; // 0xFF where value holds what must be there
};

constexpr RecordPattern makePattern() {
    RecordPattern p{};
    const auto set = [&p](int at, uint8_t value) {
        p.value[at] = value;
        p.fixed[at] = 0xFF;
    };
    for (int i = 0; i < TAG_SIZE; ++i) {
        set(RECORD_TAG_AT + i, RECORD_TAG[i]);
    }
    set(RECORD_LENGTH, static_cast<uint8_t>(RECORD_BODY >> 8));
    set(RECORD_LENGTH + 1, static_cast<uint8_t>(RECORD_BODY));
    set(RECORD_CONST_02, 0x02);
    set(RECORD_CONST_80, 0x80);
    set(RECORD_CONST_0B, 0x0B);
    for (const ZeroRun &run : ZERO_RUNS) {
        for (int i = 0; i < run.size; ++i) {
            set(run.at + i, 0);
        }
    }
    return p;
}
constexpr RecordPattern PATTERN = makePattern();
static_assert(RECORD_SIZE % 8 == 0, "a record is compared a word at a time");

uint64_t wordAt(const uint8_t *bytes, int at) {
    uint64_t word;
    memcpy(&word, bytes + at, sizeof word);
    return word;
}

// True when record is what a reporter writes: every fixed byte as it must be, the AP MAC's
// copies equal.
bool wellFormed(const uint8_t *record) {
    uint64_t wrong = 0;
    // Unrolled, the pattern's words become constants.
#pragma GCC unroll 8
    for (int at = 0; at < RECORD_SIZE; at += 8) {
        wrong |= (wordAt(record, at) ^ wordAt(PATTERN.value, at)) & wordAt(PATTERN.fixed, at);
    }
    return wrong == 0 &&
           memcmp(record + RECORD_AP_MAC, record + RECORD_AP_MAC_AGAIN, MAC_SIZE) == 0;
}

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

// Why a record is not what the encoder writes, or nullptr.
const char *recordFault(const uint8_t *bytes) {
    if (wellFormed(bytes)) {
        return nullptr;
    }
    if (memcmp(bytes + RECORD_TAG_AT, RECORD_TAG, TAG_SIZE) != 0) {
        return "bad tag";
    }
    if (getBe16(bytes + RECORD_LENGTH) != static_cast<uint32_t>(RECORD_BODY)) {
        return "bad length";
    }
    if (memcmp(bytes + RECORD_AP_MAC, bytes + RECORD_AP_MAC_AGAIN, MAC_SIZE) != 0) {
        return "AP MAC copies differ";
    }
    if (bytes[RECORD_CONST_02] != 0x02 || bytes[RECORD_CONST_80] != 0x80 ||
        bytes[RECORD_CONST_0B] != 0x0B) {
        return "bad constant";
    }
    if (!reservedBytesZero(bytes)) {
        return "non-zero reserved byte";
    }
    return nullptr;
}

} // namespace

int decodeRecord(const uint8_t *bytes, DecodedRecord &out, const char *&why) {
    why = recordFault(bytes);
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
