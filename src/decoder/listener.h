// station-decode listen: the UDP socket, the signals that end it, batched receiving; the
// decoded lines go to standard output or to a program that takes them in itself.
#pragma once

#include "options.h"
#include "output.h"

// What takes the decoded lines, and what it does between batches.
class Consumer : public Destination {
  public:
    // After each wait for datagrams and the lines it brought, at monotonic milliseconds
    // nowMs. False stops the receiving, as a stop signal does.
    virtual bool turn(long nowMs) {
        (void)nowMs;
        return true;
    }
    // Its own statistics, told after the receiver's.
    virtual void statistics() {}
    // The socket is bound: datagrams sent from now on are received.
    virtual void listening() {}
    // A stop signal ended the receiving; what is queued is counted, what was decoded told.
    virtual void stopping() {}
    // True when SIGHUP asks for reload() rather than being ignored.
    virtual bool reloads() const { return false; }
    virtual void reload() {}
    // True when the lines of several receives may be held and handed over together (for a
    // while: a reader still sees them at once), as each hand-over costs a system call.
    virtual bool gathers() const { return false; }
};

// Receives and decodes until the count is reached, SIGINT/SIGTERM, or the consumer stops it,
// the lines handed to consumer. Returns the exit status.
int listenLoop(const Options &options, Consumer &consumer);
// The same, the lines written to standard output.
int listenLoop(const Options &options);
