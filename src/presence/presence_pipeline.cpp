#include "presence_pipeline.h"

#include "presence_events.h"
#include "presence_input.h"
#include "presence_notify.h"
#include "presence_store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace presence {

Millis monotonicMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- refused lines ---------------------------------------------------------------------

void Refusals::refuse(uint64_t line, const std::string &why, Millis monotonic, Sink &sink) {
    total_++;
    if (total_ <= kOneByOne) {
        told_ = monotonic;
        sink.message("line " + std::to_string(line) + ": " + why);
        return;
    }
    held_++;
    lastLine_ = line;
    last_ = why;
    tell(false, monotonic, sink);
}

void Refusals::tell(bool final, Millis monotonic, Sink &sink) {
    if (held_ == 0 || (!final && monotonic - told_ < kEvery)) {
        return;
    }
    told_ = monotonic;
    sink.message(std::to_string(held_) + " more lines refused, the last: line " +
                 std::to_string(lastLine_) + ": " + last_);
    held_ = 0;
}

// ---- the pipeline ----------------------------------------------------------------------

// A report may run ahead of the clock by half the grace: further, and it could end visits
// that are going on.
Pipeline::Pipeline(const Options &options, Sink &sink, Store *store, Mqtt *mqtt)
    : o_(options), sink_(sink), store_(store), mqtt_(mqtt), tracker_(options.settings),
      clock_(options.settings.grace / 2) {}

void Pipeline::line(std::string_view text, Millis monotonic) {
    read(text, ahead_[0]);
    take(ahead_[0], monotonic);
}

void Pipeline::lines(std::string_view text, Millis monotonic) {
    const char *p = text.data();
    const char *const end = p + text.size();
    std::size_t got = 0; // lines read, of which taken were taken by the tracker
    std::size_t taken = 0;
    while (p < end || taken < got) {
        if (p == end || got - taken == kAhead) {
            take(ahead_[taken++ % kAhead], monotonic);
            continue;
        }
        const auto *newline =
            static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char *lineEnd = newline != nullptr ? newline : end;
        read(std::string_view(p, static_cast<std::size_t>(lineEnd - p)), ahead_[got % kAhead]);
        if (got >= kAhead / 2) {
            const Read &r = ahead_[(got - kAhead / 2) % kAhead];
            if (r.parsed == Parsed::Sighting && !r.sighting.heartbeat) {
                tracker_.prefetchClient(r.sighting.mumac);
            }
        }
        ++got;
        p = lineEnd + 1;
    }
}

void Pipeline::read(std::string_view text, Read &r) {
    r.parsed = parseLine(text, r.sighting, r.why);
    if (r.parsed == Parsed::Sighting && !r.sighting.heartbeat) {
        tracker_.prefetchIndex(r.sighting.mumac);
    }
}

void Pipeline::take(Read &r, Millis monotonic) {
    ++lines_;
    switch (r.parsed) {
    case Parsed::Skip:
        return;
    case Parsed::Refused:
        refusals_.refuse(lines_, r.why, monotonic, sink_);
        return;
    case Parsed::Sighting:
        break;
    }
    // The usual case goes straight to the tracker, without a copy of the line.
    Sighting &s = r.sighting;
    const Millis at = clock_.quick(s.received, monotonic);
    if (at < 0) {
        clock_.offer(Line{lines_, 0, s}, monotonic, ready_, refused_);
        take(monotonic);
        return;
    }
    if (store_ != nullptr) {
        store_->sighting(s);
    }
    s.received = at;
    tracker_.observe(s, events_);
}

void Pipeline::tooLong(Millis monotonic) {
    refusals_.refuse(++lines_, "line too long", monotonic, sink_);
}

// The lines the clock let through, at the times it gave them; the sightings kept as they
// were received.
void Pipeline::take(Millis monotonic) {
    for (const RefusedLine &r : refused_) {
        refusals_.refuse(r.number, r.why, monotonic, sink_);
    }
    refused_.clear();
    for (Line &l : ready_) {
        if (store_ != nullptr) {
            store_->sighting(l.sighting);
        }
        l.sighting.received = l.at;
        tracker_.observe(l.sighting, events_);
    }
    ready_.clear();
}

void Pipeline::idle(Millis monotonic) {
    const Millis now = clock_.advance(monotonic, ready_);
    take(monotonic);
    if (now >= 0) {
        tracker_.tick(now, events_);
    }
}

// Prints and publishes an event. With a database, only once the database holds it: an
// event told before a crash is then never told again after the restart.
void Pipeline::deliver(const Event &e) {
    if (kindInfo(e.kind).printed && !outputFailed_) {
        appendEventJson(output_, e);
        output_ += '\n';
    }
    if (mqtt_ != nullptr) {
        mqtt_->publish(e);
    }
}

void Pipeline::emit() {
    for (const Event &e : events_) {
        counts_[static_cast<int>(e.kind)]++;
        if (!kindInfo(e.kind).printed) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "access point %s at %s: its clock is %.0f s off the receive time",
                          macText(e.ap).c_str(), e.address.c_str(),
                          static_cast<double>(e.offset) / 1000.0);
            sink_.message(text);
        }
        if (store_ != nullptr) {
            store_->record(e);
        } else {
            deliver(e);
        }
    }
    events_.clear();
    writeOutput();
}

// Writes the database, then tells what it wrote. Returns -1 after saying why.
int Pipeline::flush(bool final) {
    std::string why;
    if (store_->flush(tracker_, o_.settings.interval, final, why) != 0) {
        sink_.message(why);
        return -1;
    }
    for (const Event &e : store_->committed()) {
        deliver(e);
        if (output_.size() >= 1 << 16) {
            writeOutput();
        }
    }
    writeOutput();
    return 0;
}

void Pipeline::writeOutput() {
    if (!output_.empty() && !outputFailed_ && !sink_.events(output_)) {
        sink_.message(std::string("cannot write events: ") + std::strerror(errno));
        outputFailed_ = true;
    }
    output_.clear();
}

void Pipeline::sayMqttMessages() {
    for (const std::string &text : mqtt_->messages()) {
        sink_.message(text);
    }
}

// The network thread's messages said, everything retained again after a reconnection, the
// access points' counts brought up to date.
void Pipeline::updateBroker() {
    if (mqtt_ == nullptr) {
        return;
    }
    sayMqttMessages();
    if (mqtt_->wantsResync()) {
        mqtt_->resync(tracker_.present(), tracker_.aps());
    }
    mqtt_->aps(tracker_.aps());
}

int Pipeline::settle(Millis monotonic) {
    emit();
    refusals_.tell(false, monotonic, sink_);
    updateBroker();
    if (flushedAt_ == 0) {
        flushedAt_ = monotonic;
    }
    if (store_ != nullptr && monotonic - flushedAt_ >= 1000) {
        flushedAt_ = monotonic;
        return flush(false);
    }
    return 0;
}

int Pipeline::finish(Millis monotonic, int status) {
    clock_.end(refused_);
    take(monotonic);
    emit();
    refusals_.tell(true, monotonic, sink_);
    if (store_ != nullptr && flush(true) != 0) {
        status = 1;
    }
    if (mqtt_ != nullptr) {
        updateBroker();
        mqtt_->counts(counts());
        mqtt_->close();
        sayMqttMessages(); // what the connection had left to say
        if (status == 0 && mqtt_->unsent() > 0) {
            status = kExitUndelivered;
        }
    }
    sink_.message(counts());
    return outputFailed_ ? 1 : status;
}

void Pipeline::tellCounts() {
    const std::string text = counts();
    notifyStatus(text);
    if (mqtt_ != nullptr) {
        mqtt_->counts(text);
    }
}

std::string Pipeline::counts() const {
    const Counters &c = tracker_.counters();
    std::string text = std::to_string(lines_) + " lines, " + std::to_string(c.records) +
                       " records, " + std::to_string(c.heartbeats) + " heartbeats, " +
                       std::to_string(refusals_.total()) + " refused";
    const char *separator = "; ";
    for (const EventKindInfo &kind : kEventKinds) {
        if (kind.printed) {
            text +=
                separator + std::to_string(counts_[static_cast<int>(kind.kind)]) + " " + kind.name;
            separator = ", ";
        }
    }
    text += "; " + std::to_string(tracker_.tracked()) + " clients tracked, " +
            std::to_string(tracker_.presentCount()) + " present, " +
            std::to_string(tracker_.aps().size()) + " access points";
    if (c.unknownHeartbeats > 0) {
        text += "; " + std::to_string(c.unknownHeartbeats) +
                " heartbeats from addresses without a record yet";
    }
    if (c.candidatesEvicted + c.clientsRefused > 0) {
        text += "; client cap: " + std::to_string(c.candidatesEvicted) +
                " probing clients dropped, " + std::to_string(c.clientsRefused) + " refused";
    }
    if (store_ != nullptr) {
        text += "; " + std::to_string(store_->rowsWritten()) + " rows written in " +
                std::to_string(store_->transactions()) + " transactions";
    }
    if (mqtt_ != nullptr) {
        text += "; " + std::to_string(mqtt_->unsent()) + " MQTT messages not delivered";
        if (mqtt_->dropped() > 0) {
            text += ", " + std::to_string(mqtt_->dropped()) +
                    " of them events dropped while the broker was away";
        }
    }
    return text;
}

// ---- reading ---------------------------------------------------------------------------

void Pipeline::reconfigure(const Options &next, const std::vector<std::string> &refused) {
    if (next.settings.grace != o_.settings.grace ||
        next.settings.hysteresis != o_.settings.hysteresis) {
        o_.settings.grace = next.settings.grace;
        o_.settings.hysteresis = next.settings.hysteresis;
        tracker_.reconfigure(o_.settings.grace, o_.settings.hysteresis);
        clock_.setBound(o_.settings.grace / 2);
    }
    if (mqtt_ != nullptr) {
        MqttSettings mqtt = next.mqtt;
        mqtt.host = o_.mqtt.host; // another broker needs a restart
        mqtt.port = o_.mqtt.port;
        std::string why;
        if (mqtt_->reconfigure(mqtt, why) == 0) {
            o_.mqtt = mqtt;
        } else {
            sink_.message("the MQTT settings stay as they were: " + why);
        }
    }
    std::string names;
    for (const std::string &name : refused) {
        names += (names.empty() ? "" : ", ") + name;
    }
    sink_.message((next.config.empty() ? std::string("the command line") : next.config) +
                  " read again" +
                  (names.empty() ? "" : "; a restart is needed to change " + names));
}

int follow(int fd, Pipeline &pipeline, const volatile std::sig_atomic_t &stop,
           const std::function<void()> &between) {
    static char buffer[1 << 16];
    std::size_t held = 0;
    bool skipping = false; // the rest of a line too long
    int status = 0;
    StatusCadence cadence;
    notifyReady(pipeline.counts()); // the input is open
    for (;;) {
        pollfd in{fd, POLLIN, 0};
        const int ready = stop != 0 ? 0 : poll(&in, 1, 1000);
        if (stop != 0) {
            notifyStopping();
            break;
        }
        const Millis now = monotonicMillis();
        if (ready == 0) {
            pipeline.idle(now);
        } else if (ready > 0) {
            const ssize_t got = read(fd, buffer + held, sizeof buffer - held);
            if (got == 0) {
                break;
            }
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                pipeline.tell(std::string("cannot read input: ") + std::strerror(errno));
                break;
            }
            const std::size_t end = held + static_cast<std::size_t>(std::max<ssize_t>(got, 0));
            // The bytes held have no newline; those after the last newline are kept.
            const char *first =
                static_cast<const char *>(std::memchr(buffer + held, '\n', end - held));
            std::size_t start = 0;
            if (first != nullptr) {
                if (skipping) { // the end of a line too long
                    start = static_cast<std::size_t>(first - buffer) + 1;
                    skipping = false;
                }
                std::size_t last = end;
                while (buffer[last - 1] != '\n') {
                    --last;
                }
                pipeline.lines(std::string_view(buffer + start, last - start), now);
                start = last;
            }
            held = end - start;
            std::memmove(buffer, buffer + start, held);
            if (held == sizeof buffer) {
                pipeline.tooLong(now);
                held = 0;
                skipping = true;
            }
        }
        if (pipeline.settle(now) != 0) {
            status = 1;
            held = 0;
            break;
        }
        between();
        if (cadence.due(now)) {
            pipeline.tellCounts();
        }
    }
    if (held > 0 && !skipping) {
        pipeline.line(std::string_view(buffer, held), monotonicMillis());
    }
    return pipeline.finish(monotonicMillis(), status);
}

} // namespace presence
