#include "udp_socket.h"

#include "tally.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <unistd.h>

namespace {

// Asks for bytes of receive buffer. Returns what the kernel granted.
int sizeReceiveBuffer(int fd, long bytes) {
    const int asked = static_cast<int>(bytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    // The kernel reports twice what it grants, its bookkeeping included.
    return granted / 2;
}

// Moves fd above the standard descriptors, so that a closed stdout or stderr is never
// written into the socket. Returns the new descriptor, or -1.
int aboveStandard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

} // namespace

int openListener(ListenAddress at, const Options &options) {
    int fd = aboveStandard(socket(at.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd < 0 && errno == EAFNOSUPPORT && at.everyAddress) {
        // A kernel without IPv6: every IPv4 address, then.
        auto &v4 = reinterpret_cast<sockaddr_in &>(at.address);
        uint16_t port = reinterpret_cast<sockaddr_in6 &>(at.address).sin6_port;
        at.address = sockaddr_storage{};
        v4.sin_family = AF_INET;
        v4.sin_port = port;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        at.length = sizeof v4;
        fd = aboveStandard(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    }
    const auto *address = reinterpret_cast<const sockaddr *>(&at.address);
    const int on = 1;
    const int off = 0;
    int granted = 0;
    if (fd >= 0) {
        if (address->sa_family == AF_INET6) {
            // Without an address, one socket takes IPv4 senders too.
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        }
        setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
        // A receive given a timeout is never restarted after a signal, whatever SA_RESTART says.
        const timeval wait{0, static_cast<suseconds_t>(RECEIVE_WAIT_MS) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        granted = sizeReceiveBuffer(fd, options.receiveBuffer);
        if (options.reusePort) {
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        }
    }
    if (fd < 0 || bind(fd, address, at.length) != 0) {
        fprintf(stderr, "%s: cannot listen on %s: %s\n", programName,
                addressText(at.address).c_str(), strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    // The first line tells the port; readers wait for it.
    fprintf(stderr, "%s: listening on %s\n", programName, addressText(bound).c_str());
    if (granted < options.receiveBuffer) {
        fprintf(stderr,
                "%s: warning: receive buffer is %d bytes, not the %ld asked: "
                "net.core.rmem_max caps it (sysctl -w net.core.rmem_max=%ld)\n",
                programName, granted, options.receiveBuffer, options.receiveBuffer);
    }
    return fd;
}

long longestReceiveWaitUs() {
    static const long longest = [] {
        int fd = aboveStandard(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const timeval wait{0, static_cast<suseconds_t>(RECEIVE_WAIT_MS) * 1000};
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
            if (fd >= 0) {
                close(fd);
            }
            return 1000000L; // unknown: never trusted to end in time
        }
        // The first wait ends on a tick, so each after it starts on one and waits the longest.
        long longestUs = 0;
        char byte = 0;
        for (int i = 0; i < 4; ++i) {
            timespec start{};
            timespec end{};
            clock_gettime(CLOCK_MONOTONIC, &start);
            while (recv(fd, &byte, 1, 0) < 0 && errno == EINTR) {
            }
            clock_gettime(CLOCK_MONOTONIC, &end);
            const long us =
                (end.tv_sec - start.tv_sec) * 1000000 + (end.tv_nsec - start.tv_nsec) / 1000;
            longestUs = i > 0 ? std::max(longestUs, us) : 0;
        }
        close(fd);
        return longestUs;
    }();
    return longest;
}

long socketDrops(int fd) {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        return -1;
    }
    return memory[SK_MEMINFO_DROPS];
}

int Batch::receive(int fd, unsigned int want, bool wait) {
    for (unsigned int i = 0; i < want; ++i) {
        vectors[i] = {buffers.data() + static_cast<size_t>(i) * RECEIVE_SIZE, RECEIVE_SIZE};
        messages[i].msg_hdr = msghdr{};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls[i];
        messages[i].msg_hdr.msg_controllen = CONTROL_SIZE;
    }
    return recvmmsg(fd, messages, want, wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
}

void readControl(msghdr &header, timeval &when, long &drops) {
    drops = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (c->cmsg_type == SO_TIMESTAMP) {
            memcpy(&when, CMSG_DATA(c), sizeof when);
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t count;
            memcpy(&count, CMSG_DATA(c), sizeof count);
            drops = count;
        }
    }
}
