// Events as JSON lines, and the same state on an MQTT broker in the form Home Assistant's
// MQTT device tracker reads.
#pragma once

#include "presence_state.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

struct mosquitto;

namespace presence {

const char *eventName(EventKind kind);
// One line of JSON, without the newline: appended to out, or returned.
void appendEventJson(std::string &out, const Event &e);
std::string eventJson(const Event &e);

class Mqtt {
  public:
    Mqtt() = default;
    Mqtt(const Mqtt &) = delete;
    Mqtt &operator=(const Mqtt &) = delete;
    ~Mqtt();

    // Connects to host:port and starts the network thread. Returns -1 with why set.
    int open(const std::string &host, int port, const std::string &prefix, std::string &why);
    void publish(const Event &e);
    // After a (re)connection: every present client's and access point's retained state again.
    bool wantsResync() { return resync_.exchange(false); }
    void resync(const std::vector<Presence> &present, const std::vector<Ap> &aps);
    // Access points heard for the first time since the last call: online.
    void newAps(const std::vector<Ap> &aps);
    // The program's counters line, retained, when it changed since last told.
    void counters(const std::string &line);
    // Says offline and waits, a few seconds at most, until the broker has every message.
    void close();
    // Messages the broker did not acknowledge (after close()).
    uint64_t unsent() const { return unsent_; }

  private:
    enum class Topic { Status, Counters, Event, ClientState, ClientAttributes, ApState, Discovery };
    std::string topic(Topic which, uint64_t mac = 0) const;
    void send(const std::string &topic, const std::string &payload, bool retain);
    void clientState(uint64_t mumac, const char *state, uint64_t ap, const std::string &address,
                     int rssi, bool assoc, Millis since);

    mosquitto *mosq_ = nullptr;
    std::string prefix_;
    std::string objectPrefix_; // the prefix as Home Assistant object ids allow it
    std::unordered_set<uint64_t> discovered_;
    std::size_t apsTold_ = 0;
    std::string countersTold_;
    std::atomic<bool> resync_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> acknowledged_{0};
    uint64_t unsent_ = 0;
    friend struct MqttCallbacks;
};

} // namespace presence
