// station-reporter: reads up to 18 observation lines from stdin, prints the report as a
// hex dump and sends it once as a UDP datagram.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "command_line.h"
#include "debug_log.h"
#include "observation_reader.h"
#include "record_collector.h"
#include "report_sender.h"

namespace {

// A closed standard descriptor would be reused by the next socket opened, the system
// log's among them, and stdout's text would go into it; /dev/null takes its place. Opening
// it until it lands above 2 fills every closed one (the last stays open for the run).
void occupyStandardDescriptors() {
    int fd;
    do {
        // Best-effort: without /dev/null there is nothing better to put there.
        fd = open("/dev/null", O_RDWR);
    } while (fd >= 0 && fd <= 2);
}

} // namespace

int main(int argc, char **argv) {
    occupyStandardDescriptors();
    // Standard output is diagnostic; a reader that goes away must not stop the report.
    signal(SIGPIPE, SIG_IGN);

    Settings settings;
    if (parseCommandLine(argc, argv, settings) != 0) {
        showUsage(argv[0]);
        return 1;
    }
    if (settings.request != Request::Run) {
        settings.request == Request::Version ? showVersion() : showUsage(argv[0]);
        return 0;
    }
    openDebugLog(argv[0]);
    logToStdout = settings.mirror ? 1 : 0;
    if (settings.levelGiven) {
        debugLevel = settings.level;
        DEBUG_LOG(DBG_TRACE, "Set debug level as %X", static_cast<unsigned>(debugLevel));
    }

    StationRecord records[MAX_RECORDS];
    InputReader input;
    initInputReader(input, STDIN_FILENO);
    int count = collectRecords(input, records);
    // Input after the last record used stays for whoever reads it next.
    releaseUnread(input);

    sendReport(settings.host, settings.port, records, count);
    return 0;
}
