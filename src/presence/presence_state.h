// Who is where: per-client and per-access-point state built from station-decode's lines,
// and the events its changes give.
#pragma once

#include "presence_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace presence {

using Millis = int64_t; // Unix time in milliseconds: the receive time of a line

// Milliseconds as the seconds the event lines, the broker and the database carry.
inline double seconds(Millis ms) {
    return static_cast<double>(ms) / 1000.0;
}

// One line of station-decode's output: a record, or a heartbeat (an empty report).
struct Sighting {
    Millis received = 0;
    std::string address; // the sender without its port: one access point's identity
    bool heartbeat = false;
    uint64_t apmac = 0;
    uint64_t mumac = 0;
    int64_t timestamp = 0; // the access point's own clock, seconds
    int rssi = 0;
    int channel = 0;
    bool assoc = false;
};

enum class EventKind { Arrive, Move, Leave, ApSilent, ApBack, ApClock };

// What each kind of event is, in the order of the enum: the one table the event lines, the
// summary and the broker read.
struct EventKindInfo {
    const char *name;  // in the event line and the summary
    const char *state; // the retained state it publishes on the broker, or nullptr
    EventKind kind;
    bool client;  // about a client (else about an access point)
    bool printed; // an event line on standard output (else a message on standard error)
};
inline constexpr EventKindInfo kEventKinds[] = {
    {"arrive", "home", EventKind::Arrive, true, true},
    {"move", "home", EventKind::Move, true, true},
    {"leave", "not_home", EventKind::Leave, true, true},
    {"ap-silent", "offline", EventKind::ApSilent, false, true},
    {"ap-back", "online", EventKind::ApBack, false, true},
    {"ap-clock", nullptr, EventKind::ApClock, false, false},
};
constexpr bool inEnumOrder() {
    for (std::size_t i = 0; i < std::size(kEventKinds); ++i) {
        if (static_cast<std::size_t>(kEventKinds[i].kind) != i) {
            return false;
        }
    }
    return true;
}
static_assert(inEnumOrder(), "kEventKinds follows EventKind");
constexpr const EventKindInfo &kindInfo(EventKind kind) {
    return kEventKinds[static_cast<std::size_t>(kind)];
}

struct Event {
    EventKind kind = EventKind::Arrive;
    Millis time = 0;
    uint64_t client = 0; // 0 for the access points' events
    uint64_t ap = 0;
    uint64_t fromAp = 0; // move: the access point left
    std::string address;
    int rssi = 0;
    bool assoc = false;
    Millis since = 0;    // arrive, leave: first seen in this visit; ap-silent: last heard
    Millis lastSeen = 0; // leave
    Millis offset = 0;   // ap-clock: the access point's clock minus the receive time
    int clients = 0;     // access point events: clients there now
    std::vector<std::pair<uint64_t, Millis>> dwell; // leave: time at each access point
};

// The most clients a tracker may be asked to keep (--max-clients): each has an index into
// its table.
inline constexpr long long kMostClients = 100000000;
static_assert(kMostClients < IndexTable::kIndices, "every client has an index");

struct Settings {
    Millis interval = 30000; // how often an access point reports (the device's default)
    Millis grace = 120000;   // unseen this long by every access point: gone
    int hysteresis = 5;      // dB a new access point must be stronger by to take a client
    std::size_t maxClients = 100000;
};

struct Ap {
    uint64_t apmac = 0;
    std::string address;
    Millis firstHeard = 0;
    Millis lastHeard = 0;   // last record or heartbeat, by receive time
    Millis clockOffset = 0; // last seen: the access point's timestamp minus the receive time
    bool clockTold = false;
    bool silent = false;
    int clients = 0;
};

// A present client as storage and the broker see it.
struct Presence {
    uint64_t mumac = 0;
    uint64_t ap = 0;
    int rssi = 0;
    bool assoc = false;
    Millis firstSeen = 0;
    Millis lastSeen = 0;
    Millis apSince = 0;
};

struct Counters {
    uint64_t records = 0;
    uint64_t heartbeats = 0;
    uint64_t unknownHeartbeats = 0; // from an address that has not sent a record yet
    uint64_t candidatesEvicted = 0; // one-off probing clients dropped to stay within the cap
    uint64_t clientsRefused = 0;    // new clients refused: the cap is full of present ones
};

class Tracker {
  public:
    explicit Tracker(const Settings &settings);

    // Feeds one line; appends the events it causes, those that fell due before it first.
    void observe(const Sighting &s, std::vector<Event> &events);
    // Hints for a client a line about to be taken names: first where the table has it, then,
    // once that is in the cache, its slot, so that observe() does not wait for memory.
    void prefetchIndex(uint64_t mumac) const { byMac_.prefetch(mumac); }
    void prefetchClient(uint64_t mumac) const {
        const uint32_t index = byMac_.first(mumac);
        if (index != kNone) {
            const auto *slot = reinterpret_cast<const char *>(&clients_[index]);
            __builtin_prefetch(slot);
            __builtin_prefetch(slot + sizeof(Client) - 1);
        }
    }
    // Advances the clock: clients and access points unheard for the grace go.
    void tick(Millis now, std::vector<Event> &events);
    // A new grace and hysteresis for a running tracker: every deadline is set again by the
    // new grace at the next tick.
    void reconfigure(Millis grace, int hysteresis);

    // A restart: what storage kept. Restored clients and access points get a fresh grace
    // from the first time seen after it, so a pause of the program is not a departure.
    void restoreAp(const Ap &ap);
    // Returns false when its access point is unknown.
    bool restoreClient(const Presence &p, const std::vector<std::pair<uint64_t, Millis>> &dwell);

    const std::vector<Ap> &aps() const { return aps_; }
    std::vector<Presence> present() const;
    std::size_t tracked() const { return byMac_.size(); }
    std::size_t presentCount() const { return presentCount_; }
    Millis now() const { return now_; }
    const Counters &counters() const { return counters_; }

  private:
    static constexpr uint32_t kNone = kNoIndex;
    static constexpr uint64_t kFree = UINT64_MAX; // a free slot's mumac, which no MAC is
    static constexpr std::size_t kViews = 4;
    // An access point's latest sighting of a client, as old as it is at the client's last
    // sighting. The age stops at its maximum, some 49.7 days, which is never current: the
    // interval is at most a day (and the clock the lines come by never goes back, so no
    // sighting comes in that much older than the last).
#pragma pack(push, 1)
    struct View { // 11 bytes
        uint32_t ap = kNone;
        uint32_t age = 0; // milliseconds before the client's lastSeen
        int16_t rssi = 0; // 1000 for a value out of range, as the lines give it
        bool assoc = false;
    };
#pragma pack(pop)
    struct Client {
        uint64_t mumac = kFree;
        Millis firstSeen = 0;
        Millis lastSeen = 0;
        uint32_t ap = kNone;
        int16_t rssi = 0;
        bool assoc : 1; // the flags are false in a Client{}
        bool present : 1;
        bool resumed : 1;
        uint32_t heapAt = kNone; // a candidate's place in candidateDue_
        // A candidate (not yet present) is in the queue of candidates, and a free slot in the
        // list of free ones (through `newer`); a present client has its stays instead, from
        // its first move on.
        union {
            struct {
                uint32_t older, newer;
            } queue;
            uint32_t stays;
        } link{{kNone, kNone}};
        std::array<View, kViews> views{};

        static uint32_t &freeLink(Client &c) { return c.link.queue.newer; }
    };
    static_assert(sizeof(Client) <= 88, "a client's fixed part stays small");
    // Where a client that moved has been in this visit: a list whose first element holds
    // since when it is at its current access point, the others the time at each one before.
    struct Stay {
        Millis ms = 0;
        uint32_t ap = kNone;
        uint32_t next = kNone;

        static uint32_t &freeLink(Stay &s) { return s.next; }
    };
    auto macOf() const {
        return [this](uint32_t index) { return clients_[index].mumac; };
    }
    auto placeCandidate() {
        return [this](uint32_t index, uint32_t at) { clients_[index].heapAt = at; };
    }
    uint32_t apFor(const Sighting &s);
    uint32_t apIndexFor(const Sighting &s);
    void hear(uint32_t index, Millis t, std::vector<Event> &events);
    void silence(Ap &ap, Millis last, std::vector<Event> &events);
    void checkClock(uint32_t index, const Sighting &s, std::vector<Event> &events);
    void see(uint32_t ap, const Sighting &s, std::vector<Event> &events);
    uint32_t admit(uint64_t mumac, Millis t);
    uint32_t addClient(uint64_t mumac);
    void dropClient(uint32_t index);
    bool evictCandidate();
    void enqueue(Client &c, uint32_t index);
    void dequeue(const Client &c);
    void reselect(Client &c, Millis t, std::vector<Event> &events);
    static void setLastSeen(Client &c, Millis t);
    static Millis seenAt(const Client &c, const View &v);
    bool fresh(const Client &c, const View &v, Millis t) const;
    bool better(const View &a, const View &b) const;
    View *slotFor(Client &c, const View &seen, Millis t);
    const View *bestView(const Client &c, Millis t) const;
    Millis due(const Client &c) const;
    Millis apSince(const Client &c) const;
    void addStay(Client &c, uint32_t ap, Millis ms);
    void freeStays(Client &c);
    void expire(uint32_t index, Millis at, std::vector<Event> &events);
    bool overdue(const DueHeap &heap) const {
        return !heap.empty() && heap.earliest().deadline < now_;
    }
    void expirePresent(std::vector<Event> &events);
    void expireCandidates();
    static void byClient(std::vector<Event> &events, std::size_t from);
    static void countLaterLeaves(std::vector<Event> &events, std::size_t first, std::size_t left);
    Event clientEvent(EventKind kind, Millis t, const Client &c) const;
    Event apEvent(EventKind kind, Millis t, const Ap &ap) const;

    Settings settings_;
    Millis now_ = 0;
    Millis resumeAt_ = 0; // set at the first time seen after a restore
    bool restored_ = false;
    Millis nextApSweep_ = INT64_MAX; // no access point can fall silent before
    std::vector<Ap> aps_;
    uint32_t lastAp_ = kNone; // the access point of the last record
    std::unordered_map<uint64_t, uint32_t> apIndex_;
    std::unordered_map<std::string, std::vector<uint32_t>> byAddress_;
    Pool<Client, 10> clients_;
    IndexTable byMac_; // the clients' slots by mumac
    Pool<Stay, 12> stays_;
    // The deadlines, present clients' apart: only a candidate can go before its deadline.
    DueHeap presentDue_;
    DueHeap candidateDue_;
    uint32_t oldest_ = kNone; // the queue of candidates, oldest first
    uint32_t newest_ = kNone;
    std::size_t presentCount_ = 0;
    Counters counters_;
};

} // namespace presence
