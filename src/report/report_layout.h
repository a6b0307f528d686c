// Where each field of the header and of a record stands, shared by the encoder and the
// decoder. Every byte of a record not named here is zero.
#pragma once

#include "report_format.h"

// Header offsets.
constexpr int HEADER_TAG = 0;
constexpr int HEADER_LENGTH = 6;
constexpr int HEADER_COUNT = 8;
constexpr int HEADER_RESERVED = 10;
// Bytes after the header's length field that are not records: count and reserved.
constexpr int HEADER_TAIL = 4;

// Record offsets.
constexpr int RECORD_TAG_AT = 0;
constexpr int RECORD_LENGTH = 6;
constexpr int RECORD_AP_MAC = 8;
constexpr int RECORD_AP_MAC_AGAIN = 18;
constexpr int RECORD_CHANNEL = 25;
constexpr int RECORD_ASSOC = 26;
constexpr int RECORD_TIMESTAMP = 28;
constexpr int RECORD_CONST_02 = 34;
constexpr int RECORD_RSSI = 36;
constexpr int RECORD_CONST_80 = 38;
constexpr int RECORD_CONST_0B = 42;
constexpr int RECORD_MU_MAC = 44;
// The record's length field counts the bytes after itself.
constexpr int RECORD_BODY = RECORD_SIZE - RECORD_LENGTH - 2;
