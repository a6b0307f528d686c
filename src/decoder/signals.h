// The signals station-decode listens to, as flags its loop looks at: SIGINT and SIGTERM stop it
// with a deadline, SIGUSR1 asks for statistics, SIGHUP is ignored (or, for a program with
// something to re-read, asks for that).
#pragma once

#include <csignal>

// How long output may stay blocked after SIGINT or SIGTERM.
constexpr unsigned int DEADLINE_SECONDS = 1;

extern volatile sig_atomic_t stopRequested;
extern volatile sig_atomic_t deadlinePassed;
extern volatile sig_atomic_t statisticsRequested;
extern volatile sig_atomic_t reloadRequested;

// SIGHUP is ignored unless reloads: then it sets reloadRequested.
void installSignals(bool reloads = false);
