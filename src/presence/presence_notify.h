// Telling the service manager how the follower is doing (systemd's Type=notify): ready once its
// input is open, its counters as the unit's status, stopping and reloading. Every call does
// nothing when the program was not started by a service manager ($NOTIFY_SOCKET unset).
#pragma once

#include "presence_state.h"

#include <string>

namespace presence {

// The input is open (or the socket bound): `systemctl start` may return.
void notifyReady(const std::string &status);
// The counters line as the unit's status (`systemctl status`, StatusText).
void notifyStatus(const std::string &status);
// A SIGHUP re-read begins; notifyReady() again once it is done.
void notifyReloading();
// A stop was asked: what is left is written before the program ends.
void notifyStopping();

// Whether the status is due again: at most once every five seconds, the first time at once.
class StatusCadence {
  public:
    bool due(Millis monotonic);

  private:
    static constexpr Millis kEvery = 5000;
    Millis last_ = 0;
    bool told_ = false;
};

} // namespace presence
