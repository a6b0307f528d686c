// The report datagram: a 12-byte header and up to 18 station records of 56 bytes,
// every multi-byte field big-endian whatever the host's byte order.
#pragma once

#include <stdint.h>

#include "report_sizes.h"

// Wire images: plain byte arrays, filled only by the encoders below.
struct StationRecord {
    uint8_t bytes[RECORD_SIZE];
};
struct ReportHeader {
    uint8_t bytes[HEADER_SIZE];
};

static_assert(sizeof(StationRecord) == 56, "a record is 56 bytes on the wire");
static_assert(sizeof(ReportHeader) == 12, "the header is 12 bytes on the wire");
static_assert(MAX_REPORT_SIZE == 1020, "the largest datagram is 1020 bytes");

// Value of one hexadecimal digit, or -1 for any other character.
[[nodiscard]] int hexNibble(char c);

// Converts the first MAC_TEXT_LENGTH characters of text into out, first digit pair first.
// Returns -1 at the first bad digit (the terminator included): bytes before it are
// written, the byte holding it and all after it are left as they were.
int parseMac(const char *text, uint8_t out[MAC_SIZE]);

void encodeRecord(StationRecord &slot, const uint8_t apMac[MAC_SIZE], const uint8_t muMac[MAC_SIZE],
                  int32_t timestamp, int32_t rssi, int32_t channel, int32_t assoc);

// count is 0 to MAX_RECORDS.
void encodeHeader(ReportHeader &header, int count);

// Writes the header for count records and the records after it into datagram. Returns the
// datagram's length, or -1 when count is not 0 to MAX_RECORDS.
int assembleReport(const StationRecord *records, int count, uint8_t (&datagram)[MAX_REPORT_SIZE]);
