// station-decode: the receiving end of station-reporter. Listens for report datagrams on UDP,
// or reads the reporter's hex dumps, and prints one line per record, as CSV or JSON lines.
#include <csignal>

#include "dump_reader.h"
#include "listener.h"
#include "options.h"

int main(int argc, char **argv) {
    Options options;
    if (parseOptions(argc, argv, options) != 0) {
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    return options.listen ? listenLoop(options) : dumpLoop(options);
}
