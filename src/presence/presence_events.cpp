#include "presence_events.h"

#include "presence_input.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mosquitto.h>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>

namespace presence {

using Json = nlohmann::ordered_json;

const char *eventName(EventKind kind) {
    return kindInfo(kind).name;
}

namespace {

// Writes an event's line into room reserved at the end of a string: this runs for every
// event, and a JSON object built per event cost more than all the rest of a record's work.
class LineWriter {
  public:
    // Reserves room for at most bytes more.
    LineWriter(std::string &out, std::size_t bytes) : out_(out), start_(out.size()) {
        out.resize(start_ + bytes);
        p_ = &out[start_];
    }
    ~LineWriter() { out_.resize(static_cast<std::size_t>(p_ - out_.data())); }
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    template <std::size_t N> void put(const char (&text)[N]) {
        std::memcpy(p_, text, N - 1);
        p_ += N - 1;
    }
    void put(const char *text, std::size_t size) {
        std::memcpy(p_, text, size);
        p_ += size;
    }
    void integer(long long value) { p_ = std::to_chars(p_, p_ + 24, value).ptr; }
    // Milliseconds as seconds the way a JSON double prints them: "1796714000.5", "12.0".
    // Any value prints: the magnitude is unsigned, so the most negative one has its own.
    void seconds(Millis ms) {
        uint64_t magnitude = static_cast<uint64_t>(ms);
        if (ms < 0) {
            *p_++ = '-';
            magnitude = 0 - magnitude;
        }
        p_ = std::to_chars(p_, p_ + 24, magnitude / 1000).ptr;
        auto part = static_cast<unsigned>(magnitude % 1000);
        char fraction[4] = {'.', static_cast<char>('0' + part / 100),
                            static_cast<char>('0' + part / 10 % 10),
                            static_cast<char>('0' + part % 10)};
        std::size_t length = 4;
        while (length > 2 && fraction[length - 1] == '0') {
            --length;
        }
        put(fraction, length);
    }
    void mac(uint64_t mac) {
        *p_++ = '"';
        p_ = putMacText(p_, mac);
        *p_++ = '"';
    }

  private:
    std::string &out_;
    std::size_t start_;
    char *p_;
};

// Text as a JSON string. Sender addresses are IP addresses with a port in every line
// station-decode writes; any other text goes through the JSON library's escaping.
std::string quoted(const std::string &text) {
    bool plain = std::all_of(text.begin(), text.end(), [](char ch) {
        return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
               ch == '.' || ch == ':' || ch == '-' || ch == '%' || ch == '_';
    });
    return plain ? '"' + text + '"'
                 : Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

void appendEventJson(std::string &out, const Event &e) {
    std::string address = quoted(e.address);
    // Every other field has a bound: 320 bytes in all, and 40 an access point of the dwell.
    LineWriter w(out, 320 + address.size() + 40 * e.dwell.size());
    w.put("{\"event\":\"");
    const char *name = eventName(e.kind);
    w.put(name, std::strlen(name));
    w.put("\",\"time\":");
    w.seconds(e.time);
    const bool client = kindInfo(e.kind).client;
    if (client || e.client != 0) {
        w.put(",\"client\":");
        w.mac(e.client);
    }
    w.put(",\"ap\":");
    w.mac(e.ap);
    w.put(",\"address\":");
    w.put(address.data(), address.size());
    if (client) {
        w.put(",\"rssi\":");
        w.integer(e.rssi);
        w.put(e.assoc ? ",\"assoc\":1" : ",\"assoc\":0", 10);
    } else if (e.kind == EventKind::ApClock) {
        w.put(",\"offset\":");
        w.seconds(e.offset);
    } else {
        w.put(",\"clients\":");
        w.integer(e.clients);
    }
    if (e.kind == EventKind::Move) {
        w.put(",\"from\":");
        w.mac(e.fromAp);
    }
    if (e.kind == EventKind::Arrive || e.kind == EventKind::Leave) {
        w.put(",\"since\":");
        w.seconds(e.since);
    }
    if (e.kind == EventKind::Leave) {
        w.put(",\"last_seen\":");
        w.seconds(e.lastSeen);
        w.put(",\"dwell\":{");
        for (std::size_t i = 0; i < e.dwell.size(); ++i) {
            if (i > 0) {
                w.put(",");
            }
            w.mac(e.dwell[i].first);
            w.put(":");
            w.seconds(e.dwell[i].second);
        }
        w.put("}");
    }
    w.put("}");
}

std::string eventJson(const Event &e) {
    std::string out;
    appendEventJson(out, e);
    return out;
}

// ---- MQTT ------------------------------------------------------------------------------

struct MqttCallbacks {
    static void connected(mosquitto * /*mosq*/, void *self, int rc) {
        if (rc == 0) {
            static_cast<Mqtt *>(self)->resync_ = true;
        }
    }
    static void published(mosquitto * /*mosq*/, void *self, int /*mid*/) {
        static_cast<Mqtt *>(self)->acknowledged_++;
    }
};

Mqtt::~Mqtt() {
    if (mosq_ != nullptr) {
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
}

int Mqtt::open(const std::string &host, int port, const std::string &prefix, std::string &why) {
    mosquitto_lib_init();
    prefix_ = prefix;
    for (char ch : prefix) {
        objectPrefix_ += std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
    }
    mosq_ = mosquitto_new(nullptr, true, this);
    if (mosq_ == nullptr) {
        why = "cannot create an MQTT client";
        return -1;
    }
    mosquitto_connect_callback_set(mosq_, MqttCallbacks::connected);
    mosquitto_publish_callback_set(mosq_, MqttCallbacks::published);
    std::string status = topic(Topic::Status);
    mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    int rc = mosquitto_connect(mosq_, host.c_str(), port, 30);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_start(mosq_);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
        return -1;
    }
    return 0;
}

// Every topic the program publishes on: the README's table of them.
std::string Mqtt::topic(Topic which, uint64_t mac) const {
    switch (which) {
    case Topic::Status:
        return prefix_ + "/status";
    case Topic::Counters:
        return prefix_ + "/counters";
    case Topic::Event:
        return prefix_ + "/event";
    case Topic::ClientState:
        return prefix_ + "/client/" + macText(mac) + "/state";
    case Topic::ClientAttributes:
        return prefix_ + "/client/" + macText(mac) + "/attributes";
    case Topic::ApState:
        return prefix_ + "/ap/" + macText(mac) + "/state";
    case Topic::Discovery:
        return "homeassistant/device_tracker/" + objectPrefix_ + "_" + macText(mac) + "/config";
    }
    return prefix_;
}

void Mqtt::send(const std::string &topic, const std::string &payload, bool retain) {
    int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), 1, retain);
    // Without a connection the library keeps the message and sends it once reconnected; an
    // acknowledgement or its absence at the end says whether it arrived.
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
        sent_++;
    } else {
        unsent_++;
    }
}

void Mqtt::clientState(uint64_t mumac, const char *state, uint64_t ap, const std::string &address,
                       int rssi, bool assoc, Millis since) {
    std::string mac = macText(mumac);
    if (discovered_.insert(mumac).second) {
        Json config;
        config["name"] = "Wi-Fi client " + mac;
        config["unique_id"] = objectPrefix_ + "_" + mac;
        config["object_id"] = objectPrefix_ + "_" + mac;
        config["state_topic"] = topic(Topic::ClientState, mumac);
        config["json_attributes_topic"] = topic(Topic::ClientAttributes, mumac);
        config["payload_home"] = kindInfo(EventKind::Arrive).state;
        config["payload_not_home"] = kindInfo(EventKind::Leave).state;
        config["source_type"] = "router";
        config["availability_topic"] = topic(Topic::Status);
        send(topic(Topic::Discovery, mumac), config.dump(), true);
    }
    Json attributes;
    attributes["ap"] = macText(ap);
    attributes["address"] = address;
    attributes["rssi"] = rssi;
    attributes["assoc"] = assoc ? 1 : 0;
    attributes["since"] = seconds(since);
    send(topic(Topic::ClientAttributes, mumac),
         attributes.dump(-1, ' ', false, Json::error_handler_t::replace), true);
    send(topic(Topic::ClientState, mumac), state, true);
}

void Mqtt::publish(const Event &e) {
    send(topic(Topic::Event), eventJson(e), false);
    const EventKindInfo &kind = kindInfo(e.kind);
    if (kind.state == nullptr) {
        return;
    }
    if (kind.client) {
        clientState(e.client, kind.state, e.ap, e.address, e.rssi, e.assoc, e.since);
    } else {
        send(topic(Topic::ApState, e.ap), kind.state, true);
    }
}

// An access point's retained state as its last event set it.
static const char *apState(const Ap &ap) {
    return kindInfo(ap.silent ? EventKind::ApSilent : EventKind::ApBack).state;
}

void Mqtt::resync(const std::vector<Presence> &present, const std::vector<Ap> &aps) {
    send(topic(Topic::Status), "online", true);
    countersTold_.clear();
    apsTold_ = aps.size();
    for (const Ap &ap : aps) {
        send(topic(Topic::ApState, ap.apmac), apState(ap), true);
    }
    std::unordered_map<uint64_t, const std::string *> address;
    for (const Ap &ap : aps) {
        address[ap.apmac] = &ap.address;
    }
    for (const Presence &p : present) {
        clientState(p.mumac, kindInfo(EventKind::Arrive).state, p.ap, *address[p.ap], p.rssi,
                    p.assoc, p.firstSeen);
    }
}

void Mqtt::newAps(const std::vector<Ap> &aps) {
    for (; apsTold_ < aps.size(); ++apsTold_) {
        send(topic(Topic::ApState, aps[apsTold_].apmac), apState(aps[apsTold_]), true);
    }
}

void Mqtt::counters(const std::string &line) {
    if (line != countersTold_) {
        countersTold_ = line;
        send(topic(Topic::Counters), line, true);
    }
}

void Mqtt::close() {
    send(topic(Topic::Status), "offline", true);
    for (int i = 0; i < 50 && acknowledged_ < sent_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    unsent_ += sent_ - std::min<uint64_t>(sent_, acknowledged_);
    mosquitto_disconnect(mosq_);
}

} // namespace presence
