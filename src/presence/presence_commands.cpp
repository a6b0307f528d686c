#include "presence_commands.h"

#include "mac_text.h"
#include "presence_events.h"
#include "presence_pipeline.h"
#include "presence_report.h"
#include "presence_sql.h"
#include "presence_store.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// Events on standard output, messages on standard error.
class StandardStreams : public Sink {
  public:
    bool events(std::string_view lines) override {
        return std::fwrite(lines.data(), 1, lines.size(), stdout) == lines.size() &&
               std::fflush(stdout) == 0;
    }
    void message(const std::string &text) override {
        std::fprintf(stderr, "station-presence: %s\n", text.c_str());
    }
};

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
    StandardStreams streams;
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
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    struct sigaction reload {};
    reload.sa_handler = onReload;
    sigaction(SIGHUP, &reload, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    Options running = o;
    return follow(STDIN_FILENO, *pipeline, stopping, [&] {
        if (reloading == 0) {
            return;
        }
        reloading = 0;
        Reload next;
        if (reloadOptions(running, next, why) != 0) {
            streams.message("cannot read the settings again: " + why + "; the old ones stay");
            return;
        }
        pipeline->reconfigure(next.next, next.refused);
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
    });
}

} // namespace presence
