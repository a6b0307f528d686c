#include "listener.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "tally.h"

namespace {

constexpr int BATCH = 64;
// Room for the largest report and more: a datagram cut short here is refused for its length.
constexpr int RECEIVE_SIZE = 2048;
// Room for the receive time and the drop counter the kernel attaches to each datagram.
constexpr size_t CONTROL_SIZE = CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t));
// The longest wait for a datagram: statistics, held-back refusals and drops of a --count run
// are looked at least this often.
constexpr int TICK_MS = 1000;
// How long output may stay blocked after SIGINT or SIGTERM.
constexpr unsigned int DEADLINE_SECONDS = 1;

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t deadlinePassed = 0;
volatile sig_atomic_t statisticsRequested = 0;

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

// None of them restarts what it interrupts: a write blocked by the reader returns, and the
// loop looks at the flags.
void installSignals() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = passDeadline;
    sigaction(SIGALRM, &action, nullptr);
    action.sa_handler = requestStatistics;
    sigaction(SIGUSR1, &action, nullptr);
    // Nothing to reopen: a hang-up of the terminal leaves it running.
    signal(SIGHUP, SIG_IGN);
}

long nowMs(clockid_t clock = CLOCK_MONOTONIC) {
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

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

// Opens the UDP socket and binds it. Returns the descriptor, or -1 with the reason on stderr.
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
        granted = sizeReceiveBuffer(fd, options.receiveBuffer);
        if (options.reusePort) {
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        }
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
    // The first line tells the port; readers wait for it.
    fprintf(stderr, "station-decode: listening on %s\n", addressText(bound).c_str());
    if (granted < options.receiveBuffer) {
        fprintf(stderr,
                "station-decode: warning: receive buffer is %d bytes, not the %ld asked: "
                "net.core.rmem_max caps it (sysctl -w net.core.rmem_max=%ld)\n",
                granted, options.receiveBuffer, options.receiveBuffer);
    }
    return fd;
}

// The datagrams the kernel dropped on fd since it was opened, or -1 if it cannot tell.
long socketDrops(int fd) {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        return -1;
    }
    return memory[SK_MEMINFO_DROPS];
}

// Everything one recvmmsg call fills.
struct Batch {
    std::vector<uint8_t> buffers = std::vector<uint8_t>(static_cast<size_t>(BATCH) * RECEIVE_SIZE);
    mmsghdr messages[BATCH];
    iovec vectors[BATCH];
    sockaddr_storage senders[BATCH];
    alignas(cmsghdr) uint8_t controls[BATCH][CONTROL_SIZE];

    // Takes up to want datagrams waiting on fd. Returns how many, or -1.
    int receive(int fd, unsigned int want) {
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
        return recvmmsg(fd, messages, want, MSG_DONTWAIT, nullptr);
    }
};

// What the kernel said about one datagram: when it came, and the drops before it (-1: none).
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

// A sender's text and counts, looked up once for a run of datagrams from one sender and port;
// the receive time's text made once per millisecond.
class Senders {
  public:
    Senders(Tally &tally, const std::vector<Network> &allowed) : tally_(tally), allowed_(allowed) {}

    void look(const sockaddr_storage &sender, socklen_t length) {
        if (length != lastLength_ || memcmp(&sender, &last_, length) != 0) {
            memcpy(&last_, &sender, length);
            lastLength_ = length;
            text_ = addressText(sender);
            Source source = sourceOf(sender);
            entry_ = tally_.of(source);
            allowedNow_ = allowed_.empty() ||
                          std::any_of(allowed_.begin(), allowed_.end(),
                                      [&](const Network &n) { return contains(n, source); });
        }
    }
    const ReceivedText &at(const timeval &when) {
        long ms = static_cast<long>(when.tv_sec) * 1000 + when.tv_usec / 1000;
        if (ms != lastMs_) {
            lastMs_ = ms;
            received_ = receivedText(timespec{when.tv_sec, (when.tv_usec / 1000) * 1000000});
        }
        return received_;
    }
    const std::string &text() const { return text_; }
    SourceEntry *entry() const { return entry_; }
    bool allowed() const { return allowedNow_; }

  private:
    Tally &tally_;
    const std::vector<Network> &allowed_;
    sockaddr_storage last_{};
    socklen_t lastLength_ = 0;
    std::string text_;
    SourceEntry *entry_ = nullptr;
    bool allowedNow_ = true;
    long lastMs_ = -1;
    ReceivedText received_{};
};

void decodeBatch(Batch &batch, int got, Senders &senders, Output &out, Tally &tally) {
    long now = nowMs();
    timeval fallback{};
    gettimeofday(&fallback, nullptr);
    for (int i = 0; i < got; ++i) {
        msghdr &header = batch.messages[i].msg_hdr;
        timeval when = fallback;
        long drops;
        readControl(header, when, drops);
        tally.dropped = std::max(tally.dropped, drops);
        senders.look(batch.senders[i], header.msg_namelen);
        const std::string &from = senders.text();
        if (!senders.allowed()) {
            tally.refuse(senders.entry(), from, "sender not allowed", now);
        } else if ((header.msg_flags & MSG_TRUNC) != 0) {
            tally.refuse(senders.entry(), from, "longer than any report", now);
        } else {
            decodeOne(static_cast<const uint8_t *>(batch.vectors[i].iov_base),
                      static_cast<int>(batch.messages[i].msg_len),
                      Arrival{from, from, senders.entry(), senders.at(when), now}, out, tally);
        }
    }
}

// The run's clock and what is due on it: statistics when asked or every --stats seconds.
class Schedule {
  public:
    Schedule(const Options &options, const Tally &tally, const Output &out)
        : every_(options.statsSeconds * 1000), start_(nowMs()), next_(start_ + every_),
          tally_(tally), out_(out) {}

    // Prints the statistics if they are due.
    void statistics(long now) {
        bool due = every_ > 0 && now >= next_;
        if (statisticsRequested == 0 && !due) {
            return;
        }
        statisticsRequested = 0;
        if (due) {
            next_ += every_ * ((now - next_) / every_ + 1);
        }
        tally_.printStatistics(static_cast<double>(now - start_) / 1000, out_);
    }
    // How long to wait for a datagram.
    int timeout(long now) const {
        long wait = every_ > 0 ? std::min<long>(TICK_MS, std::max(0L, next_ - now)) : TICK_MS;
        return static_cast<int>(wait);
    }

  private:
    long every_;
    long start_;
    long next_;
    const Tally &tally_;
    const Output &out_;
};

// A write blocked by the reader: statistics asked meanwhile are printed, and it is given up
// once the deadline after a stop signal has passed.
class BlockedWrite : public Interruption {
  public:
    explicit BlockedWrite(Schedule &schedule) : schedule_(schedule) {}
    bool giveUp() override {
        schedule_.statistics(nowMs());
        return deadlinePassed != 0;
    }

  private:
    Schedule &schedule_;
};

// How many datagrams to take at once: a whole batch, or what remains of a --count limit.
unsigned int batchSize(long limit, long taken) {
    if (limit > 0 && limit - taken < BATCH) {
        return static_cast<unsigned int>(limit - taken);
    }
    return BATCH;
}

// Counts the datagrams still queued on fd when a stop came: not decoded, but not unsaid.
long countQueued(int fd, Batch &batch) {
    long queued = 0;
    long until = nowMs() + 100; // a flood still arriving must not hold the stop
    int got;
    while (nowMs() < until && (got = batch.receive(fd, BATCH)) > 0) {
        queued += got;
    }
    return queued;
}

// The summary, and what it means for the exit status: 1 when anything was lost.
int finish(const Tally &tally, const Output &out) {
    if (deadlinePassed != 0) {
        // The summary must not block on a stuck log reader either.
        alarm(DEADLINE_SECONDS);
    }
    if (out.lost() > 0) {
        fprintf(stderr, "station-decode: output blocked at the end: %ld records not written\n",
                out.lost());
    }
    tally.printSummary(out);
    return tally.dropped > 0 || out.lost() > 0 ? 1 : 0;
}

} // namespace

int listenLoop(const Options &options) {
    installSignals();
    int fd = openListener(options.at, options);
    if (fd < 0) {
        return 1;
    }
    Output out(options.json, options.heartbeats);
    Tally tally;
    Schedule schedule(options, tally, out);
    BlockedWrite blocked(schedule);
    out.appendHeader();
    Batch batch;
    Senders senders(tally, options.allowed);
    long received = 0;
    bool ok = out.flush(&blocked);
    int error = errno;
    while (ok && stopRequested == 0 &&
           (options.count == 0 || received + tally.dropped < options.count)) {
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, 1, schedule.timeout(nowMs()));
        if (ready > 0) {
            int got = batch.receive(fd, batchSize(options.count, received + tally.dropped));
            if (got > 0) {
                received += got;
                decodeBatch(batch, got, senders, out, tally);
            }
            ok = out.flush(&blocked);
            error = errno;
        } else {
            tally.dropped = std::max(tally.dropped, socketDrops(fd));
        }
        long now = nowMs();
        tally.tellHeldBack(now);
        schedule.statistics(now);
    }
    long queued = stopRequested != 0 ? countQueued(fd, batch) : 0;
    tally.dropped = std::max(tally.dropped, socketDrops(fd));
    close(fd);
    if (queued > 0) {
        fprintf(stderr, "station-decode: %ld datagrams still queued at the stop, not decoded\n",
                queued);
    }
    tally.tellHeldBack(-1);
    if (!ok && !(error == EINTR && stopRequested != 0)) {
        return outputFailed(tally, out, strerror(error));
    }
    return finish(tally, out);
}
