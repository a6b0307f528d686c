#include "report_format.h"

#include <string.h>

#include "report_layout.h"

namespace {

// One-byte fields carry the low 8 bits of the two's complement value.
uint8_t lowByte(int32_t value) {
    return static_cast<uint8_t>(static_cast<uint32_t>(value));
}

} // namespace

int hexNibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int parseMac(const char *text, uint8_t out[MAC_SIZE]) {
    const char *pair = text;
    for (int i = 0; i < MAC_SIZE; ++i, pair += 2) {
        // Testing the high digit first stops at a terminator before reading past it.
        int hi = hexNibble(pair[0]);
        if (hi < 0) {
            return -1;
        }
        int lo = hexNibble(pair[1]);
        if (lo < 0) {
            return -1;
        }
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return 0;
}

void encodeRecord(StationRecord &slot, const uint8_t apMac[MAC_SIZE], const uint8_t muMac[MAC_SIZE],
                  int32_t timestamp, int32_t rssi, int32_t channel, int32_t assoc) {
    uint8_t *b = slot.bytes;
    memset(b, 0, RECORD_SIZE);
    memcpy(b + RECORD_TAG_AT, RECORD_TAG, TAG_SIZE);
    putBe16(b + RECORD_LENGTH, RECORD_BODY);
    memcpy(b + RECORD_AP_MAC, apMac, MAC_SIZE);
    // The server expects the AP MAC twice; the MU MAC has its own place further on.
    memcpy(b + RECORD_AP_MAC_AGAIN, apMac, MAC_SIZE);
    b[RECORD_CHANNEL] = lowByte(channel);
    b[RECORD_ASSOC] = lowByte(assoc);
    putBe32(b + RECORD_TIMESTAMP, static_cast<uint32_t>(timestamp));
    b[RECORD_CONST_02] = 0x02;
    b[RECORD_RSSI] = lowByte(rssi);
    b[RECORD_CONST_80] = 0x80;
    b[RECORD_CONST_0B] = 0x0B;
    memcpy(b + RECORD_MU_MAC, muMac, MAC_SIZE);
}

void encodeHeader(ReportHeader &header, int count) {
    uint8_t *b = header.bytes;
    memset(b, 0, HEADER_SIZE);
    memcpy(b + HEADER_TAG, REPORT_TAG, TAG_SIZE);
    uint32_t records = static_cast<uint32_t>(count);
    putBe16(b + HEADER_LENGTH, records * RECORD_SIZE + HEADER_TAIL);
    putBe16(b + HEADER_COUNT, records);
}

int assembleReport(const StationRecord *records, int count, uint8_t (&datagram)[MAX_REPORT_SIZE]) {
    if (count < 0 || count > MAX_RECORDS) {
        return -1;
    }
    ReportHeader header = {};
    encodeHeader(header, count);
    memcpy(datagram, header.bytes, HEADER_SIZE);
    size_t body = static_cast<size_t>(count) * RECORD_SIZE;
    // No records may come as a null pointer, which memcpy must not be given.
    if (body > 0) {
        memcpy(datagram + HEADER_SIZE, records, body);
    }
    return HEADER_SIZE + static_cast<int>(body);
}
