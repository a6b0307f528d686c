// A record line's fields, in the order station-decode writes them: the CSV header's columns
// and the JSON keys. station-decode writes them and station-presence reads them, so a field
// cannot be added to one side only.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

enum class RecordField { From, Record, Apmac, Mumac, Timestamp, Rssi, Channel, Assoc, Received };

struct RecordFieldInfo {
    const char *name;
    RecordField field;
    bool text; // a JSON string (else a number)
};

inline constexpr RecordFieldInfo kRecordFields[] = {
    {"from", RecordField::From, true},
    {"record", RecordField::Record, false},
    {"apmac", RecordField::Apmac, true},
    {"mumac", RecordField::Mumac, true},
    {"timestamp", RecordField::Timestamp, false},
    {"rssi", RecordField::Rssi, false},
    {"channel", RecordField::Channel, false},
    {"assoc", RecordField::Assoc, false},
    {"received", RecordField::Received, false},
};
inline constexpr std::size_t kRecordFieldCount = std::size(kRecordFields);

constexpr bool recordFieldsInOrder() {
    for (std::size_t i = 0; i < kRecordFieldCount; ++i) {
        if (static_cast<std::size_t>(kRecordFields[i].field) != i) {
            return false;
        }
    }
    return true;
}
static_assert(recordFieldsInOrder(), "kRecordFields follows RecordField");

constexpr const char *recordFieldName(RecordField field) {
    return kRecordFields[static_cast<std::size_t>(field)].name;
}

// The CSV header, with its newline.
const std::string &csvHeader();

// What comes before each field's value in a JSON line ("{\"from\":\"", "\",\"record\":",
// ...), as in a whole record line, and what ends the line.
using JsonKeys = std::array<std::string_view, kRecordFieldCount>;
const JsonKeys &jsonKeys();
std::string_view jsonLineEnd();
