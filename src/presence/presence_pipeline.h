// Following station-decode's lines: read, clocked, tracked, and the events routed to standard
// output, the broker and the database. Its clock and its outputs are given to it, so that a
// test drives it line by line.
#pragma once

#include "presence_clock.h"
#include "presence_input.h"
#include "presence_options.h"
#include "presence_state.h"

#include <array>
#include <csignal>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace presence {

class Store;
class Mqtt;

// Where a pipeline's words go.
class Sink {
  public:
    virtual ~Sink() = default;
    // Event lines, each with its newline. Returns false when they could not be written.
    virtual bool events(std::string_view lines) = 0;
    // A line for standard error, without the program's name or the newline.
    virtual void message(const std::string &text) = 0;
};

// The first few refused lines one by one, then at most one line every ten seconds with the
// count, so a producer gone wrong cannot flood the log.
class Refusals {
  public:
    void refuse(uint64_t line, const std::string &why, Millis monotonic, Sink &sink);
    void tell(bool final, Millis monotonic, Sink &sink);
    uint64_t total() const { return total_; }

  private:
    static constexpr uint64_t kOneByOne = 5;
    static constexpr Millis kEvery = 10000;
    uint64_t total_ = 0;
    uint64_t held_ = 0;
    uint64_t lastLine_ = 0;
    std::string last_;
    Millis told_ = 0;
};

// The exit status of a run that ended well but whose broker did not acknowledge every
// message (it was away at the end): the service's stop is no failure of the program.
constexpr int kExitUndelivered = 3;

class Pipeline {
  public:
    // store and mqtt may be null; they stay the caller's.
    Pipeline(const Options &options, Sink &sink, Store *store, Mqtt *mqtt);

    // One line of input (without its newline), its bytes read at monotonic milliseconds.
    void line(std::string_view text, Millis monotonic);
    // Lines of input, each ending in a newline but perhaps the last, read at one time: the
    // same as line() on each, with each line's client fetched into the cache a few lines
    // before the tracker reaches it.
    void lines(std::string_view text, Millis monotonic);
    // A line too long to be read, refused whole.
    void tooLong(Millis monotonic);
    // The input has been idle: the clock runs on.
    void idle(Millis monotonic);
    // After a batch of lines: events told, refusals counted, the broker brought up to date,
    // the database written at most once a second. Returns -1 when the database could not be
    // written (the message said why).
    int settle(Millis monotonic);
    // The input is over or the program stops: what is held is refused, the database written
    // a last time, the broker told, the summary said. Returns the exit status.
    int finish(Millis monotonic, int status);

    // The config read again: what can change without losing state is applied, the rest said.
    void reconfigure(const Options &next, const std::vector<std::string> &refused);

    // A message of the reading loop's own, where the pipeline's go.
    void tell(const std::string &text) { sink_.message(text); }
    // "statistics: " and the counts the summary tells, so far.
    void statistics() { sink_.message("statistics: " + counts()); }

    const Tracker &tracker() const { return tracker_; }
    Tracker &tracker() { return tracker_; } // for a restart to restore what was kept
    uint64_t lines() const { return lines_; }
    // The counts the summary ends with, as one line: also the service's status.
    std::string counts() const;
    // The counts as the service's status and, retained, on the broker.
    void tellCounts();

  private:
    // A line as read, before the tracker takes it.
    struct Read {
        Parsed parsed = Parsed::Skip;
        Sighting sighting;
        std::string why;
    };
    // Lines read ahead of the tracker: a client's slot is asked for when its line is read,
    // and fetched kAhead / 2 lines later, when its place in the table is in the cache.
    static constexpr std::size_t kAhead = 8;

    void read(std::string_view text, Read &r);
    void take(Read &r, Millis monotonic);
    void take(Millis monotonic);
    void emit();
    void deliver(const Event &e);
    void updateBroker();
    void sayMqttMessages();
    int flush(bool final);
    void writeOutput();

    Options o_;
    Sink &sink_;
    Store *store_;
    Mqtt *mqtt_;
    Tracker tracker_;
    Clock clock_;
    Refusals refusals_;
    std::vector<Event> events_;
    std::vector<Line> ready_;          // lines the clock lets the tracker take
    std::vector<RefusedLine> refused_; // lines the clock gave up
    std::array<Read, kAhead> ahead_;   // the lines being read
    std::string output_;               // the events' lines, written at once
    uint64_t lines_ = 0;
    uint64_t counts_[std::size(kEventKinds)] = {};
    bool outputFailed_ = false;
    Millis flushedAt_ = 0;
};

// Milliseconds of the monotonic clock.
Millis monotonicMillis();

// Reads lines from fd into the pipeline until the input ends or stop is set; a line longer
// than 64 KiB is refused. between runs after each batch of lines (a reload, if one was
// asked). Returns the exit status after finish().
int follow(int fd, Pipeline &pipeline, const volatile std::sig_atomic_t &stop,
           const std::function<void()> &between);

} // namespace presence
