#include "presence_clock.h"

#include <algorithm>
#include <cstdio>

namespace presence {

void Clock::take(Line &line, Millis at, Millis monotonic, std::vector<Line> &ready) {
    line.at = at;
    last_ = at;
    takenAt_ = monotonic;
    ready.push_back(std::move(line));
}

// The held report is taken: the clock moves on to it.
void Clock::release(Millis monotonic, std::vector<Line> &ready) {
    for (Line &line : held_) {
        take(line, std::max(last_, line.sighting.received), monotonic, ready);
    }
    held_.clear();
}

void Clock::refuseHeld(std::vector<RefusedLine> &refused) {
    for (const Line &line : held_) {
        char why[96];
        std::snprintf(why, sizeof why, "received %.3f s ahead of the clock, not confirmed",
                      static_cast<double>(line.sighting.received - last_) / 1000.0);
        refused.push_back(RefusedLine{line.number, why});
    }
    held_.clear();
}

// The lines of one report share their sender's address and receive time.
bool Clock::sameReport(const Sighting &s) const {
    const Sighting &first = held_.front().sighting;
    return s.received == first.received && s.address == first.address;
}

void Clock::offer(Line line, Millis monotonic, std::vector<Line> &ready,
                  std::vector<RefusedLine> &refused) {
    const Millis received = line.sighting.received;
    if (!started_) {
        started_ = true;
        take(line, received, monotonic, ready);
        return;
    }
    if (received - last_ <= bound_) {
        take(line, std::max(last_, received), monotonic, ready);
        if (!held_.empty() && held_.front().sighting.received - last_ <= bound_) {
            release(monotonic, ready);
        } else {
            refuseHeld(refused);
        }
        return;
    }
    if (held_.empty() || sameReport(line.sighting)) {
        if (held_.size() < kMostHeld) {
            held_.push_back(std::move(line));
        } else {
            refused.push_back(RefusedLine{line.number, "too many lines held ahead of the clock"});
        }
        return;
    }
    // A second report from as far ahead, or further, agrees that the time has moved on.
    if (received >= held_.front().sighting.received - bound_) {
        release(monotonic, ready);
        take(line, std::max(last_, received), monotonic, ready);
        return;
    }
    refuseHeld(refused);
    held_.push_back(std::move(line));
}

Millis Clock::advance(Millis monotonic, std::vector<Line> &ready) {
    if (!started_) {
        return -1;
    }
    if (monotonic > takenAt_) {
        last_ += monotonic - takenAt_;
        takenAt_ = monotonic;
    }
    if (!held_.empty() && held_.front().sighting.received - last_ <= bound_) {
        release(monotonic, ready);
    }
    return last_;
}

void Clock::end(std::vector<RefusedLine> &refused) {
    refuseHeld(refused);
}

} // namespace presence
