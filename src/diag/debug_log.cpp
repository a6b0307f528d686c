#include "debug_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

int32_t debugLevel = DEFAULT_DEBUG_LEVEL;
uint8_t logToStdout = 0;

namespace {

// Longer messages are truncated; the longest the program writes is well under this.
constexpr int MESSAGE_CAPACITY = 256;

} // namespace

void openDebugLog(const char *program) {
    const char *name = program;
    for (const char *c = program; *c != '\0'; ++c) {
        if (*c == '/') {
            name = c + 1;
        }
    }
    openlog(name, 0, LOG_USER);
}

void debugLog(int32_t category, const char *function, int line, const char *format, ...) {
    if ((debugLevel & category) == 0) {
        return;
    }
    char message[MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);

    if (logToStdout != 0) {
        // Best-effort: a closed or broken stdout must not stop the run.
        printf("%s | %d: %s\n", function, line, message);
        fflush(stdout);
    }
    // The text is passed as an argument so that no '%' in it is read as a directive.
    syslog(LOG_WARNING, "%s", message);
}
