// station-presence: who is here, where and since when, from station-decode's lines on
// standard input; events on standard output, optionally an MQTT broker and a database.
#include "presence_clock.h"
#include "presence_events.h"
#include "presence_input.h"
#include "presence_report.h"
#include "presence_sql.h"
#include "presence_state.h"
#include "presence_store.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#ifndef STATION_PRESENCE_VERSION
#define STATION_PRESENCE_VERSION "0"
#endif

using namespace presence;

namespace {

const char kUsage[] = "usage: station-presence [--db FILE] [--interval SECONDS] [--grace SECONDS]\n"
                      "                        [--hysteresis DB] [--max-clients N] [--keep DAYS]\n"
                      "                        [--mqtt HOST[:PORT]] [--mqtt-prefix PREFIX]\n"
                      "       station-presence now --db FILE\n"
                      "       station-presence visits --db FILE [--since TIME]\n"
                      "       station-presence aps --db FILE\n"
                      "       station-presence report --db FILE --html FILE [--since TIME]\n"
                      "       station-presence --version | --help\n";

volatile std::sig_atomic_t stopping = 0;

void onStop(int /*signal*/) {
    stopping = 1;
}

struct Options {
    std::string db;
    std::string mqttHost;
    int mqttPort = 1883;
    std::string prefix = "station-presence";
    int keepDays = 0;
    Settings settings;
    std::string html;
    std::string since;
};

int usage(const char *why) {
    std::fprintf(stderr, "station-presence: %s\n%s", why, kUsage);
    return 2;
}

// A whole number in [low, high], or -1.
long long number(const char *text, long long low, long long high) {
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high ? value : -1;
}

// Fills o from argv[first..]; the subcommand decides which options it takes. Returns 0, or
// the exit status of a usage error.
int parseOptions(int argc, char **argv, int first, const std::string &mode, Options &o) {
    bool graceGiven = false;
    for (int i = first; i < argc; ++i) {
        std::string_view name = argv[i];
        if (i + 1 >= argc) {
            return usage(("missing value of " + std::string(name)).c_str());
        }
        const char *value = argv[++i];
        bool run = mode.empty();
        if (name == "--db") {
            o.db = value;
        } else if (run && (name == "--interval" || name == "--grace")) {
            const long long n = number(value, 1, 86400);
            if (n < 0) {
                return usage("SECONDS must be 1 to 86400");
            }
            (name == "--grace" ? o.settings.grace : o.settings.interval) = n * 1000;
            graceGiven = graceGiven || name == "--grace";
        } else if (run && name == "--hysteresis") {
            const long long n = number(value, 0, 100);
            if (n < 0) {
                return usage("DB must be 0 to 100");
            }
            o.settings.hysteresis = static_cast<int>(n);
        } else if (run && name == "--max-clients") {
            const long long n = number(value, 1, 100000000);
            if (n < 0) {
                return usage("N must be 1 to 100000000");
            }
            o.settings.maxClients = static_cast<std::size_t>(n);
        } else if (run && name == "--keep") {
            const long long n = number(value, 1, 36500);
            if (n < 0) {
                return usage("DAYS must be 1 to 36500");
            }
            o.keepDays = static_cast<int>(n);
        } else if (run && name == "--mqtt") {
            // HOST, HOST:PORT, [IPV6] or [IPV6]:PORT
            std::string hostPort = value;
            bool bracket = hostPort.front() == '[';
            auto close = bracket ? hostPort.find(']') : 0;
            auto colon = hostPort.find(':', close == std::string::npos ? 0 : close);
            o.mqttHost = bracket ? hostPort.substr(1, close - 1) : hostPort.substr(0, colon);
            if (bracket && (close == std::string::npos ||
                            (close + 1 < hostPort.size() && colon != close + 1))) {
                return usage("bad MQTT host");
            }
            if (colon != std::string::npos &&
                (o.mqttPort = static_cast<int>(number(value + colon + 1, 1, 65535))) < 0) {
                return usage("bad MQTT port");
            }
            if (o.mqttHost.empty()) {
                return usage("bad MQTT host");
            }
        } else if (run && name == "--mqtt-prefix") {
            o.prefix = value;
            if (o.prefix.empty() || o.prefix.find_first_of("#+") != std::string::npos) {
                return usage("bad MQTT prefix");
            }
        } else if ((mode == "visits" || mode == "report") && name == "--since") {
            o.since = value;
        } else if (mode == "report" && name == "--html") {
            o.html = value;
        } else {
            return usage(("unknown option " + std::string(name)).c_str());
        }
    }
    if (!graceGiven) {
        o.settings.grace = 4 * o.settings.interval;
    }
    if (!mode.empty() && o.db.empty()) {
        return usage("--db FILE is needed");
    }
    if (mode == "report" && o.html.empty()) {
        return usage("--html FILE is needed");
    }
    return 0;
}

// ---- the query subcommands -------------------------------------------------------------

int query(const std::string &mode, const Options &o) {
    Store store;
    std::string why;
    if (store.open(o.db, false, why) != 0) {
        std::fprintf(stderr, "station-presence: %s\n", why.c_str());
        return 1;
    }
    double since = 0;
    if (!o.since.empty() &&
        store.parseSince(o.since, static_cast<double>(std::time(nullptr)), since) != 0) {
        return usage("TIME must be 30m, 2h, 1d, Unix seconds or YYYY-MM-DD HH:MM:SS");
    }
    int rc = mode == "now"      ? store.printNow(stdout, why)
             : mode == "visits" ? store.printVisits(stdout, since, why)
             : mode == "aps"    ? store.printAps(stdout, why)
                                : writeReport(store.handle(), o.db, o.html, since, why);
    if (rc == 0 && std::fflush(stdout) != 0) {
        why = failure("standard output", "write", std::strerror(errno));
        rc = -1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "station-presence: %s\n", why.c_str());
        return 1;
    }
    return 0;
}

// ---- following the input ---------------------------------------------------------------

// The first few refused lines verbatim, then at most one line every ten seconds with the
// count, so a producer gone wrong cannot flood the log.
class Refusals {
  public:
    void refuse(uint64_t line, const std::string &why) {
        total_++;
        if (total_ <= kVerbatim) {
            told_ = std::chrono::steady_clock::now();
            std::fprintf(stderr, "station-presence: line %llu: %s\n",
                         static_cast<unsigned long long>(line), why.c_str());
            return;
        }
        held_++;
        lastLine_ = line;
        last_ = why;
        tell(false);
    }
    void tell(bool final) {
        auto now = std::chrono::steady_clock::now();
        if (held_ == 0 || (!final && now - told_ < std::chrono::seconds(10))) {
            return;
        }
        told_ = now;
        std::fprintf(stderr, "station-presence: %llu more lines refused, the last: line %llu: %s\n",
                     static_cast<unsigned long long>(held_),
                     static_cast<unsigned long long>(lastLine_), last_.c_str());
        held_ = 0;
    }
    uint64_t total() const { return total_; }

  private:
    static constexpr uint64_t kVerbatim = 5;
    uint64_t total_ = 0;
    uint64_t held_ = 0;
    uint64_t lastLine_ = 0;
    std::string last_;
    std::chrono::steady_clock::time_point told_{};
};

// Milliseconds of the monotonic clock.
Millis monotonicMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Run {
    Options o;
    Tracker tracker;
    Clock clock;
    std::unique_ptr<Store> store;
    std::unique_ptr<Mqtt> mqtt;
    Refusals refusals;
    std::vector<Event> events;
    std::vector<Line> ready;          // lines the clock lets the tracker take
    std::vector<RefusedLine> refused; // lines the clock gave up
    std::string output;               // the events' lines, written at once
    uint64_t lines = 0;
    uint64_t counts[std::size(kEventKinds)] = {};
    bool outputFailed = false;

    // A report may run ahead of the clock by half the grace: further, and it could end
    // visits that are going on.
    explicit Run(const Options &options)
        : o(options), tracker(options.settings), clock(options.settings.grace / 2) {}

    Sighting sighting; // the line being read
    Millis readAt = 0; // the monotonic time its bytes were read

    void line(std::string_view text) {
        ++lines;
        std::string why;
        switch (parseLine(text, sighting, why)) {
        case Parsed::Skip:
            return;
        case Parsed::Refused:
            refusals.refuse(lines, why);
            return;
        case Parsed::Sighting:
            break;
        }
        const Millis at = clock.quick(sighting.received, readAt);
        if (at < 0) {
            clock.offer(Line{lines, 0, sighting}, readAt, ready, refused);
            take();
            return;
        }
        if (store) {
            store->sighting(sighting);
        }
        sighting.received = at;
        tracker.observe(sighting, events);
    }

    // The lines the clock let through, at the times it gave them; the sightings kept as
    // they were received.
    void take() {
        for (const RefusedLine &r : refused) {
            refusals.refuse(r.number, r.why);
        }
        refused.clear();
        for (Line &l : ready) {
            if (store) {
                store->sighting(l.sighting);
            }
            l.sighting.received = l.at;
            tracker.observe(l.sighting, events);
        }
        ready.clear();
    }

    // The input is idle: the clock runs on.
    void idle() {
        Millis now = clock.advance(monotonicMillis(), ready);
        take();
        if (now >= 0) {
            tracker.tick(now, events);
        }
    }

    // Prints and publishes an event. With a database, only once the database holds it: an
    // event told before a crash is then never told again after the restart.
    void deliver(const Event &e) {
        if (e.kind != EventKind::ApClock && !outputFailed) {
            appendEventJson(output, e);
            output += '\n';
        }
        if (mqtt) {
            mqtt->publish(e);
        }
    }

    void emit() {
        for (const Event &e : events) {
            counts[static_cast<int>(e.kind)]++;
            if (!kindInfo(e.kind).printed) {
                std::fprintf(stderr,
                             "station-presence: access point %s at %s: its clock is %.0f s off "
                             "the receive time\n",
                             macText(e.ap).c_str(), e.address.c_str(),
                             static_cast<double>(e.offset) / 1000.0);
            }
            if (store) {
                store->record(e);
            } else {
                deliver(e);
            }
        }
        events.clear();
        writeOutput();
    }

    // Writes the database, then tells what it wrote. Returns -1 after saying why.
    int flush(bool final) {
        std::string why;
        if (store->flush(tracker, o.settings.interval, final, why) != 0) {
            std::fprintf(stderr, "station-presence: %s\n", why.c_str());
            return -1;
        }
        for (const Event &e : store->committed()) {
            deliver(e);
            if (output.size() >= 1 << 16) {
                writeOutput();
            }
        }
        writeOutput();
        return 0;
    }

    void writeOutput() {
        if (output.empty() || outputFailed) {
            output.clear();
            return;
        }
        std::fwrite(output.data(), 1, output.size(), stdout);
        output.clear();
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "station-presence: cannot write events: %s\n",
                         std::strerror(errno));
            outputFailed = true;
        }
    }
};

// Splits what read gives into lines; a line longer than the buffer is refused.
int follow(Run &run) {
    static char buffer[1 << 16];
    std::size_t held = 0;
    bool skipping = false;
    auto flushedAt = std::chrono::steady_clock::now();
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        int ready = stopping != 0 ? 0 : poll(&in, 1, 1000);
        if (stopping != 0) {
            break;
        }
        if (ready == 0) {
            run.idle();
        } else if (ready > 0) {
            ssize_t got = read(STDIN_FILENO, buffer + held, sizeof buffer - held);
            if (got == 0) {
                break;
            }
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                std::fprintf(stderr, "station-presence: cannot read input: %s\n",
                             std::strerror(errno));
                break;
            }
            run.readAt = monotonicMillis();
            std::size_t end = held + static_cast<std::size_t>(std::max<ssize_t>(got, 0));
            std::size_t start = 0;
            std::size_t scanned = held; // the bytes held have no newline
            while (const void *nl = std::memchr(buffer + scanned, '\n', end - scanned)) {
                auto i = static_cast<std::size_t>(static_cast<const char *>(nl) - buffer);
                if (!skipping) {
                    run.line(std::string_view(buffer + start, i - start));
                }
                skipping = false;
                start = scanned = i + 1;
            }
            held = end - start;
            std::memmove(buffer, buffer + start, held);
            if (held == sizeof buffer) {
                run.refusals.refuse(++run.lines, "line too long");
                held = 0;
                skipping = true;
            }
        }
        run.emit();
        run.refusals.tell(false);
        if (run.mqtt && run.mqtt->wantsResync()) {
            run.mqtt->resync(run.tracker.present(), run.tracker.aps());
        }
        if (run.mqtt) {
            run.mqtt->newAps(run.tracker.aps());
        }
        auto now = std::chrono::steady_clock::now();
        if (run.store && now - flushedAt >= std::chrono::seconds(1)) {
            flushedAt = now;
            if (run.flush(false) != 0) {
                return 1;
            }
        }
    }
    if (held > 0 && !skipping) {
        run.line(std::string_view(buffer, held));
    }
    run.clock.end(run.refused);
    run.take();
    run.emit();
    return 0;
}

void summary(const Run &run) {
    const Counters &c = run.tracker.counters();
    std::fprintf(
        stderr, "station-presence: %llu lines, %llu records, %llu heartbeats, %llu refused",
        static_cast<unsigned long long>(run.lines), static_cast<unsigned long long>(c.records),
        static_cast<unsigned long long>(c.heartbeats),
        static_cast<unsigned long long>(run.refusals.total()));
    const char *separator = "; ";
    for (const EventKindInfo &kind : kEventKinds) {
        if (kind.printed) {
            std::fprintf(stderr, "%s%llu %s", separator,
                         static_cast<unsigned long long>(run.counts[static_cast<int>(kind.kind)]),
                         kind.name);
            separator = ", ";
        }
    }
    std::fprintf(stderr, "; %zu clients tracked, %zu present, %zu access points",
                 run.tracker.tracked(), run.tracker.presentCount(), run.tracker.aps().size());
    if (c.unknownHeartbeats > 0) {
        std::fprintf(stderr, "; %llu heartbeats from addresses without a record yet",
                     static_cast<unsigned long long>(c.unknownHeartbeats));
    }
    if (c.candidatesEvicted + c.clientsRefused > 0) {
        std::fprintf(stderr, "; client cap: %llu probing clients dropped, %llu refused",
                     static_cast<unsigned long long>(c.candidatesEvicted),
                     static_cast<unsigned long long>(c.clientsRefused));
    }
    if (run.store) {
        std::fprintf(stderr, "; %llu rows written in %llu transactions",
                     static_cast<unsigned long long>(run.store->rowsWritten()),
                     static_cast<unsigned long long>(run.store->transactions()));
    }
    if (run.mqtt) {
        std::fprintf(stderr, "; %llu MQTT messages not delivered",
                     static_cast<unsigned long long>(run.mqtt->unsent()));
    }
    std::fprintf(stderr, "\n");
}

int follow(const Options &o) {
    auto run = std::make_unique<Run>(o);
    std::string why;
    if (!o.db.empty()) {
        run->store = std::make_unique<Store>();
        if (run->store->open(o.db, true, why) != 0 || run->store->resume(run->tracker, why) != 0) {
            std::fprintf(stderr, "station-presence: %s\n", why.c_str());
            return 1;
        }
        run->store->keepSightings(o.keepDays);
    } else if (o.keepDays > 0) {
        return usage("--keep needs --db FILE");
    }
    if (!o.mqttHost.empty()) {
        run->mqtt = std::make_unique<Mqtt>();
        if (run->mqtt->open(o.mqttHost, o.mqttPort, o.prefix, why) != 0) {
            std::fprintf(stderr, "station-presence: cannot connect to the MQTT broker %s:%d: %s\n",
                         o.mqttHost.c_str(), o.mqttPort, why.c_str());
            return 1;
        }
    }
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    int rc = follow(*run);
    run->refusals.tell(true);
    if (run->store && run->flush(true) != 0) {
        rc = 1;
    }
    if (run->mqtt) {
        if (run->mqtt->wantsResync()) {
            run->mqtt->resync(run->tracker.present(), run->tracker.aps());
        }
        run->mqtt->newAps(run->tracker.aps());
        run->mqtt->close();
    }
    summary(*run);
    return run->outputFailed ? 1 : rc;
}

} // namespace

int main(int argc, char **argv) {
    std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (first == "--version") {
        std::puts("station-presence " STATION_PRESENCE_VERSION);
        return 0;
    }
    bool query = first == "now" || first == "visits" || first == "aps" || first == "report";
    Options o;
    int rc = parseOptions(argc, argv, query ? 2 : 1, query ? first : "", o);
    if (rc != 0) {
        return rc;
    }
    return query ? ::query(first, o) : follow(o);
}
