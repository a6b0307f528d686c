#include "listener.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <unistd.h>

#include "signals.h"
#include "tally.h"
#include "udp_socket.h"

namespace {

// The longest wait for a datagram: statistics, held-back refusals and drops of a --count run
// are looked at least this often.
constexpr int TICK_MS = 1000;
// While datagrams come, the lines of several receives are written together, none held longer
// than HOLD_US: a reader of a pipe still sees them at once. A receive that waits for more takes
// one system call, but its wait is counted in the kernel's clock ticks: where the longest such
// wait leaves room in HOLD_US (at 250 Hz, Debian's, or more), lines are written once the first
// is that much and SLACK_US (the loop's own work) younger than HOLD_US, or when a receive gave
// up; elsewhere the wait is ppoll's, which ends on time, and they are written once the first
// is HOLD_US old but for SLACK_US.
constexpr long HOLD_US = 10000;
constexpr long SLACK_US = 500;

// How long lines may be held before they are written, and whether a receive may wait for more
// meanwhile.
struct HoldRule {
    long writeAfterUs;
    bool receiveWaits;
};
HoldRule holdRule() {
    const long writeAfter = HOLD_US - longestReceiveWaitUs() - SLACK_US;
    if (writeAfter >= 1000) {
        return {writeAfter, true};
    }
    return {HOLD_US - SLACK_US, false};
}

long nowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

long nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// A sender's text and counts, looked up once for a run of datagrams from one sender and port;
// the receive time's text made once per millisecond.
class Senders {
  public:
    Senders(Tally &tally, const std::vector<Network> &allowed) : tally_(tally), allowed_(allowed) {}

    void look(const sockaddr_storage &sender, socklen_t length) {
        if (length == lastLength_ && memcmp(&sender, &last_, length) == 0) {
            return;
        }
        memcpy(&last_, &sender, length);
        lastLength_ = length;
        Source source = sourceOf(sender);
        entry_ = tally_.of(source);
        // Senders beyond the table's room share an entry, not their text.
        const char *end = entry_->first.family != 0
                              ? putAddressText(text_, sender, entry_->second.host)
                              : putAddressText(text_, sender, sourceText(source));
        length_ = static_cast<size_t>(end - text_);
        allowedNow_ =
            allowed_.empty() || std::any_of(allowed_.begin(), allowed_.end(),
                                            [&](const Network &n) { return contains(n, source); });
    }
    const ReceivedText &at(const timeval &when) {
        long ms = static_cast<long>(when.tv_sec) * 1000 + when.tv_usec / 1000;
        if (ms != lastMs_) {
            lastMs_ = ms;
            received_ = receivedText(timespec{when.tv_sec, (when.tv_usec / 1000) * 1000000});
        }
        return received_;
    }
    std::string_view text() const { return {text_, length_}; }
    SourceEntry *entry() const { return entry_; }
    bool allowed() const { return allowedNow_; }

  private:
    Tally &tally_;
    const std::vector<Network> &allowed_;
    sockaddr_storage last_{};
    socklen_t lastLength_ = 0;
    char text_[ADDRESS_TEXT_SIZE] = {};
    size_t length_ = 0;
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
        const std::string_view from = senders.text();
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
    Schedule(const Options &options, const Tally &tally, const Output &out, Consumer &consumer)
        : every_(options.statsSeconds * 1000), start_(nowMs()), next_(start_ + every_),
          tally_(tally), out_(out), consumer_(consumer) {}

    // True when statistics are asked for or their interval is over.
    bool due(long now) const { return statisticsRequested != 0 || (every_ > 0 && now >= next_); }
    // Prints the statistics if they are due.
    void statistics(long now) {
        if (!due(now)) {
            return;
        }
        statisticsRequested = 0;
        if (every_ > 0 && now >= next_) {
            next_ += every_ * ((now - next_) / every_ + 1);
        }
        tally_.printStatistics(static_cast<double>(now - start_) / 1000, out_);
        consumer_.statistics();
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
    Consumer &consumer_;
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

// Takes the next datagrams. While they come, waiting in recvmmsg itself, unless lines are held
// that must not wait on it (holdUs, the time they have left, at least 0); then, or idle, in
// ppoll, whose wait ends when its time has passed. Returns as Batch::receive, or 0 when the
// wait ran out.
int receiveNext(int fd, Batch &batch, unsigned int want, bool coming, long holdUs, int idleMs) {
    if (coming && holdUs < 0) {
        return batch.receive(fd, want, true);
    }
    const long waitUs = holdUs >= 0 ? std::min(holdUs, idleMs * 1000L) : idleMs * 1000L;
    const timespec wait{waitUs / 1000000, (waitUs % 1000000) * 1000};
    pollfd entry{fd, POLLIN, 0};
    int ready = ppoll(&entry, 1, &wait, nullptr);
    return ready > 0 ? batch.receive(fd, want, false) : ready;
}

// When the lines appended are written: after each receive for a consumer that does not
// gather; else once the first is the rule's time old, when the output holds much, or when they
// are wanted at once.
class Holding {
  public:
    Holding(bool gathers, HoldRule rule) : gathers_(gathers), rule_(rule) {}
    // After a receive; wanted when it took nothing or statistics are due, which count what was
    // written.
    bool due(const Output &out, bool wanted) {
        if (out.pending() == 0) {
            return false;
        }
        const long now = nowUs();
        if (since_ < 0) {
            since_ = now;
        }
        return !gathers_ || wanted || out.full() || now - since_ >= rule_.writeAfterUs;
    }
    void written() { since_ = -1; }
    // The time the lines held have left, when a receive must not wait on them; else -1.
    long leftUs() const {
        return since_ < 0 || rule_.receiveWaits
                   ? -1
                   : std::max(0L, rule_.writeAfterUs - (nowUs() - since_));
    }

  private:
    bool gathers_;
    HoldRule rule_;
    long since_ = -1; // when the first line not yet written was appended, in microseconds
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
    while (nowMs() < until && (got = batch.receive(fd, BATCH, false)) > 0) {
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
        fprintf(stderr, "%s: output blocked at the end: %ld records not written\n", programName,
                out.lost());
    }
    tally.printSummary(out);
    return tally.dropped > 0 || out.lost() > 0 ? 1 : 0;
}

// station-decode's own: the lines on descriptor 1.
class Printing : public Consumer {
  public:
    bool gathers() const override { return true; }
    ssize_t write(const char *text, size_t length) override {
        return standardOutput().write(text, length);
    }
    void cutOff(size_t bytes) override { standardOutput().cutOff(bytes); }
};

} // namespace

int listenLoop(const Options &options) {
    Printing printing;
    return listenLoop(options, printing);
}

int listenLoop(const Options &options, Consumer &consumer) {
    installSignals(consumer.reloads());
    int fd = openListener(options.at, options);
    if (fd < 0) {
        return 1;
    }
    consumer.listening();
    Output out(options.json, options.heartbeats, consumer);
    Tally tally;
    Schedule schedule(options, tally, out, consumer);
    BlockedWrite blocked(schedule);
    out.appendHeader();
    Batch batch;
    Senders senders(tally, options.allowed);
    long received = 0;
    bool ok = out.flush(&blocked);
    int error = errno;
    bool going = true;   // as the consumer wants
    bool coming = false; // the last receive took datagrams
    Holding holding(consumer.gathers(), consumer.gathers() ? holdRule() : HoldRule{0, true});
    while (ok && going && stopRequested == 0 &&
           (options.count == 0 || received + tally.dropped < options.count)) {
        int got = receiveNext(fd, batch, batchSize(options.count, received + tally.dropped), coming,
                              holding.leftUs(), schedule.timeout(nowMs()));
        long now = nowMs();
        coming = got > 0;
        if (coming) {
            received += got;
            decodeBatch(batch, got, senders, out, tally);
        } else {
            tally.dropped = std::max(tally.dropped, socketDrops(fd));
        }
        if (holding.due(out, !coming || schedule.due(now))) {
            ok = out.flush(&blocked);
            error = errno;
            holding.written();
        }
        tally.tellHeldBack(now);
        going = consumer.turn(now);
        // Lines still held here mean statistics were asked for just now: they are told once
        // the lines are written, after the next receive.
        if (out.pending() == 0) {
            schedule.statistics(now);
        }
        if (reloadRequested != 0) {
            reloadRequested = 0;
            consumer.reload();
        }
    }
    if (ok && out.pending() > 0) {
        ok = out.flush(&blocked);
        error = errno;
    }
    if (stopRequested != 0) {
        consumer.stopping();
    }
    long queued = stopRequested != 0 || !going ? countQueued(fd, batch) : 0;
    tally.dropped = std::max(tally.dropped, socketDrops(fd));
    close(fd);
    if (queued > 0) {
        fprintf(stderr, "%s: %ld datagrams still queued at the stop, not decoded\n", programName,
                queued);
    }
    tally.tellHeldBack(-1);
    if (!ok && !(error == EINTR && stopRequested != 0)) {
        return outputFailed(tally, out, strerror(error));
    }
    return finish(tally, out);
}
