// station-presence's reading and tracking together: any lines go through the line reader into
// the tracker, whose clock also moves on between lines, and through the whole pipeline with
// its clock. Whatever they are, what is taken is in range, the tracker stays within its cap,
// every event prints as one JSON object, and the pipeline's events never go back in time.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "presence_events.h"
#include "presence_input.h"
#include "presence_pipeline.h"
#include "presence_state.h"

using namespace presence;

namespace {

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

void checkTaken(const Sighting &s) {
    check(s.received >= kReceivedFrom * 1000 && s.received <= kReceivedUntil * 1000);
    if (!s.heartbeat) {
        check(s.apmac < (uint64_t{1} << 48) && s.mumac < (uint64_t{1} << 48));
        check(s.rssi >= -128 && s.rssi <= 127 && s.channel >= 0 && s.channel <= 255);
        check(s.timestamp >= INT32_MIN && s.timestamp <= UINT32_MAX);
    }
}

// "+N": the clock moves on N milliseconds (at most a day), as it does between lines.
bool clockStep(std::string_view line, Millis &step) {
    if (line.size() < 2 || line.front() != '+') {
        return false;
    }
    auto [end, error] = std::from_chars(line.data() + 1, line.data() + line.size(), step);
    return error == std::errc() && end == line.data() + line.size() && step >= 0 &&
           step <= 86400000;
}

// The pipeline's words: every event one JSON object, their times never going back.
class Checked : public Sink {
  public:
    bool events(std::string_view lines) override {
        for (std::size_t start = 0, end; (end = lines.find('\n', start)) != lines.npos;
             start = end + 1) {
            auto event = nlohmann::json::parse(lines.substr(start, end - start), nullptr, false);
            check(event.is_object() && event["time"].is_number());
            const double time = event["time"].get<double>();
            check(time >= last_);
            last_ = time;
        }
        return true;
    }
    void message(const std::string &text) override { check(!text.empty()); }

  private:
    double last_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Settings settings;
    settings.interval = 1000;
    settings.grace = 4000;
    settings.maxClients = 8;
    Tracker tracker(settings);
    std::vector<Event> events;
    std::string out;
    std::string_view input(reinterpret_cast<const char *>(data), size);
    // The same lines through the whole pipeline, its clock included.
    presence::Options options;
    options.settings = settings;
    Checked sink;
    Pipeline pipeline(options, sink, nullptr, nullptr);
    Millis monotonic = 0;
    for (std::string_view rest = input; !rest.empty();) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(line.size() < rest.size() ? line.size() + 1 : line.size());
        Millis step = 0;
        if (clockStep(line, step)) {
            monotonic += step;
            pipeline.idle(monotonic);
        } else {
            pipeline.line(line, monotonic);
        }
        pipeline.settle(monotonic);
        check(pipeline.tracker().tracked() <= settings.maxClients);
    }
    pipeline.finish(monotonic, 0);
    while (!input.empty()) {
        std::string_view line = input.substr(0, input.find('\n'));
        input.remove_prefix(line.size() < input.size() ? line.size() + 1 : line.size());
        Millis step = 0;
        if (clockStep(line, step)) {
            tracker.tick(tracker.now() + step, events);
        } else {
            Sighting s;
            std::string why;
            Parsed parsed = parseLine(line, s, why);
            check((parsed == Parsed::Refused) == !why.empty());
            // The quick reader of the usual line reads what the careful one does.
            Sighting careful;
            std::string carefulWhy;
            check(parseLineCarefully(line, careful, carefulWhy) == parsed && carefulWhy == why &&
                  careful.received == s.received && careful.address == s.address &&
                  careful.heartbeat == s.heartbeat && careful.apmac == s.apmac &&
                  careful.mumac == s.mumac && careful.timestamp == s.timestamp &&
                  careful.rssi == s.rssi && careful.channel == s.channel &&
                  careful.assoc == s.assoc);
            if (parsed == Parsed::Sighting) {
                checkTaken(s);
                tracker.observe(s, events);
            }
        }
        check(tracker.tracked() <= settings.maxClients);
        check(tracker.presentCount() <= tracker.tracked());
        for (const Event &e : events) {
            out.clear();
            appendEventJson(out, e);
            check(nlohmann::json::accept(out));
        }
        events.clear();
    }
    return 0;
}
