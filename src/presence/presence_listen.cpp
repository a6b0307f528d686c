#include "presence_listen.h"

#include "listener.h"
#include "presence_notify.h"
#include "tally.h"

#include <cstring>
#include <string_view>
#include <utility>

namespace presence {

namespace {

// The decoded lines into the pipeline, and the pipeline's clock run between batches as
// follow() runs it.
class Feeding : public Consumer {
  public:
    Feeding(Pipeline &pipeline, std::function<void()> reload)
        : pipeline_(pipeline), reload_(std::move(reload)) {}

    // A batch's whole lines, all taken at one time.
    ssize_t write(const char *text, size_t length) override {
        pipeline_.lines(std::string_view(text, length), monotonicMillis());
        took_ = true;
        return static_cast<ssize_t>(length);
    }
    // A turn without a line (a wait timed out, or only refusals came) is idle input.
    bool turn(long nowMs) override {
        if (!took_) {
            pipeline_.idle(nowMs);
        }
        took_ = false;
        failed_ = pipeline_.settle(nowMs) != 0;
        if (cadence_.due(nowMs)) {
            pipeline_.tellCounts();
        }
        return !failed_;
    }
    void listening() override { notifyReady(pipeline_.counts()); }
    void stopping() override { notifyStopping(); }
    void statistics() override { pipeline_.statistics(); }
    bool reloads() const override { return true; }
    void reload() override {
        if (reload_) {
            reload_();
        }
    }
    bool failed() const { return failed_; }

  private:
    Pipeline &pipeline_;
    std::function<void()> reload_;
    StatusCadence cadence_;
    bool took_ = false;
    bool failed_ = false;
};

} // namespace

int listen(const ::Options &receiving, Pipeline &pipeline, std::function<void()> reload) {
    // CSV is read without a JSON parser; heartbeats tell an access point without clients from
    // a dead one.
    ::Options options = receiving;
    options.json = false;
    options.heartbeats = true;
    programName = "station-presence";
    Feeding feeding(pipeline, std::move(reload));
    int status = listenLoop(options, feeding);
    if (feeding.failed()) {
        status = 1;
    }
    return pipeline.finish(monotonicMillis(), status);
}

} // namespace presence
