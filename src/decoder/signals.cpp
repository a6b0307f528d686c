#include "signals.h"

#include <unistd.h>

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t deadlinePassed = 0;
volatile sig_atomic_t statisticsRequested = 0;
volatile sig_atomic_t reloadRequested = 0;

namespace {

// The alarm also ends a wait the stop signal came just too late to interrupt.
void requestStop(int) {
    if (stopRequested == 0) {
        stopRequested = 1;
        alarm(DEADLINE_SECONDS);
    }
}

void passDeadline(int) {
    deadlinePassed = 1;
}

void requestStatistics(int) {
    statisticsRequested = 1;
}

void requestReload(int) {
    reloadRequested = 1;
}

} // namespace

// None of them restarts what it interrupts: a write blocked by the reader returns, and the
// loop looks at the flags.
void installSignals(bool reloads) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = passDeadline;
    sigaction(SIGALRM, &action, nullptr);
    action.sa_handler = requestStatistics;
    sigaction(SIGUSR1, &action, nullptr);
    if (reloads) {
        action.sa_handler = requestReload;
        sigaction(SIGHUP, &action, nullptr);
    } else {
        // Nothing to reopen: a hang-up of the terminal leaves it running.
        signal(SIGHUP, SIG_IGN);
    }
}
