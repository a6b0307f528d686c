// Events as JSON lines, and the same state on an MQTT broker in the form Home Assistant's
// MQTT device tracker reads.
#pragma once

#include "presence_state.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

struct mosquitto;

namespace presence {

const char *eventName(EventKind kind);
// One line of JSON, without the newline: appended to out, or returned.
void appendEventJson(std::string &out, const Event &e);
std::string eventJson(const Event &e);

// Where and how to reach the broker. Every field has the meaning of its command-line option.
struct MqttSettings {
    std::string host; // empty: no broker
    int port = 1883;
    std::string prefix = "station-presence";
    std::string username;
    std::string password;     // given directly (a configuration file), or
    std::string passwordFile; // its first line
    std::string caFile;       // TLS is on with either of these two
    std::string caPath;
    std::string certFile; // the client's own certificate and key, both or neither
    std::string keyFile;
    bool insecure = false; // TLS without checking the broker's name against its certificate
    std::string clientId;  // empty: station-presence-HOSTNAME-PREFIX
    int keepalive = 60;
    std::size_t queueLimit = 10000; // events held while the broker is away

    bool tls() const { return !caFile.empty() || !caPath.empty(); }
    bool operator==(const MqttSettings &other) const;
};

// What is wrong with a combination of settings, or an empty string.
std::string mqttSettingsProblem(const MqttSettings &s);

// A secret's first line from a file only its owner may read. Returns -1 with why set.
int readSecretFile(const std::string &path, std::string &secret, std::string &why);

// Publishes on a broker through its own network thread. Once connected, a lost connection
// or a refused reconnection is told once per reason (through messages()) and retried with a
// growing delay; every retained message is published again after each reconnection.
class Mqtt {
  public:
    Mqtt() = default;
    Mqtt(const Mqtt &) = delete;
    Mqtt &operator=(const Mqtt &) = delete;
    ~Mqtt();

    // Connects and waits for the broker to accept the client, then starts the network thread.
    // Returns -1 with the whole message in why when the broker cannot be reached, refuses the
    // login or the TLS handshake, or a file named in the settings cannot be read.
    int open(const MqttSettings &settings, std::string &why);
    // New settings (a configuration re-read): the old connection is finished and a new one
    // made in the background, the tracker's state published again once it is up. Returns -1
    // with why set, the old connection kept, when a file the new settings name is unreadable.
    int reconfigure(const MqttSettings &settings, std::string &why);
    void publish(const Event &e);
    // After a (re)connection: every retained message again.
    bool wantsResync() { return resync_.exchange(false); }
    void resync(const std::vector<Presence> &present, const std::vector<Ap> &aps);
    // Access points heard for the first time, and the counts of clients that changed.
    void aps(const std::vector<Ap> &aps);
    // What the network thread has to say since the last call, one line each.
    std::vector<std::string> messages();
    // The program's counts as one line, retained, when they changed since last told.
    void counts(const std::string &line);
    // Says offline and waits, a few seconds at most, until the broker has every message.
    void close();
    // Messages the broker did not acknowledge (after close()), the dropped ones included.
    uint64_t unsent() const { return unsent_; }
    // Events dropped because the queue was full while the broker was away.
    uint64_t dropped() const { return dropped_; }

  private:
    enum class Topic {
        Status,
        Counts,
        Event,
        ClientState,
        ClientAttributes,
        ApState,
        ApClients,
        Discovery,
        ApDiscovery
    };
    std::string topic(Topic which, uint64_t mac = 0) const;
    std::string broker() const;
    mosquitto *client(const MqttSettings &s, std::string &why);
    void start(bool linked);
    void finishLink(bool sayOffline);
    void run(bool linked);
    void failed(const std::string &why);
    std::string reason(int rc);
    void tell(const std::string &text);
    void send(const std::string &topic, const std::string &payload, bool retain);
    void discovery(uint64_t mumac);
    void apDiscovery(uint64_t apmac);
    void clientState(uint64_t mumac, const char *state, uint64_t ap, const std::string &address,
                     int rssi, bool assoc, Millis since);

    MqttSettings s_;
    mosquitto *mosq_ = nullptr;
    bool initialised_ = false; // the library
    std::string objectPrefix_; // the prefix as Home Assistant object ids allow it
    std::unordered_set<uint64_t> discovered_;
    std::vector<int> apClients_; // per access point, the count last published
    uint64_t skipped_ = 0;       // retained messages not sent while away, until a resync
    std::string countsTold_;

    // Shared with the network thread.
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::vector<std::string> messages_;
    std::string refusal_;  // the broker's answer to the last connection attempt
    std::string tlsError_; // the library's last error line
    std::atomic<bool> resync_{false};
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> acknowledged_{0};

    // The network thread's own.
    std::unordered_set<std::string> told_;
    bool outage_ = false;

    uint64_t unsent_ = 0;
    uint64_t dropped_ = 0;
    friend struct MqttCallbacks;
};

} // namespace presence
