#include "presence_commands.h"

#include "mac_text.h"
#include "presence_events.h"
#include "presence_listen.h"
#include "presence_notify.h"
#include "presence_pipeline.h"
#include "presence_report.h"
#include "presence_sql.h"
#include "presence_store.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace presence {

namespace {

volatile std::sig_atomic_t stopping = 0;
volatile std::sig_atomic_t reloading = 0;

void onStop(int /*signal*/) {
    stopping = 1;
}

void onReload(int /*signal*/) {
    reloading = 1;
}

// Events on standard output, messages on standard error. A write blocked by a slow reader
// and interrupted by a signal goes on, unless giveUp is set.
class StandardStreams : public Sink {
  public:
    explicit StandardStreams(const volatile std::sig_atomic_t &giveUp) : giveUp_(giveUp) {}
    bool events(std::string_view lines) override {
        while (!lines.empty()) {
            const ssize_t n = write(STDOUT_FILENO, lines.data(), lines.size());
            if (n > 0) {
                lines.remove_prefix(static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR || giveUp_ != 0) {
                return false;
            }
        }
        return true;
    }
    void message(const std::string &text) override {
        std::fprintf(stderr, "station-presence: %s\n", text.c_str());
    }

  private:
    const volatile std::sig_atomic_t &giveUp_;
};

// After the deadline a write is given up at the next alarm: one that blocks when the alarm
// has already gone must not hold the stop for ever.
class ListeningStreams : public StandardStreams {
  public:
    ListeningStreams() : StandardStreams(deadlinePassed) {}
    bool events(std::string_view lines) override {
        if (deadlinePassed != 0) {
            alarm(DEADLINE_SECONDS);
        }
        return StandardStreams::events(lines);
    }
};

// The pipeline with the database and the broker it is asked for, handed to run. Returns the
// exit status.
int withPipeline(const Options &o, Sink &streams, const std::function<int(Pipeline &)> &run) {
    // Nothing would be printed, and the broker's socket could take the descriptor and get
    // the events: refuse to start.
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        streams.message(std::string("cannot write events: ") + std::strerror(errno));
        return 1;
    }
    std::string why;
    auto store = o.db.empty() ? nullptr : std::make_unique<Store>();
    auto mqtt = o.mqtt.host.empty() ? nullptr : std::make_unique<Mqtt>();
    if (store && store->open(o.db, Store::Access::Follow, why) != 0) {
        streams.message(why);
        return 1;
    }
    // The tracker is big: the pipeline lives on the heap.
    auto pipeline = std::make_unique<Pipeline>(o, streams, store.get(), mqtt.get());
    if (store) {
        if (store->resume(pipeline->tracker(), why) != 0) {
            streams.message(why);
            return 1;
        }
        store->keep(o.keepDays, o.keepVisitDays);
    }
    if (mqtt && mqtt->open(o.mqtt, why) != 0) {
        streams.message(why);
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return run(*pipeline);
}

// The settings read again and what may change applied to the running pipeline; running
// becomes what now runs.
void reread(Options &running, Pipeline &pipeline) {
    Reload next;
    std::string why;
    if (reloadOptions(running, next, why) != 0) {
        pipeline.tell("cannot read the settings again: " + why + "; the old ones stay");
        return;
    }
    pipeline.reconfigure(next.next, next.refused);
    // What was refused still runs as it was, and is said again at the next reload.
    for (const std::string &name : next.refused) {
        auto was = running.given.find(name);
        if (was == running.given.end()) {
            next.next.given.erase(name);
        } else {
            next.next.given[name] = was->second;
        }
    }
    running = next.next;
}

// The service manager holds `systemctl reload` until the program is ready again.
void reload(Options &running, Pipeline &pipeline) {
    notifyReloading();
    reread(running, pipeline);
    notifyReady(pipeline.counts());
}

} // namespace

int runQuery(const Options &o) {
    Store store;
    std::string why;
    if (store.open(o.db, o.mode == "forget" ? Store::Access::Change : Store::Access::Read, why) !=
        0) {
        std::fprintf(stderr, "station-presence: %s\n", why.c_str());
        return 1;
    }
    double since = 0;
    if (!o.since.empty() &&
        store.parseSince(o.since, static_cast<double>(std::time(nullptr)), since) != 0) {
        std::string err;
        int status =
            usageError("TIME must be 30m, 2h, 1d, Unix seconds or YYYY-MM-DD HH:MM:SS", err);
        std::fputs(err.c_str(), stderr);
        return status;
    }
    if (o.mode == "forget") {
        const int64_t rows = store.forget(o.client, why);
        if (rows < 0) {
            std::fprintf(stderr, "station-presence: %s\n", why.c_str());
            return 1;
        }
        std::printf("%s: %lld rows removed\n", macText(o.client).c_str(),
                    static_cast<long long>(rows));
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    int rc = o.mode == "now"      ? store.printNow(stdout, why)
             : o.mode == "visits" ? store.printVisits(stdout, since, why)
             : o.mode == "aps"    ? store.printAps(stdout, why)
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

int runFollow(const Options &o) {
    StandardStreams streams(stopping);
    return withPipeline(o, streams, [&o](Pipeline &pipeline) {
        struct sigaction stop {};
        stop.sa_handler = onStop;
        sigaction(SIGINT, &stop, nullptr);
        sigaction(SIGTERM, &stop, nullptr);
        struct sigaction hangUp {};
        hangUp.sa_handler = onReload;
        sigaction(SIGHUP, &hangUp, nullptr);
        Options running = o;
        return follow(STDIN_FILENO, pipeline, stopping, [&] {
            if (reloading != 0) {
                reloading = 0;
                reload(running, pipeline);
            }
        });
    });
}

int runListen(const Options &o) {
    // Blocked past the deadline after a stop signal, the events are given up.
    ListeningStreams streams;
    return withPipeline(o, streams, [&o](Pipeline &pipeline) {
        Options running = o;
        return listen(o.receiver, pipeline, [&] { reload(running, pipeline); });
    });
}

} // namespace presence
