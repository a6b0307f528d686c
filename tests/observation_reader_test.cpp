#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "observation_reader.h"

namespace {

TEST(ParseObservation, AcceptsTheOneFormAndKeepsItsValues) {
    struct Case {
        std::string line;
        int32_t timestamp, rssi, channel, rate, assoc;
    } cases[] = {
        {"A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1", 258, -60, 6, 54, 1},
        {"A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1\r", 258, -60, 6, 54, 1},
        {"\tA0B1C2D3E4F5,0a1b2c3d4e5f, +258,\t-60,  6,54,1 \t", 258, -60, 6, 54, 1},
        {"A0B1C2D3E4F5,0a1b2c3d4e5f,-2147483648,2147483647,0,-0,007", INT32_MIN, INT32_MAX, 0, 0,
         7},
    };
    for (const Case &c : cases) {
        Observation obs;
        std::memset(&obs, 0, sizeof obs);
        ASSERT_EQ(parseObservation(c.line.c_str(), obs), 0) << c.line;
        EXPECT_STREQ(obs.apmac, "A0B1C2D3E4F5");
        EXPECT_STREQ(obs.mumac, "0a1b2c3d4e5f");
        EXPECT_EQ(obs.timestamp, c.timestamp);
        EXPECT_EQ(obs.rssi, c.rssi);
        EXPECT_EQ(obs.channel, c.channel);
        EXPECT_EQ(obs.rate, c.rate);
        EXPECT_EQ(obs.assoc, c.assoc);
    }
}

TEST(ParseObservation, RejectsEveryOtherLineWithoutTouchingTheOutput) {
    const char *lines[] = {
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54",        // six fields
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1,9",    // eight fields
        "A0:B1:C2:D3:E4:F5,0a1b2c3d4e5f,258,-60,6,54,1", // separators
        "A0B1C2D3E4F,0a1b2c3d4e5f,258,-60,6,54,1",       // 11 digits
        "A0B1C2D3E4F5A,0a1b2c3d4e5f,258,-60,6,54,1",     // 13 digits
        "A0B1C2D3E4F5,0a1b2c3d4e5g,258,-60,6,54,1",      // bad digit in mumac
        "A0B1C2D3E4F5,0a1b2c3d4e5f,2147483648,-60,6,54,1",
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,-2147483649,6,54,1",
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,99999999999999999999",
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1 x", // trailing text
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258 ,-60,6,54,1",  // space before a comma
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,,6,54,1",      // empty number
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,- 60,6,54,1",  // space after the sign
        "A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,0x1",
        "A0B1C2D3E4F5 ,0a1b2c3d4e5f,258,-60,6,54,1",
        ",A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1", // leading comma
        "A0B1C2D3E4F5;0a1b2c3d4e5f;258;-60;6;54;1",
        "",
    };
    for (const char *line : lines) {
        Observation obs;
        std::memset(&obs, 0x5A, sizeof obs);
        Observation before = obs;
        EXPECT_EQ(parseObservation(line, obs), -1) << line;
        EXPECT_EQ(std::memcmp(&obs, &before, sizeof obs), 0) << line;
    }
}

} // namespace
