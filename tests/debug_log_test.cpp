#include <gtest/gtest.h>

#include <string>

#include "debug_log.h"

namespace {

struct LogCase {
    int32_t level;
    int32_t category;
    uint8_t mirror;
    bool shown;
};

TEST(DebugLog, FiltersByCategoryAndMirrorsWithPrefix) {
    const LogCase cases[] = {
        {3, DBG_ERROR, 1, true},  {3, DBG_TRACE, 1, false}, {4, DBG_TRACE, 1, true},
        {4, DBG_ERROR, 1, false}, {7, DBG_TRACE, 1, true},  {0, DBG_ERROR, 1, false},
        {-1, DBG_TRACE, 1, true}, {7, DBG_ERROR, 0, false}, {2, DBG_ERROR, 1, false},
    };
    for (const LogCase &c : cases) {
        debugLevel = c.level;
        logToStdout = c.mirror;
        testing::internal::CaptureStdout();
        debugLog(c.category, "sendReport", 42, "Can not %s %d%%", "sendto", 7);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.shown ? "sendReport | 42: Can not sendto 7%\n" : "")
            << "level " << c.level << " category " << c.category;
    }
    debugLevel = DEFAULT_DEBUG_LEVEL;
    logToStdout = 0;
}

// Logs through the macro and returns the line it logged from.
int logRate() {
    int line = __LINE__ + 1;
    DEBUG_LOG(DBG_TRACE, "rate = %d", 54);
    return line;
}

TEST(DebugLog, MacroNamesTheCallingFunctionAndLine) {
    debugLevel = DBG_TRACE;
    logToStdout = 1;
    testing::internal::CaptureStdout();
    int line = logRate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "logRate | " + std::to_string(line) + ": rate = 54\n");
    debugLevel = DEFAULT_DEBUG_LEVEL;
    logToStdout = 0;
}

} // namespace
