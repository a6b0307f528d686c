// The listening socket: opened above the standard descriptors, with the receive buffer asked
// for and the receive time and drop counter on every datagram; batches taken with recvmmsg.
#pragma once

#include <cstdint>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

#include "options.h"

constexpr int BATCH = 64;
// Room for the largest report and more: a datagram cut short here is refused for its length.
constexpr int RECEIVE_SIZE = 2048;
// Room for the receive time and the drop counter the kernel attaches to each datagram.
constexpr size_t CONTROL_SIZE = CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t));

// Opens the UDP socket and binds it. Returns the descriptor, or -1 with the reason on stderr.
int openListener(ListenAddress at, const Options &options);

// The datagrams the kernel dropped on fd since it was opened, or -1 if it cannot tell.
long socketDrops(int fd);

// Everything one recvmmsg call fills.
struct Batch {
    std::vector<uint8_t> buffers = std::vector<uint8_t>(static_cast<size_t>(BATCH) * RECEIVE_SIZE);
    mmsghdr messages[BATCH];
    iovec vectors[BATCH];
    sockaddr_storage senders[BATCH];
    alignas(cmsghdr) uint8_t controls[BATCH][CONTROL_SIZE];

    // Takes up to want datagrams waiting on fd. Returns how many, or -1.
    int receive(int fd, unsigned int want);
};

// What the kernel said about one datagram: when it came, and the drops before it (-1: none).
void readControl(msghdr &header, timeval &when, long &drops);
