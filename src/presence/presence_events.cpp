#include "presence_events.h"

#include "presence_input.h"

#ifndef STATION_PRESENCE_VERSION
#define STATION_PRESENCE_VERSION "0"
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
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

// ---- MQTT settings ----------------------------------------------------------------------

bool MqttSettings::operator==(const MqttSettings &o) const {
    return std::tie(host, port, prefix, username, password, passwordFile, caFile, caPath, certFile,
                    keyFile, insecure, clientId, keepalive, queueLimit) ==
           std::tie(o.host, o.port, o.prefix, o.username, o.password, o.passwordFile, o.caFile,
                    o.caPath, o.certFile, o.keyFile, o.insecure, o.clientId, o.keepalive,
                    o.queueLimit);
}

std::string mqttSettingsProblem(const MqttSettings &s) {
    const bool password = !s.password.empty() || !s.passwordFile.empty();
    if (s.host.empty()) {
        const bool more = password || !s.username.empty() || s.tls() || !s.certFile.empty() ||
                          !s.keyFile.empty() || s.insecure || !s.clientId.empty();
        return more ? "the MQTT settings need --mqtt HOST" : "";
    }
    if (password && s.username.empty()) {
        return "an MQTT password needs --mqtt-user NAME";
    }
    if (!s.password.empty() && !s.passwordFile.empty()) {
        return "the MQTT password is given twice";
    }
    if (s.certFile.empty() != s.keyFile.empty()) {
        return "--mqtt-cert and --mqtt-key go together";
    }
    if ((!s.certFile.empty() || s.insecure) && !s.tls()) {
        return "--mqtt-cert, --mqtt-key and --mqtt-insecure-skip-name-check need TLS: "
               "--mqtt-ca FILE or --mqtt-capath DIR";
    }
    return "";
}

int readSecretFile(const std::string &path, std::string &secret, std::string &why) {
    // Without blocking on a FIFO; a terminal never becomes ours.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = path + ": cannot open: " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    constexpr std::size_t kLongest = 4096;
    char text[kLongest + 2]; // a byte more tells a longer line
    ssize_t got = -1;
    if (fstat(fd, &st) != 0) {
        why = path + ": cannot open: " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = path + ": not a regular file";
    } else if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        why = path + ": readable by others; chmod 600 it";
    } else if ((got = read(fd, text, kLongest + 1)) < 0) {
        why = path + ": cannot read: " + std::strerror(errno);
    }
    ::close(fd);
    if (got < 0) {
        return -1;
    }
    std::string_view first(text, static_cast<std::size_t>(got));
    first = first.substr(0, first.find('\n'));
    if (first.size() > kLongest) {
        why = path + ": its first line is longer than 4096 bytes";
        return -1;
    }
    if (!first.empty() && first.back() == '\r') {
        first.remove_suffix(1);
    }
    secret = first;
    return 0;
}

namespace {

// The settings with the password file read.
int resolve(const MqttSettings &given, MqttSettings &out, std::string &why) {
    out = given;
    return given.passwordFile.empty() ? 0 : readSecretFile(given.passwordFile, out.password, why);
}

// Each file the settings name, opened: the library only says that one is missing.
int readable(const MqttSettings &s, std::string &why) {
    for (const std::string *path : {&s.caFile, &s.certFile, &s.keyFile, &s.caPath}) {
        if (path->empty()) {
            continue;
        }
        const int fd = ::open(path->c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            why = *path + ": cannot open: " + std::strerror(errno);
            return -1;
        }
        ::close(fd);
    }
    return 0;
}

// An encrypted key has no passphrase here: refused, rather than asked for on a terminal.
int noPassphrase(char * /*buf*/, int /*size*/, int /*rwflag*/, void * /*userdata*/) {
    return 0;
}

// An entity id's object part as Home Assistant accepts it: lower case, no leading, trailing
// or doubled underscore.
std::string slug(const std::string &text) {
    std::string out;
    for (char ch : text) {
        const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (lower != '_' || (!out.empty() && out.back() != '_')) {
            out += lower;
        }
    }
    if (!out.empty() && out.back() == '_') {
        out.pop_back();
    }
    return out;
}

// Who publishes a discovery config, and the device it belongs to.
Json origin() {
    return Json{{"name", "station-presence"}, {"sw_version", STATION_PRESENCE_VERSION}};
}
Json device(const std::string &id, const std::string &name, const char *model) {
    return Json{{"identifiers", Json::array({id})},
                {"name", name},
                {"model", model},
                {"sw_version", STATION_PRESENCE_VERSION}};
}

// The prefix as Home Assistant's object ids allow it.
std::string objectPrefix(const std::string &prefix) {
    std::string out;
    for (char ch : prefix) {
        out += std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
    }
    return out;
}

// An access point's retained state as its last event set it.
const char *apState(const Ap &ap) {
    return kindInfo(ap.silent ? EventKind::ApSilent : EventKind::ApBack).state;
}

constexpr auto kFirstDelay = std::chrono::seconds(1);
constexpr auto kLastDelay = std::chrono::seconds(30);
// A connection up this long ends an outage: the delay starts again from its first step and
// every reason may be told again.
constexpr auto kStable = std::chrono::seconds(30);
constexpr auto kAnswer = std::chrono::seconds(10); // for the broker's answer at the start

} // namespace

// ---- MQTT ------------------------------------------------------------------------------

struct MqttCallbacks {
    static void connected(mosquitto * /*mosq*/, void *self, int rc) {
        auto *m = static_cast<Mqtt *>(self);
        if (rc == 0) {
            m->connected_ = true;
            m->resync_ = true;
            return;
        }
        // "Connection Refused: not authorised." as "not authorised"
        std::string text = mosquitto_connack_string(rc);
        const std::string lead = "Connection Refused: ";
        if (text.compare(0, lead.size(), lead) == 0) {
            text.erase(0, lead.size());
        }
        if (!text.empty() && text.back() == '.') {
            text.pop_back();
        }
        const std::lock_guard<std::mutex> lock(m->mutex_);
        m->refusal_ = "login refused: " + text;
    }
    static void disconnected(mosquitto * /*mosq*/, void *self, int /*rc*/) {
        static_cast<Mqtt *>(self)->connected_ = false;
    }
    static void published(mosquitto * /*mosq*/, void *self, int /*mid*/) {
        static_cast<Mqtt *>(self)->acknowledged_++;
    }
    // The library's errors (a TLS handshake's among them) are the reasons of a failure.
    static void logged(mosquitto *mosq, void *self, int level, const char *text) {
        if ((level & MOSQ_LOG_ERR) == 0) {
            return;
        }
        // "certificate verify failed" says little: the check that failed says why. The
        // library's own check of the name, made once the chain is trusted, leaves its
        // failure unspecified.
        auto *m = static_cast<Mqtt *>(self);
        std::string why = text;
        const auto *ssl = static_cast<const SSL *>(mosquitto_ssl_get(mosq));
        const long verified = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
        if (verified == X509_V_ERR_UNSPECIFIED) {
            why = "TLS: the broker's certificate is not for the name " + m->s_.host;
        } else if (verified != X509_V_OK) {
            why = std::string("TLS: the broker's certificate: ") +
                  X509_verify_cert_error_string(verified);
        }
        const std::lock_guard<std::mutex> lock(m->mutex_);
        // The first line says the most, unless a later one has the check that failed.
        if (m->tlsError_.empty() || verified != X509_V_OK) {
            m->tlsError_ = why;
        }
    }
};

Mqtt::~Mqtt() {
    if (thread_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
    }
    if (initialised_) {
        mosquitto_lib_cleanup();
    }
}

std::string Mqtt::broker() const {
    const bool v6 = s_.host.find(':') != std::string::npos;
    return (v6 ? "[" + s_.host + "]" : s_.host) + ":" + std::to_string(s_.port);
}

// A client for the settings, not connected yet. Returns nullptr with why set.
mosquitto *Mqtt::client(const MqttSettings &s, std::string &why) {
    if (readable(s, why) != 0) {
        return nullptr;
    }
    std::string id = s.clientId;
    if (id.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        id = std::string("station-presence-") + host + "-" + s.prefix;
    }
    mosquitto *m = mosquitto_new(id.c_str(), true, this);
    if (m == nullptr) {
        why = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return nullptr;
    }
    mosquitto_threaded_set(m, true);
    mosquitto_connect_callback_set(m, MqttCallbacks::connected);
    mosquitto_disconnect_callback_set(m, MqttCallbacks::disconnected);
    mosquitto_publish_callback_set(m, MqttCallbacks::published);
    mosquitto_log_callback_set(m, MqttCallbacks::logged);
    const std::string status = s.prefix + "/status";
    int rc = mosquitto_will_set(m, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !s.username.empty()) {
        const bool password = !s.password.empty() || !s.passwordFile.empty();
        rc = mosquitto_username_pw_set(m, s.username.c_str(),
                                       password ? s.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && s.tls()) {
        auto path = [](const std::string &p) { return p.empty() ? nullptr : p.c_str(); };
        rc = mosquitto_tls_set(m, path(s.caFile), path(s.caPath), path(s.certFile), path(s.keyFile),
                               noPassphrase);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_tls_insecure_set(m, s.insecure);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        why = std::string("cannot set up the MQTT client: ") + mosquitto_strerror(rc);
        mosquitto_destroy(m);
        return nullptr;
    }
    return m;
}

// Why the last attempt or connection failed: the broker's refusal, the library's error
// line, or the system's reason.
std::string Mqtt::reason(int rc) {
    const int error = errno;
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string why = !refusal_.empty()             ? refusal_
                      : !tlsError_.empty()          ? tlsError_
                      : rc == MOSQ_ERR_ERRNO        ? std::strerror(error)
                      : rc == MOSQ_ERR_CONN_REFUSED ? "login refused"
                      : rc == MOSQ_ERR_KEEPALIVE    ? "no answer within the keepalive"
                                                    : mosquitto_strerror(rc);
    refusal_.clear();
    tlsError_.clear();
    if (!why.empty() && why.back() == '.') { // "The connection was lost."
        why.pop_back();
    }
    return why;
}

int Mqtt::open(const MqttSettings &settings, std::string &why) {
    initialised_ = initialised_ || mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    if (resolve(settings, s_, why) != 0 || (mosq_ = client(s_, why)) == nullptr) {
        return -1;
    }
    objectPrefix_ = objectPrefix(s_.prefix);
    const std::string cannot = "cannot connect to the MQTT broker " + broker() + ": ";
    int rc = mosquitto_connect(mosq_, s_.host.c_str(), s_.port, s_.keepalive);
    // The broker's answer: an unreachable one, a refused login or TLS handshake is one
    // message at the start, where a wrong setting is told at once.
    const auto until = std::chrono::steady_clock::now() + kAnswer;
    while (rc == MOSQ_ERR_SUCCESS && !connected_ && std::chrono::steady_clock::now() < until) {
        rc = mosquitto_loop(mosq_, 100, 1);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!refusal_.empty() && rc == MOSQ_ERR_SUCCESS) {
            rc = MOSQ_ERR_CONN_REFUSED;
        }
    }
    if (rc == MOSQ_ERR_SUCCESS && connected_) {
        start(true);
        return 0;
    }
    why = cannot + (rc != MOSQ_ERR_SUCCESS
                        ? reason(rc)
                        : "no answer in " + std::to_string(kAnswer.count()) + " s");
    mosquitto_destroy(mosq_); // open may be called again
    mosq_ = nullptr;
    return -1;
}

int Mqtt::reconfigure(const MqttSettings &settings, std::string &why) {
    MqttSettings next;
    if (resolve(settings, next, why) != 0) {
        return -1;
    }
    if (next == s_) {
        return 0;
    }
    mosquitto *m = client(next, why);
    if (m == nullptr) {
        return -1;
    }
    // Offline where this program no longer publishes.
    finishLink(next.host != s_.host || next.port != s_.port || next.prefix != s_.prefix);
    s_ = next;
    mosq_ = m;
    objectPrefix_ = objectPrefix(s_.prefix);
    told_.clear();
    outage_ = false;
    const int rc = mosquitto_connect_async(mosq_, s_.host.c_str(), s_.port, s_.keepalive);
    if (rc != MOSQ_ERR_SUCCESS) {
        failed(reason(rc));
    }
    start(rc == MOSQ_ERR_SUCCESS);
    return 0;
}

void Mqtt::start(bool linked) {
    stop_ = false;
    thread_ = std::thread([this, linked] { run(linked); });
}

// The network thread: the connection's traffic, and after a failure attempts at a delay that
// doubles from a second to half a minute.
void Mqtt::run(bool linked) {
    using Clock = std::chrono::steady_clock;
    auto delay = std::chrono::duration_cast<Clock::duration>(kFirstDelay);
    Clock::time_point upSince = Clock::now();
    bool up = connected_;
    bool toldBack = false;
    for (;;) {
        if (!linked) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_for(lock, delay, [this] { return stop_; })) {
                return;
            }
            delay = std::min<Clock::duration>(delay * 2, kLastDelay);
            refusal_.clear();
            tlsError_.clear();
            lock.unlock();
            const int rc = mosquitto_reconnect_async(mosq_);
            if (rc != MOSQ_ERR_SUCCESS) {
                failed(reason(rc));
                continue;
            }
            linked = true;
        }
        const int rc = mosquitto_loop(mosq_, 500, 1);
        if (connected_ && !up) {
            upSince = Clock::now();
            if (outage_ && !toldBack) {
                tell("MQTT broker " + broker() + ": connected again");
                toldBack = true;
            }
        }
        up = connected_;
        if (up && outage_ && Clock::now() - upSince >= kStable) {
            delay = kFirstDelay;
            told_.clear();
            outage_ = toldBack = false;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            linked = up = false;
            const std::size_t before = told_.size();
            failed(reason(rc));
            toldBack = toldBack && told_.size() == before;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) {
            return;
        }
    }
}

// Told once per reason until a connection has lasted.
void Mqtt::failed(const std::string &why) {
    connected_ = false;
    if (told_.insert(why).second) {
        outage_ = true;
        tell("MQTT broker " + broker() + ": " + why + "; trying again");
    }
}

void Mqtt::tell(const std::string &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text);
}

std::vector<std::string> Mqtt::messages() {
    std::vector<std::string> out;
    const std::lock_guard<std::mutex> lock(mutex_);
    out.swap(messages_);
    return out;
}

// Every topic the program publishes on: the README's table of them.
std::string Mqtt::topic(Topic which, uint64_t mac) const {
    switch (which) {
    case Topic::Status:
        return s_.prefix + "/status";
    case Topic::Counts:
        return s_.prefix + "/counters";
    case Topic::Event:
        return s_.prefix + "/event";
    case Topic::ClientState:
        return s_.prefix + "/client/" + macText(mac) + "/state";
    case Topic::ClientAttributes:
        return s_.prefix + "/client/" + macText(mac) + "/attributes";
    case Topic::ApState:
        return s_.prefix + "/ap/" + macText(mac) + "/state";
    case Topic::ApClients:
        return s_.prefix + "/ap/" + macText(mac) + "/clients";
    case Topic::Discovery:
        return "homeassistant/device_tracker/" + objectPrefix_ + "_" + macText(mac) + "/config";
    case Topic::ApDiscovery:
        return "homeassistant/sensor/" + objectPrefix_ + "_" + macText(mac) + "/config";
    }
    return s_.prefix;
}

// While the broker is away retained messages wait for the resync that follows the
// reconnection, which publishes them all again as they are then; events are held by the
// library up to the queue's limit.
void Mqtt::send(const std::string &topic, const std::string &payload, bool retain) {
    if (!connected_) {
        if (retain) {
            skipped_++;
            return;
        }
        if (sent_ - std::min<uint64_t>(sent_, acknowledged_) >= s_.queueLimit) {
            dropped_++;
            unsent_++;
            return;
        }
    }
    const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), 1, retain);
    // Without a connection the library keeps the message and sends it once reconnected; an
    // acknowledgement or its absence at the end says whether it arrived.
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
        sent_++;
    } else {
        unsent_++;
    }
}

// A client's tracker, a device of its own. unique_id is the one earlier versions gave, so
// Home Assistant keeps the entity it knows.
void Mqtt::discovery(uint64_t mumac) {
    const std::string mac = macText(mumac);
    const std::string id = objectPrefix_ + "_" + mac;
    Json config;
    config["name"] = nullptr; // the device's name
    config["unique_id"] = id;
    config["default_entity_id"] = "device_tracker." + slug(id);
    config["state_topic"] = topic(Topic::ClientState, mumac);
    config["json_attributes_topic"] = topic(Topic::ClientAttributes, mumac);
    config["payload_home"] = kindInfo(EventKind::Arrive).state;
    config["payload_not_home"] = kindInfo(EventKind::Leave).state;
    config["source_type"] = "router";
    config["availability_topic"] = topic(Topic::Status);
    config["device"] = device(objectPrefix_ + "_client_" + mac, "Wi-Fi client " + mac,
                              "Wi-Fi client seen by station-presence");
    config["origin"] = origin();
    send(topic(Topic::Discovery, mumac), config.dump(), true);
}

// An access point's count of clients, a sensor on a device of its own.
void Mqtt::apDiscovery(uint64_t apmac) {
    const std::string mac = macText(apmac);
    const std::string id = objectPrefix_ + "_" + mac + "_clients";
    Json config;
    config["name"] = "Clients";
    config["unique_id"] = id;
    config["default_entity_id"] = "sensor." + slug(id);
    config["state_topic"] = topic(Topic::ApClients, apmac);
    config["unit_of_measurement"] = "clients";
    config["state_class"] = "measurement";
    config["availability_topic"] = topic(Topic::Status);
    config["device"] = device(objectPrefix_ + "_ap_" + mac, "Access point " + mac,
                              "access point reporting to station-presence");
    config["origin"] = origin();
    send(topic(Topic::ApDiscovery, apmac), config.dump(), true);
}

void Mqtt::clientState(uint64_t mumac, const char *state, uint64_t ap, const std::string &address,
                       int rssi, bool assoc, Millis since) {
    if (discovered_.insert(mumac).second) {
        discovery(mumac);
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

// Everything retained, as the broker may have lost it: status, every access point, every
// client of this run (those gone as not_home), their discovery configs first.
void Mqtt::resync(const std::vector<Presence> &present, const std::vector<Ap> &aps) {
    skipped_ = 0;
    send(topic(Topic::Status), "online", true);
    countsTold_.clear(); // the next counts are published again
    apClients_.clear();
    this->aps(aps);
    for (uint64_t mumac : discovered_) {
        discovery(mumac);
    }
    std::unordered_map<uint64_t, const std::string *> address;
    for (const Ap &ap : aps) {
        address[ap.apmac] = &ap.address;
    }
    const std::string none;
    std::unordered_set<uint64_t> here;
    for (const Presence &p : present) {
        here.insert(p.mumac);
        auto at = address.find(p.ap);
        clientState(p.mumac, kindInfo(EventKind::Arrive).state, p.ap,
                    at != address.end() ? *at->second : none, p.rssi, p.assoc, p.firstSeen);
    }
    for (uint64_t mumac : discovered_) {
        if (here.count(mumac) == 0) {
            send(topic(Topic::ClientState, mumac), kindInfo(EventKind::Leave).state, true);
        }
    }
}

void Mqtt::aps(const std::vector<Ap> &aps) {
    for (std::size_t i = 0; i < aps.size(); ++i) {
        const Ap &ap = aps[i];
        if (i >= apClients_.size()) {
            send(topic(Topic::ApState, ap.apmac), apState(ap), true);
            apDiscovery(ap.apmac);
            apClients_.push_back(-1);
        }
        if (apClients_[i] != ap.clients) {
            apClients_[i] = ap.clients;
            send(topic(Topic::ApClients, ap.apmac), std::to_string(ap.clients), true);
        }
    }
}

// Waits for the broker's acknowledgements while it is there, then ends the connection and
// the network thread; what was not acknowledged is counted.
void Mqtt::finishLink(bool sayOffline) {
    if (sayOffline) {
        send(topic(Topic::Status), "offline", true);
    }
    for (int i = 0; i < 50 && connected_ && acknowledged_ < sent_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    unsent_ += skipped_ + sent_ - std::min<uint64_t>(sent_, acknowledged_);
    skipped_ = 0;
    sent_ = 0;
    acknowledged_ = 0;
    // Written at once, now that no thread of the library's runs: no last will.
    mosquitto_threaded_set(mosq_, false);
    mosquitto_disconnect(mosq_);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    connected_ = false;
}

void Mqtt::counts(const std::string &line) {
    if (line != countsTold_) {
        countsTold_ = line;
        send(topic(Topic::Counts), line, true);
    }
}

void Mqtt::close() {
    if (mosq_ != nullptr) {
        finishLink(true);
    }
}

} // namespace presence
