// Where each field of the header and of a record stands, shared by the encoder and the
// decoder. Every byte of a record not named here is zero.
#pragma once

#include <stdint.h>

#include "report_sizes.h"

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

// Multi-byte fields are big-endian whatever the host's byte order: written and read with
// shifts, never by copying a host integer.
inline uint32_t getBe16(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) << 8 | at[1];
}

inline uint32_t getBe32(const uint8_t *at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// Writes the low 16 bits of value.
inline void putBe16(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

inline void putBe32(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}
