// What station-presence does for each mode of its command line.
#pragma once

#include "presence_options.h"

namespace presence {

// Follows station-decode's lines on standard input until they end or SIGINT/SIGTERM.
// Returns the exit status.
int runFollow(const Options &o);
// Receives the access points' datagrams itself (--listen) until SIGINT/SIGTERM. Returns the
// exit status.
int runListen(const Options &o);
// Prints a table of the database, or writes the page. Returns the exit status.
int runQuery(const Options &o);

} // namespace presence
