// station-presence: who is here, where and since when, from station-decode's lines on
// standard input; events on standard output, optionally an MQTT broker and a database.
#include "presence_commands.h"
#include "presence_options.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    presence::Options o;
    std::string out;
    std::string err;
    const int status = presence::parseCommandLine(argc, argv, o, out, err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    if (status >= 0) {
        return status;
    }
    if (!o.mode.empty()) {
        return presence::runQuery(o);
    }
    return o.receiver.listen ? presence::runListen(o) : presence::runFollow(o);
}
