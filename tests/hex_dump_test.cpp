#include <gtest/gtest.h>

#include <string>

#include "hex_dump.h"
#include "report_format.h"

namespace {

std::string dumped(const uint8_t *bytes, int length) {
    testing::internal::CaptureStdout();
    hexDump(bytes, length);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(HexDump, SixteenBytesALineAndNothingPastTheLargestReport) {
    uint8_t bytes[MAX_REPORT_SIZE + 40];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    EXPECT_EQ(dumped(bytes, 0), "---\n\n+++\n");
    EXPECT_EQ(dumped(bytes, -5), "---\n\n+++\n");
    EXPECT_EQ(dumped(bytes, 17),
              "---\n00 07 0E 15 1C 23 2A 31 38 3F 46 4D 54 5B 62 69 \n70 \n+++\n");
    EXPECT_EQ(dumped(bytes, 32).substr(4 + 49),
              "70 77 7E 85 8C 93 9A A1 A8 AF B6 BD C4 CB D2 D9 \n\n+++\n");
    std::string largest = dumped(bytes, MAX_REPORT_SIZE);
    EXPECT_EQ(largest.size(), 4 + 63 * 49 + 12 * 3 + 5U);
    EXPECT_EQ(dumped(bytes, MAX_REPORT_SIZE + 40), largest);
}

} // namespace
