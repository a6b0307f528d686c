#include "presence_state.h"

#include <algorithm>
#include <functional>

namespace presence {

Tracker::Tracker(const Settings &settings) : settings_(settings) {}

// ---- access points ---------------------------------------------------------------------

uint32_t Tracker::apFor(const Sighting &s) {
    // A report's records come one after another: most lines are from the last line's AP.
    if (lastAp_ < aps_.size() && aps_[lastAp_].apmac == s.apmac &&
        aps_[lastAp_].address == s.address) {
        return lastAp_;
    }
    lastAp_ = apIndexFor(s);
    return lastAp_;
}

uint32_t Tracker::apIndexFor(const Sighting &s) {
    auto [it, added] = apIndex_.try_emplace(s.apmac, static_cast<uint32_t>(aps_.size()));
    if (added) {
        Ap ap;
        ap.apmac = s.apmac;
        ap.address = s.address;
        ap.firstHeard = ap.lastHeard = s.received;
        aps_.push_back(ap);
        byAddress_[s.address].push_back(it->second);
        nextApSweep_ = std::min(nextApSweep_, s.received + settings_.grace);
        return it->second;
    }
    Ap &ap = aps_[it->second];
    if (ap.address != s.address) { // a new lease: its heartbeats now come from there
        auto &old = byAddress_[ap.address];
        old.erase(std::remove(old.begin(), old.end(), it->second), old.end());
        if (old.empty()) {
            byAddress_.erase(ap.address);
        }
        byAddress_[s.address].push_back(it->second);
        ap.address = s.address;
    }
    return it->second;
}

void Tracker::silence(Ap &ap, Millis last, std::vector<Event> &events) {
    ap.silent = true;
    Event e = apEvent(EventKind::ApSilent, last + settings_.grace, ap);
    e.since = last;
    events.push_back(e);
}

void Tracker::hear(uint32_t index, Millis t, std::vector<Event> &events) {
    Ap &ap = aps_[index];
    Millis last = std::max(ap.lastHeard, resumeAt_);
    if (!ap.silent && t - last > settings_.grace) {
        silence(ap, last, events);
    }
    ap.lastHeard = std::max(ap.lastHeard, t);
    if (ap.silent) {
        ap.silent = false;
        nextApSweep_ = std::min(nextApSweep_, t + settings_.grace);
        events.push_back(apEvent(EventKind::ApBack, t, ap));
    }
}

// A clock more than five minutes off the receive time is told once per access point.
void Tracker::checkClock(uint32_t index, const Sighting &s, std::vector<Event> &events) {
    constexpr Millis kFarOff = 300000;
    Ap &ap = aps_[index];
    ap.clockOffset = s.timestamp * 1000 - s.received;
    if (!ap.clockTold && (ap.clockOffset > kFarOff || ap.clockOffset < -kFarOff)) {
        ap.clockTold = true;
        Event e = apEvent(EventKind::ApClock, s.received, ap);
        e.offset = ap.clockOffset;
        events.push_back(e);
    }
}

void Tracker::restoreAp(const Ap &ap) {
    auto [it, added] = apIndex_.try_emplace(ap.apmac, static_cast<uint32_t>(aps_.size()));
    if (!added) {
        return;
    }
    aps_.push_back(ap);
    aps_.back().clients = 0;
    byAddress_[ap.address].push_back(it->second);
    nextApSweep_ = 0; // resumed: the first tick sets every access point's deadline
    restored_ = true;
}

// ---- clients ---------------------------------------------------------------------------

template <typename Key>
static void addDwell(std::vector<std::pair<Key, Millis>> &dwell, Key ap, Millis ms) {
    for (auto &[at, total] : dwell) {
        if (at == ap) {
            total += ms;
            return;
        }
    }
    dwell.emplace_back(ap, ms);
}

bool Tracker::fresh(const View &v, Millis t) const {
    // Seen in the access point's last round: a later report without it means it is gone
    // from there, whatever the time left.
    // A resumed visit's access point sees it as of the restart.
    const Millis seen = std::max(v.seen, resumeAt_);
    return v.ap != kNone && t - seen <= settings_.interval * 3 / 2 &&
           aps_[v.ap].lastHeard - seen <= settings_.interval / 2;
}

Millis Tracker::due(const Client &c) const {
    return (c.resumed ? std::max(c.lastSeen, resumeAt_) : c.lastSeen) + settings_.grace;
}

void Tracker::schedule(uint64_t mumac, Client &c, Millis deadline) {
    c.deadline = deadline;
    deadlines_.emplace_back(deadline, mumac);
    std::push_heap(deadlines_.begin(), deadlines_.end(), std::greater<>());
}

void Tracker::dropEarliest() {
    std::pop_heap(deadlines_.begin(), deadlines_.end(), std::greater<>());
    deadlines_.pop_back();
}

// The earliest deadline put off to a later one: one pass down the heap, not a pop and a push.
void Tracker::replaceEarliest(Due later) {
    std::size_t i = 0;
    const std::size_t n = deadlines_.size();
    for (std::size_t child = 1; child < n; child = 2 * i + 1) {
        if (child + 1 < n && deadlines_[child + 1] < deadlines_[child]) {
            ++child;
        }
        if (!(deadlines_[child] < later)) {
            break;
        }
        deadlines_[i] = deadlines_[child];
        i = child;
    }
    deadlines_[i] = later;
}

// Drops the oldest client that never became present. Returns false when there is none.
bool Tracker::evictCandidate() {
    while (!candidates_.empty()) {
        auto [mumac, admitted] = candidates_.front();
        candidates_.pop_front();
        auto it = clients_.find(mumac);
        if (it != clients_.end() && !it->second.present && it->second.firstSeen == admitted) {
            clients_.erase(it);
            counters_.candidatesEvicted++;
            return true;
        }
    }
    return false;
}

Tracker::Client *Tracker::admit(uint64_t mumac, Millis t) {
    auto it = clients_.find(mumac);
    if (it != clients_.end()) {
        return &it->second;
    }
    if (clients_.size() >= settings_.maxClients && !evictCandidate()) {
        counters_.clientsRefused++;
        return nullptr;
    }
    Client &c = clients_[mumac];
    c.firstSeen = c.lastSeen = t;
    schedule(mumac, c, t + settings_.grace);
    candidates_.emplace_back(mumac, t);
    return &c;
}

// The order in which access points' sightings of a client rank: associated first, then the
// stronger signal, then the later sighting, then the lower apmac, so that no tie depends on the
// order the sightings came in.
bool Tracker::better(const View &a, const View &b) const {
    if (a.assoc != b.assoc) {
        return a.assoc;
    }
    if (a.rssi != b.rssi) {
        return a.rssi > b.rssi;
    }
    if (a.seen != b.seen) {
        return a.seen > b.seen;
    }
    return aps_[a.ap].apmac < aps_[b.ap].apmac;
}

// Where an access point's sighting of the client is kept: its own slot, else one free or out
// of date, else that of the weakest other than the current access point's when the new one
// ranks above it. Returns nullptr when the sighting ranks below every one kept.
// cppcheck-suppress constParameter ; the slot returned is written
Tracker::View *Tracker::slotFor(Client &c, const View &seen, Millis t) {
    View *free = nullptr;
    View *weakest = nullptr;
    for (View &v : c.views) {
        if (v.ap == seen.ap) {
            return &v;
        }
        if (free != nullptr) {
            continue;
        }
        if (v.ap == kNone || !fresh(v, t)) {
            free = &v;
        } else if (v.ap != c.ap && (weakest == nullptr || better(*weakest, v))) {
            weakest = &v;
        }
    }
    if (free != nullptr) {
        return free;
    }
    return weakest != nullptr && better(seen, *weakest) ? weakest : nullptr;
}

// The best of the client's current sightings; nullptr if none.
const Tracker::View *Tracker::bestView(const Client &c, Millis t) const {
    const View *best = nullptr;
    for (const View &v : c.views) {
        if (v.ap != kNone && fresh(v, t) && (best == nullptr || better(v, *best))) {
            best = &v;
        }
    }
    return best;
}

void Tracker::see(uint32_t ap, const Sighting &s, std::vector<Event> &events) {
    Client *found = admit(s.mumac, s.received);
    if (found == nullptr) {
        return;
    }
    Client &c = *found;
    Millis t = s.received;
    c.lastSeen = std::max(c.lastSeen, t);
    c.resumed = false;
    const View seen{ap, t, static_cast<int16_t>(s.rssi), s.assoc};
    if (View *slot = slotFor(c, seen, t)) {
        *slot = seen;
    }
    if (!c.present) {
        // A probing client is present once seen in a second round: a one-off probe of a
        // random address costs no visit.
        if (!s.assoc && t - c.firstSeen < settings_.interval / 2) {
            return;
        }
        // At the access point that sees it best now, not at the one that happened to report
        // first in this round.
        const View *best = bestView(c, t);
        if (best == nullptr) {
            return;
        }
        c.present = true;
        presentCount_++;
        c.ap = best->ap;
        c.rssi = best->rssi;
        c.assoc = best->assoc;
        c.apSince = c.firstSeen;
        aps_[c.ap].clients++;
        events.push_back(clientEvent(EventKind::Arrive, t, s.mumac, c));
        return;
    }
    reselect(s.mumac, c, t, events);
}

// The current access point is kept while it sees the client, unless another sees it
// associated while it does not, or probing alike and at least the hysteresis (and 1 dB)
// stronger.
void Tracker::reselect(uint64_t mumac, Client &c, Millis t, std::vector<Event> &events) {
    const View *current = nullptr;
    const View *other = nullptr; // the best of the others
    for (const View &v : c.views) {
        if (v.ap == kNone || !fresh(v, t)) {
            continue;
        }
        if (v.ap == c.ap) {
            current = &v;
        } else if (other == nullptr || better(v, *other)) {
            other = &v;
        }
    }
    const int margin = std::max(settings_.hysteresis, 1);
    bool move = other != nullptr &&
                (current == nullptr || (other->assoc && !current->assoc) ||
                 (other->assoc == current->assoc && other->rssi >= current->rssi + margin));
    if (!move) {
        if (current != nullptr) {
            c.rssi = current->rssi;
            c.assoc = current->assoc;
        }
        return;
    }
    uint32_t from = c.ap;
    addDwell(c.dwell, from, t - c.apSince);
    aps_[from].clients--;
    aps_[other->ap].clients++;
    c.ap = other->ap;
    c.rssi = other->rssi;
    c.assoc = other->assoc;
    c.apSince = t;
    Event e = clientEvent(EventKind::Move, t, mumac, c);
    e.fromAp = aps_[from].apmac;
    events.push_back(e);
}

void Tracker::expire(uint64_t mumac, Client &c, Millis at, std::vector<Event> &events) {
    if (c.present) {
        Event e = clientEvent(EventKind::Leave, at, mumac, c);
        e.since = c.firstSeen;
        e.lastSeen = c.lastSeen;
        addDwell(c.dwell, c.ap, std::max<Millis>(0, c.lastSeen - c.apSince));
        for (const auto &[ap, ms] : c.dwell) {
            e.dwell.emplace_back(aps_[ap].apmac, ms);
        }
        aps_[c.ap].clients--;
        presentCount_--;
        events.push_back(e);
    }
    clients_.erase(mumac);
}

bool Tracker::restoreClient(const Presence &p,
                            const std::vector<std::pair<uint64_t, Millis>> &dwell) {
    auto ap = apIndex_.find(p.ap);
    if (ap == apIndex_.end() || clients_.count(p.mumac) != 0) {
        return false;
    }
    Client &c = clients_[p.mumac];
    c.firstSeen = p.firstSeen;
    c.lastSeen = p.lastSeen;
    c.apSince = p.apSince;
    c.ap = ap->second;
    c.rssi = static_cast<int16_t>(p.rssi);
    c.assoc = p.assoc;
    c.present = c.resumed = true;
    c.views[0] = View{c.ap, c.lastSeen, c.rssi, c.assoc};
    for (const auto &[apmac, ms] : dwell) {
        auto other = apIndex_.find(apmac);
        if (other != apIndex_.end()) {
            c.dwell.emplace_back(other->second, ms);
        }
    }
    aps_[c.ap].clients++;
    presentCount_++;
    schedule(p.mumac, c, c.lastSeen + settings_.grace);
    restored_ = true;
    return true;
}

// ---- the clock -------------------------------------------------------------------------

void Tracker::tick(Millis now, std::vector<Event> &events) {
    if (restored_ && resumeAt_ == 0) {
        resumeAt_ = now;
    }
    now_ = std::max(now_, now);
    std::size_t first = events.size();
    while (!deadlines_.empty() && deadlines_.front().first < now_) {
        auto [deadline, mumac] = deadlines_.front();
        auto it = clients_.find(mumac);
        if (it == clients_.end() || it->second.deadline != deadline) { // stale
            dropEarliest();
            continue;
        }
        Millis at = due(it->second);
        if (at >= now_) { // seen since, as most clients are at each grace
            it->second.deadline = at;
            replaceEarliest(Due{at, mumac});
            continue;
        }
        dropEarliest();
        expire(mumac, it->second, at, events);
    }
    // Hearing an access point only moves its deadline later: the earliest one found by the
    // last sweep is never after the real one.
    if (now_ > nextApSweep_) {
        nextApSweep_ = INT64_MAX;
        const std::size_t left = events.size(); // the leaves end here
        for (Ap &ap : aps_) {
            Millis last = std::max(ap.lastHeard, resumeAt_);
            if (!ap.silent && now_ - last > settings_.grace) {
                silence(ap, last, events);
                countLaterLeaves(events, first, left);
            }
            if (!ap.silent) {
                nextApSweep_ = std::min(nextApSweep_, last + settings_.grace);
            }
        }
    }
    compact();
    if (events.size() > first + 1) {
        std::stable_sort(events.begin() + static_cast<std::ptrdiff_t>(first), events.end(),
                         [](const Event &a, const Event &b) { return a.time < b.time; });
    }
}

void Tracker::reconfigure(Millis grace, int hysteresis) {
    settings_.grace = grace;
    settings_.hysteresis = hysteresis;
    deadlines_.clear();
    for (auto &[mumac, c] : clients_) {
        schedule(mumac, c, due(c));
    }
    nextApSweep_ = 0;
}

// The clients of an access point that fell silent are counted as at its silence: those that
// left after it, in the same tick, were still there.
void Tracker::countLaterLeaves(std::vector<Event> &events, std::size_t first, std::size_t left) {
    Event &silent = events.back();
    for (std::size_t i = first; i < left; ++i) {
        const Event &e = events[i];
        if (e.kind == EventKind::Leave && e.ap == silent.ap && e.time > silent.time) {
            silent.clients++;
        }
    }
}

// Stale queue entries of evicted or re-seen clients would pile up under a flood of one-off
// addresses: rebuilt when they outnumber the clients.
void Tracker::compact() {
    if (deadlines_.size() > 2 * clients_.size() + 1024) {
        auto stale = [this](const Due &d) {
            auto it = clients_.find(d.second);
            return it == clients_.end() || it->second.deadline != d.first;
        };
        deadlines_.erase(std::remove_if(deadlines_.begin(), deadlines_.end(), stale),
                         deadlines_.end());
        std::make_heap(deadlines_.begin(), deadlines_.end(), std::greater<>());
    }
    if (candidates_.size() > 2 * (clients_.size() - presentCount_) + 1024) {
        auto gone = [this](const std::pair<uint64_t, Millis> &candidate) {
            auto it = clients_.find(candidate.first);
            return it == clients_.end() || it->second.present ||
                   it->second.firstSeen != candidate.second;
        };
        candidates_.erase(std::remove_if(candidates_.begin(), candidates_.end(), gone),
                          candidates_.end());
    }
}

void Tracker::observe(const Sighting &s, std::vector<Event> &events) {
    tick(s.received, events);
    if (s.heartbeat) {
        counters_.heartbeats++;
        auto it = byAddress_.find(s.address);
        if (it == byAddress_.end()) {
            counters_.unknownHeartbeats++;
            return;
        }
        for (uint32_t ap : it->second) {
            hear(ap, s.received, events);
        }
        return;
    }
    counters_.records++;
    uint32_t ap = apFor(s);
    hear(ap, s.received, events);
    checkClock(ap, s, events);
    see(ap, s, events);
}

// ---- views of the state ----------------------------------------------------------------

std::vector<Presence> Tracker::present() const {
    std::vector<Presence> out;
    out.reserve(presentCount_);
    for (const auto &[mumac, c] : clients_) {
        if (c.present) {
            out.push_back(Presence{mumac, aps_[c.ap].apmac, c.rssi, c.assoc, c.firstSeen,
                                   c.lastSeen, c.apSince});
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Presence &a, const Presence &b) { return a.mumac < b.mumac; });
    return out;
}

Event Tracker::clientEvent(EventKind kind, Millis t, uint64_t mumac, const Client &c) const {
    Event e;
    e.kind = kind;
    e.time = t;
    e.client = mumac;
    e.ap = aps_[c.ap].apmac;
    e.address = aps_[c.ap].address;
    e.rssi = c.rssi;
    e.assoc = c.assoc;
    e.since = c.firstSeen;
    return e;
}

Event Tracker::apEvent(EventKind kind, Millis t, const Ap &ap) const {
    Event e;
    e.kind = kind;
    e.time = t;
    e.ap = ap.apmac;
    e.address = ap.address;
    e.clients = ap.clients;
    return e;
}

} // namespace presence
