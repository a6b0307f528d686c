// The report's sizes and tags, which the encoder's interface and the fields' offsets both
// build on.
#pragma once

#include <stdint.h>

constexpr int MAX_RECORDS = 18;
constexpr int RECORD_SIZE = 56;
constexpr int HEADER_SIZE = 12;
constexpr int MAC_SIZE = 6;
constexpr int TAG_SIZE = 6;
// A MAC address as text: two hex digits a byte, no separators.
constexpr int MAC_TEXT_LENGTH = 2 * MAC_SIZE;
constexpr int MAX_REPORT_SIZE = HEADER_SIZE + MAX_RECORDS * RECORD_SIZE;

constexpr uint8_t RECORD_TAG[TAG_SIZE] = {0x7C, 0x83, 0x00, 0x01, 0xD6, 0x00};
constexpr uint8_t REPORT_TAG[TAG_SIZE] = {0x7C, 0x83, 0x00, 0x01, 0xD8, 0x00};
