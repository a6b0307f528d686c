// The program's clock: the receive times of the lines read, which no single report can move
// far ahead.
#pragma once

#include "presence_state.h"

#include <cstdint>
#include <string>
#include <vector>

namespace presence {

// A line of input on its way to the tracker.
struct Line {
    uint64_t number = 0; // counted from 1 in the input
    Millis at = 0;       // when the program takes it: its receive time, never before the clock
    Sighting sighting;
};

struct RefusedLine {
    uint64_t number = 0;
    std::string why;
};

// The clock starts at the first line's receive time and follows the lines' receive times.
// While the input is idle it runs on by the monotonic time elapsed since the last line was
// taken, so a stopped input still ends visits. A line from before the clock is taken at the
// clock's time: the events printed never go back in time. A report from more than the bound
// ahead of the clock is held, and taken only once another report agrees that the time has
// moved on (one received as late, or later, or at most the bound before it), or once the
// clock comes within the bound of it; a line that arrives meanwhile from the clock's own time
// refuses it.
class Clock {
  public:
    explicit Clock(Millis bound) : bound_(bound) {}
    void setBound(Millis bound) { bound_ = bound; }

    bool started() const { return started_; }
    // The usual case, without copying the line: the time the tracker takes a line received
    // then, or -1 when the line must go through offer().
    Millis quick(Millis received, Millis monotonic) {
        if (!started_ || !held_.empty() || received - last_ > bound_) {
            return -1;
        }
        last_ = received > last_ ? received : last_;
        takenAt_ = monotonic;
        return last_;
    }
    // Offers a line read at monotonic time `monotonic` (milliseconds). Lines the tracker may
    // now take are appended to ready in order, lines given up to refused.
    void offer(Line line, Millis monotonic, std::vector<Line> &ready,
               std::vector<RefusedLine> &refused);
    // The clock while the input is idle, to tick the tracker with; releases a held report the
    // clock has come within the bound of. Returns -1 before the first line.
    Millis advance(Millis monotonic, std::vector<Line> &ready);
    // The input is over: a report still held was never confirmed.
    void end(std::vector<RefusedLine> &refused);

  private:
    static constexpr std::size_t kMostHeld = 256; // a report has at most 18 records

    void take(Line &line, Millis at, Millis monotonic, std::vector<Line> &ready);
    void release(Millis monotonic, std::vector<Line> &ready);
    void refuseHeld(std::vector<RefusedLine> &refused);
    bool sameReport(const Sighting &s) const;

    Millis bound_;
    bool started_ = false;
    Millis last_ = 0;    // the clock as the last line taken set it
    Millis takenAt_ = 0; // the monotonic time that line was taken
    std::vector<Line> held_;
};

} // namespace presence
