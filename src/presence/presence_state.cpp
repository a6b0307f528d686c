#include "presence_state.h"

#include <algorithm>

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

// Milliseconds as a view's age, which stops at its maximum.
static uint32_t ageOf(Millis ms) {
    return ms >= Millis{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// A later last sighting ages every view by as much.
void Tracker::setLastSeen(Client &c, Millis t) {
    if (t <= c.lastSeen) {
        return;
    }
    const uint32_t later = ageOf(t - c.lastSeen);
    for (View &v : c.views) {
        if (v.ap != kNone) {
            v.age = v.age > UINT32_MAX - later ? UINT32_MAX : v.age + later;
        }
    }
    c.lastSeen = t;
}

Millis Tracker::seenAt(const Client &c, const View &v) {
    return c.lastSeen - v.age;
}

inline bool Tracker::fresh(const Client &c, const View &v, Millis t) const {
    // Seen in the access point's last round: a later report without it means it is gone
    // from there, whatever the time left.
    // A resumed visit's access point sees it as of the restart.
    const Millis seen = std::max(seenAt(c, v), resumeAt_);
    return v.ap != kNone && t - seen <= settings_.interval * 3 / 2 &&
           aps_[v.ap].lastHeard - seen <= settings_.interval / 2;
}

Millis Tracker::due(const Client &c) const {
    return (c.resumed ? std::max(c.lastSeen, resumeAt_) : c.lastSeen) + settings_.grace;
}

// ---- the clients' slots and the queue of candidates --------------------------------------

uint32_t Tracker::addClient(uint64_t mumac) {
    const uint32_t index = clients_.add();
    clients_[index].mumac = mumac;
    byMac_.insert(mumac, index, macOf());
    return index;
}

// Forgets a client, without an event. A present client goes only at its deadline, the
// earliest.
void Tracker::dropClient(uint32_t index) {
    Client &c = clients_[index];
    byMac_.erase(c.mumac, macOf());
    if (c.present) {
        presentDue_.removeEarliest(DueHeap::kNoPlace);
        freeStays(c);
    } else {
        candidateDue_.remove(c.heapAt, placeCandidate());
        dequeue(c);
    }
    clients_.remove(index);
}

void Tracker::enqueue(Client &c, uint32_t index) {
    c.link.queue.older = newest_;
    c.link.queue.newer = kNone;
    (newest_ != kNone ? clients_[newest_].link.queue.newer : oldest_) = index;
    newest_ = index;
}

void Tracker::dequeue(const Client &c) {
    const uint32_t older = c.link.queue.older;
    const uint32_t newer = c.link.queue.newer;
    (older != kNone ? clients_[older].link.queue.newer : oldest_) = newer;
    (newer != kNone ? clients_[newer].link.queue.older : newest_) = older;
}

// Drops the oldest client that never became present. Returns false when there is none.
bool Tracker::evictCandidate() {
    if (oldest_ == kNone) {
        return false;
    }
    dropClient(oldest_);
    counters_.candidatesEvicted++;
    return true;
}

// The client's slot, a new one if need be; kNone when refused.
uint32_t Tracker::admit(uint64_t mumac, Millis t) {
    uint32_t index = byMac_.find(mumac, macOf());
    if (index != kNone) {
        return index;
    }
    if (byMac_.size() >= settings_.maxClients && !evictCandidate()) {
        counters_.clientsRefused++;
        return kNone;
    }
    index = addClient(mumac);
    Client &c = clients_[index];
    c.firstSeen = c.lastSeen = t;
    candidateDue_.push(DueHeap::Due{t + settings_.grace, index}, placeCandidate());
    enqueue(c, index);
    return index;
}

// ---- stays: only clients that moved have them ------------------------------------------

Millis Tracker::apSince(const Client &c) const {
    return c.link.stays != kNone ? stays_[c.link.stays].ms : c.firstSeen;
}

// Adds ms to the client's time at ap in this visit.
void Tracker::addStay(Client &c, uint32_t ap, Millis ms) {
    if (c.link.stays == kNone) {
        c.link.stays = stays_.add();
        stays_[c.link.stays].ms = c.firstSeen;
    }
    uint32_t last = c.link.stays;
    for (uint32_t i = stays_[last].next; i != kNone; i = stays_[i].next) {
        if (stays_[i].ap == ap) {
            stays_[i].ms += ms;
            return;
        }
        last = i;
    }
    const uint32_t added = stays_.add();
    stays_[added].ms = ms;
    stays_[added].ap = ap;
    stays_[last].next = added;
}

void Tracker::freeStays(Client &c) {
    for (uint32_t i = c.link.stays; i != kNone;) {
        const uint32_t next = stays_[i].next;
        stays_.remove(i);
        i = next;
    }
    c.link.stays = kNone;
}

// ---- which access point ----------------------------------------------------------------

// The order in which access points' sightings of a client rank: associated first, then the
// stronger signal, then the later sighting, then the lower apmac, so that no tie depends on the
// order the sightings came in. Both are the same client's.
bool Tracker::better(const View &a, const View &b) const {
    if (a.assoc != b.assoc) {
        return a.assoc;
    }
    if (a.rssi != b.rssi) {
        return a.rssi > b.rssi;
    }
    if (a.age != b.age) {
        return a.age < b.age;
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
        if (v.ap == kNone || !fresh(c, v, t)) {
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
        if (v.ap != kNone && fresh(c, v, t) && (best == nullptr || better(v, *best))) {
            best = &v;
        }
    }
    return best;
}

void Tracker::see(uint32_t ap, const Sighting &s, std::vector<Event> &events) {
    const uint32_t index = admit(s.mumac, s.received);
    if (index == kNone) {
        return;
    }
    Client &c = clients_[index];
    Millis t = s.received;
    setLastSeen(c, t);
    c.resumed = false;
    const View seen{ap, ageOf(c.lastSeen - t), static_cast<int16_t>(s.rssi), s.assoc};
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
        dequeue(c);
        c.link.stays = kNone; // since its first sighting at that access point
        presentDue_.push(DueHeap::Due{candidateDue_.deadlineAt(c.heapAt), index},
                         DueHeap::kNoPlace);
        candidateDue_.remove(c.heapAt, placeCandidate());
        c.present = true;
        presentCount_++;
        c.ap = best->ap;
        c.rssi = best->rssi;
        c.assoc = best->assoc;
        aps_[c.ap].clients++;
        events.push_back(clientEvent(EventKind::Arrive, t, c));
        return;
    }
    reselect(c, t, events);
}

// The current access point is kept while it sees the client, unless another sees it
// associated while it does not, or probing alike and at least the hysteresis (and 1 dB)
// stronger.
void Tracker::reselect(Client &c, Millis t, std::vector<Event> &events) {
    const View *current = nullptr;
    const View *other = nullptr; // the best of the others
    for (const View &v : c.views) {
        if (v.ap == kNone || !fresh(c, v, t)) {
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
    addStay(c, from, t - apSince(c));
    stays_[c.link.stays].ms = t;
    aps_[from].clients--;
    aps_[other->ap].clients++;
    c.ap = other->ap;
    c.rssi = other->rssi;
    c.assoc = other->assoc;
    Event e = clientEvent(EventKind::Move, t, c);
    e.fromAp = aps_[from].apmac;
    events.push_back(e);
}

// A present client's visit ends.
void Tracker::expire(uint32_t index, Millis at, std::vector<Event> &events) {
    const Client &c = clients_[index];
    Event e = clientEvent(EventKind::Leave, at, c);
    e.since = c.firstSeen;
    e.lastSeen = c.lastSeen;
    for (uint32_t i = c.link.stays != kNone ? stays_[c.link.stays].next : kNone; i != kNone;
         i = stays_[i].next) {
        e.dwell.emplace_back(aps_[stays_[i].ap].apmac, stays_[i].ms);
    }
    addDwell(e.dwell, aps_[c.ap].apmac, std::max<Millis>(0, c.lastSeen - apSince(c)));
    aps_[c.ap].clients--;
    presentCount_--;
    events.push_back(e);
    dropClient(index);
}

bool Tracker::restoreClient(const Presence &p,
                            const std::vector<std::pair<uint64_t, Millis>> &dwell) {
    auto ap = apIndex_.find(p.ap);
    if (ap == apIndex_.end() || byMac_.find(p.mumac, macOf()) != kNone) {
        return false;
    }
    const uint32_t index = addClient(p.mumac);
    Client &c = clients_[index];
    c.firstSeen = p.firstSeen;
    c.lastSeen = p.lastSeen;
    c.ap = ap->second;
    c.rssi = static_cast<int16_t>(p.rssi);
    c.assoc = p.assoc;
    c.present = c.resumed = true;
    c.link.stays = kNone;
    c.views[0] = View{c.ap, 0, c.rssi, c.assoc};
    if (p.apSince != p.firstSeen || !dwell.empty()) {
        uint32_t last = c.link.stays = stays_.add();
        stays_[last].ms = p.apSince;
        for (const auto &[apmac, ms] : dwell) {
            auto other = apIndex_.find(apmac);
            if (other != apIndex_.end()) {
                const uint32_t added = stays_.add();
                stays_[added].ms = ms;
                stays_[added].ap = other->second;
                last = stays_[last].next = added;
            }
        }
    }
    aps_[c.ap].clients++;
    presentCount_++;
    presentDue_.push(DueHeap::Due{c.lastSeen + settings_.grace, index}, DueHeap::kNoPlace);
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
    if (overdue(presentDue_)) {
        expirePresent(events);
    }
    if (overdue(candidateDue_)) {
        expireCandidates();
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
    if (events.size() > first + 1) {
        std::stable_sort(events.begin() + static_cast<std::ptrdiff_t>(first), events.end(),
                         [](const Event &a, const Event &b) { return a.time < b.time; });
    }
}

void Tracker::reconfigure(Millis grace, int hysteresis) {
    settings_.grace = grace;
    settings_.hysteresis = hysteresis;
    auto deadline = [this](uint32_t index) { return due(clients_[index]); };
    presentDue_.reset(deadline, DueHeap::kNoPlace);
    candidateDue_.reset(deadline, placeCandidate());
    nextApSweep_ = 0;
}

// Present clients unseen for the grace leave. Each client comes up once at most, so which
// ones leave does not depend on the order of equal deadlines in the heap: those that leave at
// one deadline go in the order of their addresses.
void Tracker::expirePresent(std::vector<Event> &events) {
    std::size_t run = events.size();
    Millis runDeadline = presentDue_.earliest().deadline;
    do {
        const DueHeap::Due earliest = presentDue_.earliest();
        const Millis at = due(clients_[earliest.client]);
        if (at >= now_) { // seen since, as most clients are at each grace
            presentDue_.putOff(at, DueHeap::kNoPlace);
            continue;
        }
        if (earliest.deadline != runDeadline) {
            byClient(events, run);
            run = events.size();
            runDeadline = earliest.deadline;
        }
        expire(earliest.client, at, events);
    } while (overdue(presentDue_));
    byClient(events, run);
}

// Candidates unseen for the grace go without a word.
void Tracker::expireCandidates() {
    do {
        const DueHeap::Due earliest = candidateDue_.earliest();
        const Millis at = due(clients_[earliest.client]);
        if (at >= now_) {
            candidateDue_.putOff(at, placeCandidate());
        } else {
            dropClient(earliest.client);
        }
    } while (overdue(candidateDue_));
}

void Tracker::byClient(std::vector<Event> &events, std::size_t from) {
    if (events.size() > from + 1) {
        std::sort(events.begin() + static_cast<std::ptrdiff_t>(from), events.end(),
                  [](const Event &a, const Event &b) { return a.client < b.client; });
    }
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
    for (uint32_t i = 0; i < clients_.used(); ++i) {
        const Client &c = clients_[i];
        if (c.mumac != kFree && c.present) {
            out.push_back(Presence{c.mumac, aps_[c.ap].apmac, c.rssi, c.assoc, c.firstSeen,
                                   c.lastSeen, apSince(c)});
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Presence &a, const Presence &b) { return a.mumac < b.mumac; });
    return out;
}

Event Tracker::clientEvent(EventKind kind, Millis t, const Client &c) const {
    Event e;
    e.kind = kind;
    e.time = t;
    e.client = c.mumac;
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
