// station-decode: the receiving end of station-reporter. Listens for report datagrams on UDP,
// or reads the reporter's hex dumps, and prints one line per record, as CSV or JSON lines.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "dump_reader.h"
#include "listener.h"
#include "options.h"

int main(int argc, char **argv) {
    Options options;
    int parsed = parseOptions(argc, argv, options);
    if (parsed != 0) {
        return parsed > 0 ? 0 : 2;
    }
    // Nothing would be printed, and a socket could take the descriptor: refuse to start.
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        fprintf(stderr, "station-decode: cannot write output: %s\n", strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    return options.listen ? listenLoop(options) : dumpLoop(options);
}
