// station-reporter: reads up to 18 observation lines from stdin, prints the report as a
// hex dump and sends it once as a UDP datagram.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "command_line.h"
#include "debug_log.h"
#include "observation_reader.h"
#include "report_format.h"
#include "report_sender.h"

namespace {

// A closed standard descriptor would be reused by the next socket opened, the system
// log's among them, and stdout's text would go into it; /dev/null takes its place.
void occupyStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            // Best-effort: without /dev/null there is nothing better to put there.
            open("/dev/null", O_RDWR);
        }
    }
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
    openDebugLog(argv[0]);
    logToStdout = settings.mirror ? 1 : 0;
    if (settings.levelGiven) {
        debugLevel = settings.level;
        DEBUG_LOG(DBG_TRACE, "Set debug level as %X", static_cast<unsigned>(debugLevel));
    }

    StationRecord records[MAX_RECORDS] = {};
    Observation obs = {};
    uint8_t apMac[MAC_SIZE] = {};
    uint8_t muMac[MAC_SIZE] = {};
    InputReader input;
    initInputReader(input, STDIN_FILENO);
    int count = 0;
    int lineNumber = 0;
    while (count < MAX_RECORDS) {
        NextLine next = nextObservation(input, obs, lineNumber);
        if (next == NextLine::End) {
            break;
        }
        if (next == NextLine::Malformed) {
            DEBUG_LOG(DBG_ERROR, "Skip malformed line %d", lineNumber);
            continue;
        }
        DEBUG_LOG(DBG_TRACE, "apmac = %s", obs.apmac);
        DEBUG_LOG(DBG_TRACE, "mumac = %s", obs.mumac);
        DEBUG_LOG(DBG_TRACE, "timestamp = %d", obs.timestamp);
        DEBUG_LOG(DBG_TRACE, "rssi = %d", obs.rssi);
        DEBUG_LOG(DBG_TRACE, "channel = %d", obs.channel);
        DEBUG_LOG(DBG_TRACE, "rate = %d", obs.rate);
        DEBUG_LOG(DBG_TRACE, "assoc = %d", obs.assoc);
        // Both texts were checked to be 12 hex digits, so these cannot fail.
        parseMac(obs.apmac, apMac);
        parseMac(obs.mumac, muMac);
        encodeRecord(records[count], apMac, muMac, obs.timestamp, obs.rssi, obs.channel, obs.assoc);
        ++count;
    }
    // Input after the last record used stays for whoever reads it next.
    releaseUnread(input);

    sendReport(settings.host, settings.port, records, count);
    return 0;
}
