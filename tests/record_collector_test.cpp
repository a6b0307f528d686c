#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "debug_log.h"
#include "record_collector.h"
#include "report_layout.h"

namespace {

std::string line(int timestamp) {
    return "A0B1C2D3E4F5,0a1b2c3d4e5f," + std::to_string(timestamp) + ",-60,6,54,1\n";
}

std::string lines(int first, int last) {
    std::string text;
    for (int ts = first; ts <= last; ++ts) {
        text += line(ts);
    }
    return text;
}

std::string repeat(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::string skips(int first, int last) {
    std::string text;
    for (int n = first; n <= last; ++n) {
        text += "collectRecords | N: Skip malformed line " + std::to_string(n) + "\n";
    }
    return text;
}

struct Collected {
    std::vector<uint32_t> timestamps;
    std::string log; // mirrored lines, their line numbers as N
};

// Collects from fd with the given log mask mirrored on stdout.
Collected collectFrom(int fd, int32_t level) {
    debugLevel = level;
    logToStdout = 1;
    InputReader input;
    initInputReader(input, fd);
    StationRecord records[MAX_RECORDS];
    testing::internal::CaptureStdout();
    int count = collectRecords(input, records);
    std::string out = testing::internal::GetCapturedStdout();
    debugLevel = DEFAULT_DEBUG_LEVEL;
    logToStdout = 0;
    Collected got;
    for (int i = 0; i < count; ++i) {
        got.timestamps.push_back(getBe32(records[i].bytes + RECORD_TIMESTAMP));
    }
    got.log = std::regex_replace(out, std::regex(R"((\w+) \| \d+: )"), "$1 | N: ");
    return got;
}

// Collects from a file holding text.
Collected collect(const std::string &text, int32_t level) {
    FILE *file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
    lseek(fileno(file), 0, SEEK_SET);
    Collected got = collectFrom(fileno(file), level);
    std::fclose(file);
    return got;
}

std::vector<uint32_t> range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> out;
    for (uint32_t ts = first; ts <= last; ++ts) {
        out.push_back(ts);
    }
    return out;
}

TEST(CollectRecords, TracesKeepsAtMostEighteenAndCountsSkips) {
    const std::string traces = "traceObservation | N: apmac = A0B1C2D3E4F5\n"
                               "traceObservation | N: mumac = 0a1b2c3d4e5f\n"
                               "traceObservation | N: timestamp = 258\n"
                               "traceObservation | N: rssi = -60\n"
                               "traceObservation | N: channel = 6\n"
                               "traceObservation | N: rate = 54\n"
                               "traceObservation | N: assoc = 1\n";
    struct Case {
        std::string input;
        int32_t level;
        std::vector<uint32_t> timestamps;
        std::string log;
    } cases[] = {
        {"", 7, {}, ""},
        {line(258), 7, {258}, traces},
        {line(258), 3, {258}, ""},
        {lines(1, 20), 3, range(1, 18), ""},
        // Blank lines are counted but neither kept nor skipped.
        {"bad\n" + line(258) + "\n \r\nbad\n", 7, {258}, skips(1, 1) + traces + skips(5, 5)},
        {repeat("bad\n", 10) + line(5), 1, {5}, skips(1, 10)},
        {repeat("bad\n", 13) + line(5),
         1,
         {5},
         skips(1, 10) + "collectRecords | N: Skip 3 more malformed lines\n"},
        // Lines after the eighteenth record are not read: their damage goes unlogged.
        {lines(1, 18) + "bad\n", 1, range(1, 18), ""},
    };
    for (const Case &c : cases) {
        Collected got = collect(c.input, c.level);
        EXPECT_EQ(got.timestamps, c.timestamps) << c.input;
        EXPECT_EQ(got.log, c.log) << c.input;
    }
}

TEST(CollectRecords, AFailedReadEndsTheInputWithAnError) {
    // A directory reads as EISDIR: the input must not pass for an empty one.
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    Collected got = collectFrom(fd, DBG_ERROR);
    close(fd);
    EXPECT_EQ(got.timestamps, std::vector<uint32_t>{});
    EXPECT_EQ(got.log, "collectRecords | N: Can not read input\n");
}

} // namespace
