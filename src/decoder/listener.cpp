#include "listener.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include "tally.h"

namespace {

constexpr int BATCH = 64;
// Room for the largest report and more: a datagram cut short here is refused for its length.
constexpr int RECEIVE_SIZE = 2048;
constexpr int RECEIVE_BUFFER = 4 << 20;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

// Opens the UDP socket and binds it. Returns the descriptor, or -1 with the reason on stderr.
int openListener(ListenAddress at, bool reusePort) {
    int fd = socket(at.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 && errno == EAFNOSUPPORT && at.everyAddress) {
        // A kernel without IPv6: every IPv4 address, then.
        auto &v4 = reinterpret_cast<sockaddr_in &>(at.address);
        uint16_t port = reinterpret_cast<sockaddr_in6 &>(at.address).sin6_port;
        at.address = sockaddr_storage{};
        v4.sin_family = AF_INET;
        v4.sin_port = port;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        at.length = sizeof v4;
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    const auto *address = reinterpret_cast<const sockaddr *>(&at.address);
    const int on = 1;
    const int off = 0;
    if (fd >= 0 && address->sa_family == AF_INET6) {
        // Without an address, one socket takes IPv4 senders too.
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (fd >= 0) {
        // Room for bursts: the kernel caps this at net.core.rmem_max. Best-effort.
        const int bytes = RECEIVE_BUFFER;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    if (fd >= 0 && reusePort) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    }
    if (fd < 0 || bind(fd, address, at.length) != 0) {
        fprintf(stderr, "station-decode: cannot listen on %s: %s\n",
                addressText(at.address).c_str(), strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    fprintf(stderr, "station-decode: listening on %s\n", addressText(bound).c_str());
    return fd;
}

// Waits until fd is readable or a stop signal arrives; the signals are blocked everywhere
// else, so none can slip in between the check and the wait.
bool waitReadable(int fd, const sigset_t &unblocked) {
    pollfd entry{fd, POLLIN, 0};
    while (stopRequested == 0) {
        if (ppoll(&entry, 1, nullptr, &unblocked) > 0) {
            return true;
        }
    }
    return false;
}

// How many datagrams to take at once: a whole batch, or what remains of a --count limit.
unsigned int batchSize(long limit, long received) {
    if (limit > 0 && limit - received < BATCH) {
        return static_cast<unsigned int>(limit - received);
    }
    return BATCH;
}

// Everything one recvmmsg call fills.
struct Batch {
    std::vector<uint8_t> buffers = std::vector<uint8_t>(static_cast<size_t>(BATCH) * RECEIVE_SIZE);
    mmsghdr messages[BATCH];
    iovec vectors[BATCH];
    sockaddr_storage senders[BATCH];

    // Takes up to want datagrams waiting on fd. Returns how many, or -1.
    int receive(int fd, unsigned int want) {
        for (unsigned int i = 0; i < want; ++i) {
            vectors[i] = {buffers.data() + static_cast<size_t>(i) * RECEIVE_SIZE, RECEIVE_SIZE};
            messages[i].msg_hdr = msghdr{};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        return recvmmsg(fd, messages, want, MSG_DONTWAIT, nullptr);
    }
};

// The sender's text, made once for a run of datagrams from one sender.
class SenderText {
  public:
    const std::string &of(const sockaddr_storage &sender, socklen_t length) {
        if (length != lastLength_ || memcmp(&sender, &last_, length) != 0) {
            memcpy(&last_, &sender, length);
            lastLength_ = length;
            text_ = addressText(sender);
        }
        return text_;
    }

  private:
    sockaddr_storage last_{};
    socklen_t lastLength_ = 0;
    std::string text_;
};

void decodeBatch(Batch &batch, int got, SenderText &senders, Output &out, Tally &tally) {
    for (int i = 0; i < got; ++i) {
        const msghdr &header = batch.messages[i].msg_hdr;
        const std::string &from = senders.of(batch.senders[i], header.msg_namelen);
        if ((header.msg_flags & MSG_TRUNC) != 0) {
            fprintf(stderr, "station-decode: %s: longer than any report\n", from.c_str());
            ++tally.refused;
            continue;
        }
        decodeOne(static_cast<const uint8_t *>(batch.vectors[i].iov_base),
                  static_cast<int>(batch.messages[i].msg_len), from, from, out, tally);
    }
}

} // namespace

int listenLoop(const Options &options) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t unblocked;
    sigprocmask(SIG_BLOCK, &stops, &unblocked);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int fd = openListener(options.at, options.reusePort);
    if (fd < 0) {
        return 1;
    }
    Output out(options.json);
    out.appendText(options.json ? "" : CSV_HEADER);
    if (!out.flush()) {
        close(fd);
        return outputFailed(Tally{});
    }
    Batch batch;
    SenderText senders;
    Tally tally;
    long received = 0;
    while ((options.count == 0 || received < options.count) && waitReadable(fd, unblocked)) {
        int got = batch.receive(fd, batchSize(options.count, received));
        decodeBatch(batch, got, senders, out, tally);
        received += got > 0 ? got : 0;
        if (!out.flush()) {
            return outputFailed(tally);
        }
    }
    close(fd);
    printSummary(tally);
    return 0;
}
