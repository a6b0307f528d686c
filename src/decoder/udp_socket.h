// The listening socket: opened above the standard descriptors, with the receive buffer asked
// for and the receive time and drop counter on every datagram; batches taken with recvmmsg.
#pragma once

#include <cstdint>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

#include "options.h"

constexpr int BATCH = 64;
// How long a receive that waits waits for a datagram before it gives up.
constexpr int RECEIVE_WAIT_MS = 1;
// Room for the largest report and more: a datagram cut short here is refused for its length.
constexpr int RECEIVE_SIZE = 2048;
// Room for the receive time and the drop counter the kernel attaches to each datagram.
constexpr size_t CONTROL_SIZE = CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t));

// Opens the UDP socket and binds it, its receives waiting RECEIVE_WAIT_MS. Returns the
// descriptor, or -1 with the reason on stderr.
int openListener(ListenAddress at, const Options &options);

// The longest a receive waiting RECEIVE_WAIT_MS takes, in microseconds: the kernel counts the
// wait in its clock ticks, rounded up (some 8 ms at 250 Hz). Measured once, on a socket of its
// own, at the first call (which takes a few such waits).
long longestReceiveWaitUs();

// The datagrams the kernel dropped on fd since it was opened, or -1 if it cannot tell.
long socketDrops(int fd);

// Everything one recvmmsg call fills.
struct Batch {
    std::vector<uint8_t> buffers = std::vector<uint8_t>(static_cast<size_t>(BATCH) * RECEIVE_SIZE);
    mmsghdr messages[BATCH];
    iovec vectors[BATCH];
    sockaddr_storage senders[BATCH];
    alignas(cmsghdr) uint8_t controls[BATCH][CONTROL_SIZE];

    // Takes up to want datagrams waiting on fd, when wait is true waiting up to
    // RECEIVE_WAIT_MS for the first. Returns how many, or -1 (EAGAIN: none came; EINTR: a
    // signal came first).
    int receive(int fd, unsigned int want, bool wait);
};

// What the kernel said about one datagram: when it came, and the drops before it (-1: none).
void readControl(msghdr &header, timeval &when, long &drops);
