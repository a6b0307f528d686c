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
    switch (kind) {
    case EventKind::Arrive:
        return "arrive";
    case EventKind::Move:
        return "move";
    case EventKind::Leave:
        return "leave";
    case EventKind::ApSilent:
        return "ap-silent";
    case EventKind::ApBack:
        return "ap-back";
    case EventKind::ApClock:
        return "ap-clock";
    }
    return "?";
}

static double seconds(Millis ms) {
    return static_cast<double>(ms) / 1000.0;
}

static void appendInt(std::string &out, long long value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// Milliseconds as seconds the way a JSON double prints them: "1796714000.5", "12.0".
static void appendSeconds(std::string &out, Millis ms) {
    if (ms < 0) {
        out += '-';
        ms = -ms;
    }
    appendInt(out, ms / 1000);
    char fraction[4] = {'.', static_cast<char>('0' + ms % 1000 / 100),
                        static_cast<char>('0' + ms % 100 / 10), static_cast<char>('0' + ms % 10)};
    std::size_t length = 4;
    while (length > 2 && fraction[length - 1] == '0') {
        --length;
    }
    out.append(fraction, length);
}

static void appendMac(std::string &out, uint64_t mac) {
    out += '"';
    out += macText(mac);
    out += '"';
}

// Sender addresses are IP addresses with a port in every line station-decode writes; any
// other text goes through the JSON library's escaping.
static void appendText(std::string &out, const std::string &text) {
    bool plain = std::all_of(text.begin(), text.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '.' || ch == ':' ||
               ch == '-' || ch == '%' || ch == '_';
    });
    if (plain) {
        out += '"';
        out += text;
        out += '"';
    } else {
        out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

// Written field by field: this runs for every event, and a JSON object built per event
// cost more than all the rest of a record's work.
void appendEventJson(std::string &out, const Event &e) {
    out += "{\"event\":\"";
    out += eventName(e.kind);
    out += "\",\"time\":";
    appendSeconds(out, e.time);
    bool client =
        e.kind == EventKind::Arrive || e.kind == EventKind::Move || e.kind == EventKind::Leave;
    if (client || e.client != 0) {
        out += ",\"client\":";
        appendMac(out, e.client);
    }
    out += ",\"ap\":";
    appendMac(out, e.ap);
    out += ",\"address\":";
    appendText(out, e.address);
    if (client) {
        out += ",\"rssi\":";
        appendInt(out, e.rssi);
        out += e.assoc ? ",\"assoc\":1" : ",\"assoc\":0";
    } else if (e.kind == EventKind::ApClock) {
        out += ",\"offset\":";
        appendSeconds(out, e.offset);
    } else {
        out += ",\"clients\":";
        appendInt(out, e.clients);
    }
    if (e.kind == EventKind::Move) {
        out += ",\"from\":";
        appendMac(out, e.fromAp);
    }
    if (e.kind == EventKind::Arrive || e.kind == EventKind::Leave) {
        out += ",\"since\":";
        appendSeconds(out, e.since);
    }
    if (e.kind == EventKind::Leave) {
        out += ",\"last_seen\":";
        appendSeconds(out, e.lastSeen);
        out += ",\"dwell\":{";
        for (std::size_t i = 0; i < e.dwell.size(); ++i) {
            out += i == 0 ? "" : ",";
            appendMac(out, e.dwell[i].first);
            out += ':';
            appendSeconds(out, e.dwell[i].second);
        }
        out += '}';
    }
    out += '}';
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
    std::string status = prefix_ + "/status";
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

void Mqtt::clientState(uint64_t mumac, bool home, uint64_t ap, const std::string &address, int rssi,
                       bool assoc, Millis since) {
    std::string mac = macText(mumac);
    std::string base = prefix_ + "/client/" + mac;
    if (discovered_.insert(mumac).second) {
        Json config;
        config["name"] = "Wi-Fi client " + mac;
        config["unique_id"] = objectPrefix_ + "_" + mac;
        config["object_id"] = objectPrefix_ + "_" + mac;
        config["state_topic"] = base + "/state";
        config["json_attributes_topic"] = base + "/attributes";
        config["payload_home"] = "home";
        config["payload_not_home"] = "not_home";
        config["source_type"] = "router";
        config["availability_topic"] = prefix_ + "/status";
        send("homeassistant/device_tracker/" + objectPrefix_ + "_" + mac + "/config", config.dump(),
             true);
    }
    Json attributes;
    attributes["ap"] = macText(ap);
    attributes["address"] = address;
    attributes["rssi"] = rssi;
    attributes["assoc"] = assoc ? 1 : 0;
    attributes["since"] = seconds(since);
    send(base + "/attributes", attributes.dump(-1, ' ', false, Json::error_handler_t::replace),
         true);
    send(base + "/state", home ? "home" : "not_home", true);
}

void Mqtt::publish(const Event &e) {
    send(prefix_ + "/event", eventJson(e), false);
    switch (e.kind) {
    case EventKind::Arrive:
    case EventKind::Move:
    case EventKind::Leave:
        clientState(e.client, e.kind != EventKind::Leave, e.ap, e.address, e.rssi, e.assoc,
                    e.since);
        break;
    case EventKind::ApSilent:
    case EventKind::ApBack:
        send(prefix_ + "/ap/" + macText(e.ap) + "/state",
             e.kind == EventKind::ApBack ? "online" : "offline", true);
        break;
    case EventKind::ApClock:
        break;
    }
}

void Mqtt::resync(const std::vector<Presence> &present, const std::vector<Ap> &aps) {
    send(prefix_ + "/status", "online", true);
    apsTold_ = aps.size();
    for (const Ap &ap : aps) {
        send(prefix_ + "/ap/" + macText(ap.apmac) + "/state", ap.silent ? "offline" : "online",
             true);
    }
    std::unordered_map<uint64_t, const std::string *> address;
    for (const Ap &ap : aps) {
        address[ap.apmac] = &ap.address;
    }
    for (const Presence &p : present) {
        clientState(p.mumac, true, p.ap, *address[p.ap], p.rssi, p.assoc, p.firstSeen);
    }
}

void Mqtt::newAps(const std::vector<Ap> &aps) {
    for (; apsTold_ < aps.size(); ++apsTold_) {
        send(prefix_ + "/ap/" + macText(aps[apsTold_].apmac) + "/state",
             aps[apsTold_].silent ? "offline" : "online", true);
    }
}

void Mqtt::close() {
    send(prefix_ + "/status", "offline", true);
    for (int i = 0; i < 50 && acknowledged_ < sent_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    unsent_ += sent_ - std::min<uint64_t>(sent_, acknowledged_);
    mosquitto_disconnect(mosq_);
}

} // namespace presence
