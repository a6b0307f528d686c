// Reading a report datagram back: the inverse of the encoders, for receivers.
#pragma once

#include "report_format.h"

// Room for any reason decodeReport gives.
constexpr int DECODE_REASON_SIZE = 64;

struct DecodedRecord {
    uint8_t apmac[MAC_SIZE];
    uint8_t mumac[MAC_SIZE];
    int32_t timestamp;
    int32_t rssi;    // -128 to 127
    int32_t channel; // 0 to 255
    int32_t assoc;   // 0 to 255
};

struct DecodedReport {
    int count;
    DecodedRecord records[MAX_RECORDS];
};

// Checks one 56-byte record and fills out. Returns -1 with why naming the field at fault
// when the bytes are not a record the encoder writes.
int decodeRecord(const uint8_t *bytes, DecodedRecord &out, const char *&why);

// Decodes a whole datagram. Returns 0 only when it is exactly what a reporter sends; else
// returns -1 with a reason that names the header or the record (counted from 1) and the
// field, such as "record 3: bad tag".
int decodeReport(const uint8_t *bytes, int length, DecodedReport &out,
                 char (&reason)[DECODE_REASON_SIZE]);
