#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "report_format.h"

namespace {

std::vector<uint8_t> bytes(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const uint8_t AP[MAC_SIZE] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
const uint8_t MU[MAC_SIZE] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

TEST(ReportFormat, HeaderForCounts) {
    const std::pair<int, std::string> cases[] = {
        {0, "7C 83 00 01 D8 00 00 04 00 00 00 00"},
        {1, "7C 83 00 01 D8 00 00 3C 00 01 00 00"},
        {18, "7C 83 00 01 D8 00 03 F4 00 12 00 00"},
    };
    for (const auto &[count, hex] : cases) {
        ReportHeader header;
        std::memset(&header, 0xEE, sizeof header);
        encodeHeader(header, count);
        EXPECT_EQ(std::vector<uint8_t>(header.bytes, header.bytes + HEADER_SIZE), bytes(hex))
            << "count " << count;
    }
}

TEST(ReportFormat, ExampleRecordByteForByte) {
    StationRecord slot;
    std::memset(&slot, 0xEE, sizeof slot);
    encodeRecord(slot, AP, MU, 258, -60, 6, 1);
    EXPECT_EQ(std::vector<uint8_t>(slot.bytes, slot.bytes + RECORD_SIZE),
              bytes("7C 83 00 01 D6 00 00 30 A0 B1 C2 D3 E4 F5 00 00 00 00 A0 B1 C2 D3 E4 F5 "
                    "00 06 01 00 00 00 01 02 00 00 02 00 C4 00 80 00 00 00 0B 00 0A 1B 2C 3D "
                    "4E 5F 00 00 00 00 00 00"));
}

TEST(ReportFormat, ValueFieldsTakeLowBitsAndBigEndian) {
    struct Case {
        int32_t timestamp, rssi, channel, assoc;
        std::string at25, at28, at36; // channel assoc | timestamp | rssi
    } cases[] = {
        {-1, -60, 300, 256, "2C 00", "FF FF FF FF", "C4"},
        {INT32_MIN, INT32_MAX, INT32_MIN, 511, "00 FF", "80 00 00 00", "FF"},
        {INT32_MAX, INT32_MIN, -1, -2, "FF FE", "7F FF FF FF", "00"},
        {0x01020304, 0, 0, 0, "00 00", "01 02 03 04", "00"},
    };
    for (const Case &c : cases) {
        StationRecord slot;
        encodeRecord(slot, AP, MU, c.timestamp, c.rssi, c.channel, c.assoc);
        EXPECT_EQ(std::vector<uint8_t>(slot.bytes + 25, slot.bytes + 27), bytes(c.at25));
        EXPECT_EQ(std::vector<uint8_t>(slot.bytes + 28, slot.bytes + 32), bytes(c.at28));
        EXPECT_EQ(std::vector<uint8_t>(slot.bytes + 36, slot.bytes + 37), bytes(c.at36));
    }
}

TEST(ReportFormat, AssemblesHeaderAndRecordsOrRefusesTheCount) {
    StationRecord records[MAX_RECORDS + 1];
    for (int i = 0; i <= MAX_RECORDS; ++i) {
        encodeRecord(records[i], AP, MU, i, -60, 6, 1);
    }
    for (int count : {0, 1, MAX_RECORDS, MAX_RECORDS + 1, -1}) {
        uint8_t datagram[MAX_REPORT_SIZE];
        std::memset(datagram, 0xEE, sizeof datagram);
        bool fits = count >= 0 && count <= MAX_RECORDS;
        int length = assembleReport(records, count, datagram);
        EXPECT_EQ(length, fits ? HEADER_SIZE + count * RECORD_SIZE : -1) << "count " << count;
        std::vector<uint8_t> want(MAX_REPORT_SIZE, 0xEE);
        if (fits) {
            ReportHeader header;
            encodeHeader(header, count);
            std::copy(header.bytes, header.bytes + HEADER_SIZE, want.begin());
            for (int i = 0; i < count; ++i) {
                std::copy(records[i].bytes, records[i].bytes + RECORD_SIZE,
                          want.begin() + HEADER_SIZE + i * RECORD_SIZE);
            }
        }
        EXPECT_EQ(std::vector<uint8_t>(datagram, datagram + MAX_REPORT_SIZE), want)
            << "count " << count;
    }
}

TEST(ParseMac, ConvertsOrStopsAtTheFirstBadDigit) {
    struct Case {
        const char *text;
        int result;
        std::string out; // starting from all EE
    } cases[] = {
        {"A0B1C2D3E4F5", 0, "A0 B1 C2 D3 E4 F5"},
        {"a0b1c2d3e4f5", 0, "A0 B1 C2 D3 E4 F5"},
        {"A0b1C2d3e4F5", 0, "A0 B1 C2 D3 E4 F5"},
        {"A0B1C2D3E4F5FF,", 0, "A0 B1 C2 D3 E4 F5"},
        {"A0:B1:C2:D3:E4:F5", -1, "A0 EE EE EE EE EE"},
        {"A0B1C2D3E4Fg", -1, "A0 B1 C2 D3 E4 EE"},
        {"A0B1C", -1, "A0 B1 EE EE EE EE"},
        {"", -1, "EE EE EE EE EE EE"},
        {"\xC3\xA9", -1, "EE EE EE EE EE EE"},
    };
    for (const Case &c : cases) {
        // An exact-size copy: the sanitizer build catches any read past the terminator.
        size_t size = std::strlen(c.text) + 1;
        std::unique_ptr<char[]> text(new char[size]);
        std::memcpy(text.get(), c.text, size);
        uint8_t out[MAC_SIZE];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(parseMac(text.get(), out), c.result) << c.text;
        EXPECT_EQ(std::vector<uint8_t>(out, out + MAC_SIZE), bytes(c.out)) << c.text;
    }
}

} // namespace
