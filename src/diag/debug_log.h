// Category-filtered diagnostics: the system log always, standard output on request.
#pragma once

#include <stdint.h>

// Bit mask of the enabled categories; the command line may replace the default.
extern int32_t debugLevel;
// Non-zero: every admitted message is also written to standard output.
extern uint8_t logToStdout;

constexpr int32_t DBG_ERROR = 0x1;
constexpr int32_t DBG_TRACE = 0x4;
constexpr int32_t DEFAULT_DEBUG_LEVEL = 3;

// Names the program in every system-log message by the base name of its invocation, with the
// user facility. glibc does so by default, musl names nothing unless told; call it before the
// first message. program must outlive the run (argv[0] does).
void openDebugLog(const char *program);

// Emits the message when category is enabled in debugLevel: mirrored to stdout behind
// "function | line: " when logToStdout is set, and always to syslog at LOG_WARNING.
void debugLog(int32_t category, const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Logs on behalf of the calling function and source line.
#define DEBUG_LOG(category, ...) debugLog((category), __func__, __LINE__, __VA_ARGS__)
