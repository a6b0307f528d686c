#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>

#include "debug_log.h"
#include "record_collector.h"
#include "report_layout.h"

namespace {

// Observation lines timestamped first to last.
std::string lines(int first, int last) {
    std::string text;
    for (int ts = first; ts <= last; ++ts) {
        text += "A0B1C2D3E4F5,0a1b2c3d4e5f," + std::to_string(ts) + ",-60,6,54,1\n";
    }
    return text;
}

std::string skips(int first, int last) {
    std::string text;
    for (int n = first; n <= last; ++n) {
        text += "collectRecords | N: Skip malformed line " + std::to_string(n) + "\n";
    }
    return text;
}

// Collects from fd with the log mask level mirrored on stdout. Returns the mirrored lines,
// their line numbers as N, or "timestamps out of order" when the records are not those
// timestamped 1 to count.
std::string collectFrom(int fd, int32_t level, int &count) {
    debugLevel = level;
    logToStdout = 1;
    InputReader input;
    initInputReader(input, fd);
    StationRecord records[MAX_RECORDS];
    testing::internal::CaptureStdout();
    count = collectRecords(input, records);
    std::string out = testing::internal::GetCapturedStdout();
    debugLevel = DEFAULT_DEBUG_LEVEL;
    logToStdout = 0;
    for (int i = 0; i < count; ++i) {
        if (getBe32(records[i].bytes + RECORD_TIMESTAMP) != static_cast<uint32_t>(i + 1)) {
            return "timestamps out of order";
        }
    }
    return std::regex_replace(out, std::regex(R"((\w+) \| \d+: )"), "$1 | N: ");
}

TEST(CollectRecords, TracesKeepsAtMostEighteenAndCountsSkips) {
    const std::string traces = "traceObservation | N: apmac = A0B1C2D3E4F5\n"
                               "traceObservation | N: mumac = 0a1b2c3d4e5f\n"
                               "traceObservation | N: timestamp = 1\n"
                               "traceObservation | N: rssi = -60\n"
                               "traceObservation | N: channel = 6\n"
                               "traceObservation | N: rate = 54\n"
                               "traceObservation | N: assoc = 1\n";
    std::string tenBad;
    for (int i = 0; i < 10; ++i) {
        tenBad += "bad\n";
    }
    const struct {
        std::string input;
        int32_t level;
        int count;
        std::string log;
    } cases[] = {
        {"", 7, 0, ""},
        {lines(1, 1), 7, 1, traces},
        {lines(1, 1), 3, 1, ""},
        {lines(1, 20), 3, 18, ""},
        // Blank lines are counted but neither kept nor skipped.
        {"bad\n" + lines(1, 1) + "\n \r\nbad\n", 7, 1, skips(1, 1) + traces + skips(5, 5)},
        {tenBad + lines(1, 1), 1, 1, skips(1, 10)},
        {tenBad + "bad\nbad\nbad\n" + lines(1, 1), 1, 1,
         skips(1, 10) + "collectRecords | N: Skip 3 more malformed lines\n"},
        // Lines after the eighteenth record are not read: their damage goes unlogged.
        {lines(1, 18) + "bad\n", 1, 18, ""},
    };
    for (const auto &c : cases) {
        FILE *file = std::tmpfile();
        std::fwrite(c.input.data(), 1, c.input.size(), file);
        std::fflush(file);
        lseek(fileno(file), 0, SEEK_SET);
        int count = -1;
        EXPECT_EQ(collectFrom(fileno(file), c.level, count), c.log) << c.input;
        EXPECT_EQ(count, c.count) << c.input;
        std::fclose(file);
    }
}

TEST(CollectRecords, AFailedReadEndsTheInputWithAnError) {
    // A directory reads as EISDIR: the input must not pass for an empty one.
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int count = -1;
    EXPECT_EQ(collectFrom(fd, DBG_ERROR, count), "collectRecords | N: Can not read input\n");
    EXPECT_EQ(count, 0);
    close(fd);
}

} // namespace
