#include "presence_notify.h"

#include <algorithm>
#include <systemd/sd-daemon.h>

namespace presence {

namespace {

// A failure to tell the manager is not the program's: it keeps following either way.
void notify(const std::string &state) {
    sd_notify(0, state.c_str());
}

// A status is one line: a newline would start another assignment.
std::string statusLine(const std::string &status) {
    std::string line = "STATUS=" + status;
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

} // namespace

void notifyReady(const std::string &status) {
    notify("READY=1\n" + statusLine(status));
}

void notifyStatus(const std::string &status) {
    notify(statusLine(status));
}

void notifyReloading() {
    notify("RELOADING=1");
}

void notifyStopping() {
    notify("STOPPING=1");
}

bool StatusCadence::due(Millis monotonic) {
    if (told_ && monotonic - last_ < kEvery) {
        return false;
    }
    told_ = true;
    last_ = monotonic;
    return true;
}

} // namespace presence
