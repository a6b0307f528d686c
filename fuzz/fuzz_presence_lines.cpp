// station-presence's reading and tracking together: any lines go through the line reader into
// the tracker, whose clock also moves on between lines. Whatever they are, what is taken is in
// range, the tracker stays within its cap, and every event prints as one JSON object.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "presence_events.h"
#include "presence_input.h"
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
