// Presence scenarios: exact event sequences from sightings, and a restart from the database.
#include "presence_clock.h"
#include "presence_events.h"
#include "presence_input.h"
#include "presence_state.h"
#include "presence_store.h"
#include "presence_table.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <utility>
#include <vector>

using namespace presence;

namespace {

constexpr uint64_t A = 0xA, B = 0xB, D = 0xD, E = 0xE, F = 0xF;
constexpr uint64_t C1 = 0xC1, C2 = 0xC2, C3 = 0xC3;
using Lines = std::vector<std::string>;

// A step: a record (client != 0), a heartbeat from the access point's address (client == 0),
// or, with ap == 0, the clock alone. The access point's own clock reads t unless given.
struct Step {
    double t;
    uint64_t ap = 0;
    uint64_t client = 0;
    int rssi = 0;
    bool assoc = false;
    int64_t clock = INT64_MIN;
};
Step rec(double t, uint64_t ap, uint64_t client, int rssi, bool assoc) {
    return Step{t, ap, client, rssi, assoc};
}
Step beat(double t, uint64_t ap) {
    return Step{t, ap};
}
Step tick(double t) {
    return Step{t};
}

Millis ms(double t) {
    return static_cast<Millis>(t * 1000 + 0.5);
}

std::string describe(const Event &e) {
    char text[128];
    auto hex = [](uint64_t mac) { return static_cast<unsigned long long>(mac); };
    double t = static_cast<double>(e.time) / 1000;
    if (e.client == 0) {
        std::snprintf(text, sizeof text, "%g %s %llX", t, eventName(e.kind), hex(e.ap));
        std::string out = text;
        return e.kind == EventKind::ApClock ? out + " " + std::to_string(e.offset) : out;
    }
    std::snprintf(text, sizeof text, "%g %s %llX %llX %d %d", t, eventName(e.kind), hex(e.client),
                  hex(e.ap), e.rssi, e.assoc ? 1 : 0);
    return text + std::string(e.kind != EventKind::Move ? ""
                              : e.fromAp == A           ? " from A"
                                                        : " from B");
}
Lines describe(const std::vector<Event> &events) {
    Lines out;
    for (const Event &e : events)
        out.push_back(describe(e));
    return out;
}

Sighting sighting(const Step &s) {
    Sighting out;
    out.received = ms(s.t);
    out.address = s.ap == A ? "10.0.0.1" : "10.0.0.2";
    out.heartbeat = s.client == 0;
    out.apmac = s.client == 0 ? 0 : s.ap;
    out.mumac = s.client;
    out.timestamp = s.clock == INT64_MIN ? static_cast<int64_t>(s.t) : s.clock;
    out.rssi = s.rssi;
    out.assoc = s.assoc;
    return out;
}

// Plays the steps; with a store, records and flushes each step's events as the program does.
std::vector<Event> play(Tracker &tracker, const std::vector<Step> &steps, Store *store = nullptr) {
    std::vector<Event> events;
    std::string why;
    for (const Step &s : steps) {
        std::size_t first = events.size();
        if (s.ap == 0)
            tracker.tick(ms(s.t), events);
        else
            tracker.observe(sighting(s), events);
        if (store == nullptr)
            continue;
        for (std::size_t i = first; i < events.size(); ++i)
            store->record(events[i]);
        EXPECT_EQ(store->flush(tracker, 30000, false, why), 0) << why;
    }
    return events;
}

TEST(Presence, ScenariosGiveExactlyTheseEvents) {
    const struct {
        const char *name;
        std::vector<Step> steps;
        Lines events;
    } cases[] = {
        {"arrive", {rec(0, A, C1, -60, true)}, {"0 arrive C1 A -60 1"}},
        // The old access point keeps reporting it, weaker: one move, none back.
        {"roam",
         {rec(0, A, C1, -50, true), rec(30, A, C1, -58, true), rec(30.1, B, C1, -56, true),
          rec(60, A, C1, -70, true), rec(60.1, B, C1, -50, true), rec(90, A, C1, -72, true),
          rec(90.1, B, C1, -52, true)},
         {"0 arrive C1 A -50 1", "60 move C1 B -56 1 from A"}},
        // 802.11r: joined at B before A's entry goes; A still lists it a round, then not.
        {"fast_transition",
         {rec(0, A, C1, -50, true), rec(30, B, C1, -52, true), rec(30.2, A, C1, -50, true),
          rec(60, B, C1, -51, true), beat(60.2, A), rec(90, B, C1, -51, true), beat(90.2, A),
          tick(200)},
         {"0 arrive C1 A -50 1", "90 move C1 B -51 1 from A"}},
        {"between_two_aps_no_flapping",
         {rec(0, A, C1, -60, true), rec(0.1, B, C1, -62, true), rec(30, A, C1, -63, true),
          rec(30.1, B, C1, -60, true), rec(60, A, C1, -61, true), rec(60.1, B, C1, -59, true)},
         {"0 arrive C1 A -60 1"}},
        {"probing_stronger_does_not_take_it",
         {rec(0, A, C1, -70, true), rec(1, B, C1, -40, false)},
         {"0 arrive C1 A -70 1"}},
        {"associating_takes_it_from_a_probing_ap",
         {rec(0, A, C1, -40, false), rec(30, A, C1, -40, false), rec(31, B, C1, -70, true)},
         {"30 arrive C1 A -40 0", "31 move C1 B -70 1 from A"}},
        {"leave_after_the_grace_not_before",
         {rec(0, A, C1, -60, true), beat(100, A), tick(120), tick(120.001)},
         {"0 arrive C1 A -60 1", "120 leave C1 A -60 1"}},
        // A one-off probe (C3) never arrives; a probing client seen in a second round does.
        {"probing_only",
         {rec(0, A, C2, -70, false), rec(10, A, C3, -80, false), rec(30, A, C2, -71, false),
          beat(140, A), tick(151)},
         {"30 arrive C2 A -71 0", "150 leave C2 A -71 0"}},
        {"ap_silent_and_back",
         {rec(0, A, C1, -60, true), beat(30, A), beat(60, A), rec(60, B, C2, -50, true),
          beat(90, B), beat(150, B), tick(185), rec(300, A, C1, -61, true)},
         {"0 arrive C1 A -60 1", "60 arrive C2 B -50 1", "120 leave C1 A -60 1",
          "180 leave C2 B -50 1", "180 ap-silent A", "270 ap-silent B", "300 ap-back A",
          "300 arrive C1 A -61 1"}},
        // Heard probing by four more access points: its own access point's sighting stays.
        {"the_current_ap_is_kept_among_five",
         {rec(0, A, C1, -50, true), rec(1, B, C1, -90, false), rec(2, D, C1, -90, false),
          rec(3, E, C1, -90, false), rec(4, F, C1, -89, false), rec(30, A, C1, -51, true)},
         {"0 arrive C1 A -50 1"}},
        // Present at its second round: at the access point hearing it best, whichever
        // reports first.
        {"a_probing_client_arrives_where_heard_best",
         {rec(0, A, C1, -40, false), rec(0.5, B, C1, -80, false), rec(30, B, C1, -80, false),
          rec(30.5, A, C1, -40, false)},
         {"30 arrive C1 A -40 0"}},
        // Unheard for longer than the grace, seen again: a departure, then a new visit.
        {"a_gap_longer_than_the_grace",
         {rec(0, A, C1, -60, true), beat(100, A), rec(121, A, C1, -60, true)},
         {"0 arrive C1 A -60 1", "120 leave C1 A -60 1", "121 arrive C1 A -60 1"}},
        // Leaving at one time, in one tick: by address, whatever the order they came in.
        {"leaves_at_one_time_go_by_address",
         {rec(0, A, C3, -60, true), rec(0, A, C1, -60, true), rec(0, A, C2, -60, true), tick(121)},
         {"0 arrive C3 A -60 1", "0 arrive C1 A -60 1", "0 arrive C2 A -60 1",
          "120 leave C1 A -60 1", "120 leave C2 A -60 1", "120 leave C3 A -60 1",
          "120 ap-silent A"}},
        // Unless the clock jumps past the deadline a client was due at before it was seen
        // again: C2 comes up at its first deadline (120), before C1 at its own (180).
        {"a_jump_takes_them_in_the_order_their_deadlines_come_up",
         {rec(0, A, C2, -60, true), rec(60, A, C1, -60, true), rec(60, A, C2, -60, true),
          tick(200)},
         {"0 arrive C2 A -60 1", "60 arrive C1 A -60 1", "180 leave C2 A -60 1",
          "180 leave C1 A -60 1", "180 ap-silent A"}},
        // 200 s and 300 s off are within five minutes; 1,031 s and 400 s are not, told once.
        {"a_clock_far_off_is_told_once_per_access_point",
         {{0, A, C1, -60, true, 200},
          {30, A, C1, -60, true, 330},
          {31, B, C1, -60, true, -1000},
          {60, A, C1, -60, true, 460},
          {90, A, C1, -60, true, 2000},
          {91, B, C1, -60, true, 91}},
         {"0 arrive C1 A -60 1", "31 ap-clock B -1031000", "60 ap-clock A 400000"}},
    };
    for (const auto &c : cases) {
        Tracker tracker{Settings()};
        EXPECT_EQ(describe(play(tracker, c.steps)), c.events) << c.name;
    }
}

// An access point's old sighting stays out of date however old it gets: past 2^32 ms
// (49.7 days) too, with a day's interval and grace.
TEST(Presence, AnOldSightingNeverComesBack) {
    Settings settings;
    settings.interval = settings.grace = 86400000;
    Tracker tracker(settings);
    std::vector<Step> steps{rec(0, A, C1, -50, true)};
    for (int half = 1; half <= 110; ++half) { // B hears it, A only beats
        steps.push_back(beat(half * 43200, A));
        steps.push_back(rec(half * 43200 + 1, B, C1, -60, true));
    }
    EXPECT_EQ(describe(play(tracker, steps)),
              (Lines{"0 arrive C1 A -50 1", "86401 move C1 B -60 1 from A"}));
}

// At the cap the oldest candidate goes: one that left and came back counts from its return.
TEST(Presence, AtTheCapTheOldestCandidateGoes) {
    Settings settings;
    settings.maxClients = 2;
    Tracker tracker(settings);
    EXPECT_EQ(describe(play(tracker, {rec(0, A, C1, -80, false), rec(130, A, C2, -80, false),
                                      rec(131, A, C1, -80, false), rec(132, A, C3, -80, false),
                                      rec(150, A, C1, -80, false)})),
              (Lines{"120 ap-silent A", "130 ap-back A", "150 arrive C1 A -80 0"}));
    EXPECT_EQ(tracker.counters().candidatesEvicted, 1u);
}

// A resumed client stays at its access point until that one reports without it.
TEST(Resume, AResumedClientStaysWhereItWas) {
    Tracker tracker{Settings()};
    tracker.restoreAp(Ap{A, "10.0.0.1", 0, 1000000, 0, false, false, 0});
    tracker.restoreAp(Ap{B, "10.0.0.2", 0, 1000000, 0, false, false, 0});
    ASSERT_TRUE(tracker.restoreClient(Presence{C1, A, -50, true, 0, 1000000, 0}, {}));
    EXPECT_EQ(describe(play(tracker, {rec(5000, B, C1, -80, false), rec(5001, A, C1, -52, true),
                                      rec(5040, A, C2, -60, true), rec(5045, B, C1, -80, false)})),
              (Lines{"5040 arrive C2 A -60 1", "5045 move C1 B -80 0 from A"}));
}
// ---- the tracker's tables --------------------------------------------------------------

// Under churn the table finds every key it keeps and none it dropped, growing and shrinking,
// for a block of sequential addresses and for scattered ones.
TEST(Table, FindsWhatItKeepsUnderChurn) {
    constexpr uint32_t kKeys = 5000;
    for (uint64_t stride : {uint64_t{1}, uint64_t{0x9E3779B1}}) {
        std::vector<uint64_t> keys;
        for (uint32_t i = 0; i < kKeys; ++i)
            keys.push_back((uint64_t{0x020000000000} + i * stride) & 0xFFFFFFFFFFFF);
        auto keyOf = [&keys](uint32_t i) { return keys[i]; };
        IndexTable table;
        std::vector<bool> kept(kKeys);
        std::mt19937 rng(7);
        auto draw = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
        std::size_t most = 0;
        for (int round = 0; round < 3; ++round) {
            for (uint32_t i = 0; i < kKeys; ++i)
                if (!kept[i]) {
                    table.insert(keys[i], i, keyOf);
                    kept[i] = true;
                }
            most = std::max(most, table.slots());
            for (uint32_t n = 0; n < kKeys; ++n)
                if (const uint32_t i = draw(kKeys); kept[i]) {
                    table.erase(keys[i], keyOf);
                    kept[i] = false;
                }
            for (uint32_t i = 0; i < kKeys; ++i)
                ASSERT_EQ(table.find(keys[i], keyOf), kept[i] ? i : kNoIndex) << stride << " " << i;
        }
        EXPECT_EQ(table.size(),
                  static_cast<std::size_t>(std::count(kept.begin(), kept.end(), true)));
        EXPECT_LT(table.slots(), most); // an eighth full at most: halved
    }
}

// Against a plain list of deadlines: the earliest comes first, and the places it tells of
// hold what they say, through putting off, removing and setting every deadline anew.
TEST(Table, DeadlinesComeOutInOrder) {
    constexpr uint32_t kClients = 1000;
    DueHeap heap;
    std::vector<int64_t> deadline(kClients, -1); // -1: not in the heap
    std::vector<uint32_t> at(kClients);
    auto placed = [&at](uint32_t client, uint32_t place) { at[client] = place; };
    std::mt19937 rng(3);
    auto draw = [&rng](uint32_t n) { return static_cast<int64_t>(rng() % n); };
    for (int step = 0; step < 20000; ++step) {
        const auto client = static_cast<uint32_t>(draw(kClients));
        const int64_t op = draw(16);
        if (op < 8 && deadline[client] < 0) {
            deadline[client] = draw(1000); // many alike
            heap.push(DueHeap::Due{deadline[client], client}, placed);
        } else if (op < 12 && !heap.empty()) {
            const uint32_t earliest = heap.earliest().client;
            deadline[earliest] += draw(500);
            heap.putOff(deadline[earliest], placed);
        } else if (op < 15 && deadline[client] >= 0) {
            heap.remove(at[client], placed);
            deadline[client] = -1;
        } else if (op == 15) {
            heap.reset([](uint32_t c) { return int64_t{c % 97}; }, placed);
            for (uint32_t c = 0; c < kClients; ++c)
                deadline[c] = deadline[c] < 0 ? -1 : int64_t{c % 97};
        }
        int64_t earliest = INT64_MAX;
        for (uint32_t c = 0; c < kClients; ++c)
            if (deadline[c] >= 0) {
                earliest = std::min(earliest, deadline[c]);
                ASSERT_EQ(heap.deadlineAt(at[c]), deadline[c]) << step;
            }
        ASSERT_EQ(heap.empty() ? INT64_MAX : heap.earliest().deadline, earliest) << step;
    }
}

// ---- the clock -------------------------------------------------------------------------

// Each step offers a line (from an address) or, with address nullptr, lets the input idle;
// the log tells what the clock let through, and when.
struct ClockStep {
    Millis received;
    const char *address;
    Millis monotonic = 0;
};

std::string runClock(const std::vector<ClockStep> &steps) {
    Clock clock(60000);
    std::vector<Line> ready;
    std::vector<RefusedLine> refused;
    std::string log;
    auto tell = [&] {
        for (const Line &l : ready)
            log += " " + std::to_string(l.number) + "@" + std::to_string(l.at);
        for (const RefusedLine &r : refused)
            log += " refused " + std::to_string(r.number);
        ready.clear();
        refused.clear();
    };
    uint64_t number = 0;
    for (const ClockStep &step : steps) {
        if (step.address == nullptr) {
            log += " idle " + std::to_string(clock.advance(step.monotonic, ready));
        } else {
            Line line;
            line.number = ++number;
            line.sighting.received = step.received;
            line.sighting.address = step.address;
            clock.offer(line, step.monotonic, ready, refused);
        }
        tell();
    }
    clock.end(refused);
    tell();
    return log.substr(1);
}

TEST(Clock, NoSingleReportMovesItFarAhead) {
    const char *a = "10.0.0.1";
    const char *b = "10.0.0.2";
    const struct {
        std::vector<ClockStep> steps;
        const char *log;
    } cases[] = {
        // It does not run before the first line.
        {{{0, nullptr, 5000}, {7000, a, 6000}}, "idle -1 1@7000"},
        // A line from before the clock is taken at its time.
        {{{5000, a}, {4000, b}}, "1@5000 2@5000"},
        // A day ahead, then a line of today: refused.
        {{{0, a}, {86400000, b}, {86400000, b}, {1000, a}}, "1@0 4@1000 refused 2 refused 3"},
        // Far ahead, confirmed by another report.
        {{{0, a}, {100000, b}, {101000, a}}, "1@0 2@100000 3@101000"},
        // The same access point's next report confirms it.
        {{{0, a}, {100000, b}, {130000, b}}, "1@0 2@100000 3@130000"},
        // A later report far ahead confirms it too.
        {{{0, a}, {100000, b}, {500000, a}}, "1@0 2@100000 3@500000"},
        // One from at most the bound before it does; one from well before it does not.
        {{{0, a}, {200000, b}, {150000, a}}, "1@0 2@200000 3@200000"},
        {{{0, a}, {500000, b}, {100000, a}}, "1@0 refused 2 refused 3"},
        // While idle the clock runs on and reaches it.
        {{{0, a, 0}, {70000, b, 0}, {0, nullptr, 5000}, {0, nullptr, 15000}},
         "1@0 idle 5000 idle 70000 2@70000"},
        // Within the bound it is taken at once.
        {{{0, a}, {60000, b}}, "1@0 2@60000"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(runClock(c.steps), c.log);
    }
}

// ---- input -----------------------------------------------------------------------------

// station-decode's CSV record line, one field (counted from 0) written as `value` if given.
std::string csvWith(std::size_t field = SIZE_MAX, const std::string &value = "") {
    const char *fields[] = {
        "127.0.0.1:40000", "1", "A0B1C2D3E4F5", "0A1B2C3D4E5F", "258", "-60", "6", "1",
        "1796714142.123"};
    std::string line;
    for (std::size_t i = 0; i < std::size(fields); ++i)
        line += (i ? "," : "") + (i == field ? value : fields[i]);
    return line;
}
// Its JSON record line, one field's value written as `value` if given.
std::string jsonWith(const std::string &field = "", const std::string &value = "") {
    std::string line =
        R"({"from":"127.0.0.1:40000","record":1,"apmac":"A0B1C2D3E4F5","mumac":"0A1B2C3D4E5F",)"
        R"("timestamp":258,"rssi":-60,"channel":6,"assoc":1,"received":1796714142.123})";
    std::size_t at = line.find('"' + field + "\":") + field.size() + 3;
    return field.empty() ? line : line.replace(at, line.find_first_of(",}", at) - at, value);
}
// A JSON heartbeat received then, and what follows its last field.
std::string jsonBeat(const std::string &received, const std::string &rest = "}") {
    return R"({"from":"[::1]:1","record":0,"received":)" + received + rest;
}

TEST(Input, BothFormatsAndWhatIsRefused) {
    constexpr Parsed OK = Parsed::Sighting, SKIP = Parsed::Skip, NO = Parsed::Refused;
    const std::string now = "1796714142.123";
    const struct {
        std::string line;
        Parsed parsed;
        const char *why;
        Millis received = 1796714142123;
    } cases[] = {
        {jsonWith(), OK, ""},
        {csvWith(), OK, ""},
        {"[fe80::1%eth0]:40000,0,,,,,,,1796714142.123", OK, ""},
        {R"({"from":"[::1]:40000","record":0,"received":1796714142.123})", OK, ""},
        {"from,record,apmac,mumac,timestamp,rssi,channel,assoc,received", SKIP, ""},
        {"", SKIP, ""},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1", NO,
         "8 fields: no received column"},
        {csvWith(2, "A0B1C2D3E4F"), NO, "bad apmac"},
        {csvWith(8, "1796714142.1234"), NO, "bad from or received"},
        {csvWith(5, "-600"), NO, "value out of range"},
        {R"({"from":"127.0.0.1:1","record":1,"received":1796714142})", NO, "bad number"},
        {jsonWith("mumac", R"("x")"), NO, "bad mumac"},
        {R"({"from":"127.0.0.1:1",)", NO, "not a JSON object"},
        // CSV fields read where they stand: each field ends at its own comma.
        {csvWith(8, now + ",x"), NO, "not 9 fields"},
        {csvWith(2, "A0B1C2D3E4F5A"), NO, "bad apmac"},
        {csvWith(3, "0A1B2C3D4E5G"), NO, "bad mumac"},
        {csvWith(4, "-"), NO, "bad number"},
        {csvWith(5, "99999999999"), NO, "bad number"},
        {csvWith(1, "1x"), NO, "bad record"},
        {csvWith(8, "1796714142."), NO, "bad from or received"},
        {csvWith(0, ""), NO, "bad from or received"},
        // Receive times from 2000 up to 2100, whatever the notation; never converted outside.
        {jsonBeat("946684800"), OK, "", 946684800000},
        {jsonBeat("4102444799.999"), OK, "", 4102444799999},
        {jsonBeat("946684799.999"), NO, "received out of range"},
        {jsonBeat("4102444800"), NO, "received out of range"},
        {jsonBeat("1e300"), NO, "received out of range"},
        {jsonBeat("18446744073709551616"), NO, "received out of range"},
        {jsonBeat("-0.0"), NO, "received out of range"},
        {jsonBeat("1e400"), NO, "bad number"},
        {"[::1]:1,0,,,,,,,946684799.999", NO, "received out of range"},
        {"[::1]:1,0,,,,,,,999999999999999999.999", NO, "received out of range"},
        {"[::1]:1,0,,,,,,,9999999999999999999", NO, "bad from or received"},
        // The other numbers: the wire's 32-bit timestamp, signed or not, and decode's record.
        {csvWith(4, "4294967295"), OK, ""},
        {csvWith(4, "-2147483649"), NO, "value out of range"},
        {jsonWith("timestamp", "4294967296"), NO, "value out of range"},
        {jsonWith("record", "2147483648"), NO, "bad record"},
        {csvWith(1, "999999999999999999"), NO, "bad record"},
        // A C1 control is UTF-8 and JSON can spell a NUL: refused too (every byte: below).
        {"127.0.0.1\xc2\x9b:1,0,,,,,,,1796714142.123", NO, "bad from"},
        {R"({"from":"127.0.0.1\u0000:1","record":0,"received":1796714142.123})", NO, "bad from"},
        {"h\xc3\xb4te:1,0,,,,,,,1796714142.123", OK, ""},
        // A known field twice, however spelt, and a line that is not JSON after its fields.
        {jsonBeat(now, R"(,"record":1})"), NO, "a field given twice"},
        {jsonBeat(now, R"(,"rec\u006frd":0})"), NO, "a field given twice"},
        {jsonBeat(now, R"(,"x":{"y":[1,2}})"), NO, "not a JSON object"},
        {jsonBeat(now, R"(,"x":{"y":1})"), NO, "not a JSON object"},
        {jsonBeat(now, R"(,"x":tru})"), NO, "not a JSON object"},
        {jsonBeat(now, "} {}"), NO, "not a JSON object"},
        {jsonBeat(now, R"(,"x":[[{"a":null}],"b"]})"), OK, ""},
        {jsonBeat(now, ",\"x\":" + std::string(16, '[') + std::string(16, ']') + "}"), OK, ""},
        {jsonBeat(now, ",\"x\":" + std::string(17, '[') + std::string(17, ']') + "}"), NO,
         "not a JSON object"},
    };
    for (const auto &c : cases) {
        Sighting s;
        std::string why;
        EXPECT_EQ(parseLine(c.line, s, why), c.parsed) << c.line;
        EXPECT_EQ(why, c.why) << c.line;
        if (c.parsed == OK) {
            EXPECT_EQ(s.received, c.received) << c.line;
        }
    }
    Sighting s;
    std::string why;
    parseLine("[fe80::1%eth0]:40000,1,A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,0,946684807", s, why);
    EXPECT_EQ(std::tie(s.address, s.mumac, s.assoc, s.received),
              std::make_tuple("fe80::1%eth0", 0x0A1B2C3D4E5FULL, false, Millis{946684807000}));
}

// A sender's text is read eight bytes at a time: one byte of every value at every place.
TEST(Input, EveryByteOfASenderIsChecked) {
    for (std::size_t place = 1; place < 20; ++place) { // a first "{" would be JSON
        for (int byte = 0; byte < 256; ++byte) {
            if (byte == ',')
                continue; // the field's end
            std::string from = "[fd00::1234:5678]:40000", why;
            from[place] = static_cast<char>(byte);
            Sighting s;
            bool plain = byte >= 0x20 && byte < 0x7F;
            EXPECT_EQ(parseLine(from + ",0,,,,,,,1796714142", s, why) == Parsed::Sighting, plain)
                << place << " " << byte;
        }
    }
}

// The quick reader of the usual record line reads what the careful one does, on the line
// station-decode writes and on every line one edit away from it: a byte changed to one of
// those that end or start a field, deleted, or a digit run made 18 or 19 digits long.
TEST(Input, QuickAndCarefulReadersAgree) {
    const std::string line =
        "127.0.0.1:40000,3,A0B1C2D3E4F5,0a1b2c3d4e5f,1796714142,-60,6,1,1796714142.123";
    std::vector<std::string> lines = {line, line + "\r", line + ",x"};
    for (std::size_t at = 0; at < line.size(); ++at) {
        for (char ch : std::string(",-./09:aFg \x7f\x80") + '\0') {
            lines.push_back(line.substr(0, at) + ch + line.substr(at + 1));
        }
        lines.push_back(line.substr(0, at) + line.substr(at + 1));
        if (std::isdigit(static_cast<unsigned char>(line[at])) != 0) {
            for (std::size_t digits : {std::size_t{18}, std::size_t{19}}) {
                lines.push_back(line.substr(0, at) + std::string(digits, '9') +
                                line.substr(at + 1));
            }
        }
    }
    auto fields = [](const Sighting &s) {
        return std::make_tuple(s.received, s.address, s.heartbeat, s.apmac, s.mumac, s.timestamp,
                               s.rssi, s.channel, s.assoc);
    };
    for (const std::string &l : lines) {
        Sighting quick;
        Sighting careful;
        std::string quickWhy;
        std::string carefulWhy;
        EXPECT_EQ(parseLine(l, quick, quickWhy), parseLineCarefully(l, careful, carefulWhy)) << l;
        EXPECT_EQ(quickWhy, carefulWhy) << l;
        EXPECT_EQ(fields(quick), fields(careful)) << l;
    }
}

// ---- events ----------------------------------------------------------------------------

// Any time prints as a JSON number, the extremes of its type too; the usual ones as ever.
TEST(Events, AnyTimePrintsAsANumber) {
    const std::pair<Millis, const char *> cases[] = {{1796714142123, "1796714142.123"},
                                                     {1796714142100, "1796714142.1"},
                                                     {0, "0.0"},
                                                     {-1500, "-1.5"},
                                                     {INT64_MAX, "9223372036854775.807"},
                                                     {INT64_MIN, "-9223372036854775.808"}};
    Event e;
    e.kind = EventKind::ApBack;
    e.address = "10.0.0.1";
    for (auto [time, text] : cases) {
        e.time = time;
        std::string line = eventJson(e);
        EXPECT_NE(line.find(std::string("\"time\":") + text + ","), std::string::npos) << line;
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
}

// Events are written field by field: a JSON parser reads back every value, escapes and
// fractions of a second included.
// A secret's file: its first line, only when its owner alone may read it.
TEST(Secret, TheFirstLineOfAFileOnlyItsOwnerReads) {
    char folder[] = "/tmp/presence-secret-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/secret";
    const std::string fifo = std::string(folder) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string text;
        mode_t mode;
        const char *path; // nullptr: the file
        std::string secret;
        std::string why; // after the path
    } cases[] = {
        {"pw\nsecond line", 0600, nullptr, "pw", ""},
        {"pw\r\n", 0400, nullptr, "pw", ""},
        {"", 0600, nullptr, "", ""},
        {std::string(4096, 'p'), 0600, nullptr, std::string(4096, 'p'), ""},
        {std::string(4096, 'p') + "\n", 0600, nullptr, std::string(4096, 'p'), ""},
        {std::string(4097, 'p'), 0600, nullptr, "", ": its first line is longer than 4096 bytes"},
        {"pw\n", 0640, nullptr, "", ": readable by others; chmod 600 it"},
        {"pw\n", 0604, nullptr, "", ": readable by others; chmod 600 it"},
        {"", 0600, folder, "", ": not a regular file"},
        {"", 0600, fifo.c_str(), "", ": not a regular file"},
        {"", 0600, "/nonexistent/secret", "", ": cannot open: No such file or directory"},
    };
    for (const Case &c : cases) {
        FILE *f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(c.text.c_str(), f);
        std::fclose(f);
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        const std::string path = c.path != nullptr ? c.path : file;
        std::string secret;
        std::string why;
        const int rc = readSecretFile(path, secret, why);
        EXPECT_EQ(rc, c.why.empty() ? 0 : -1) << path << why;
        EXPECT_EQ(secret, c.secret);
        EXPECT_EQ(why, c.why.empty() ? "" : path + c.why);
    }
    unlink(file.c_str());
    unlink(fifo.c_str());
    rmdir(folder);
}

TEST(Events, AJsonParserReadsBackWhatIsWritten) {
    Event leave;
    leave.kind = EventKind::Leave;
    leave.time = 1796714120060;
    leave.client = 0x0A1B2C3D4E5F;
    leave.ap = 0xA;
    leave.address = "10.0.0.1";
    leave.rssi = -66;
    leave.assoc = true;
    leave.since = 1796714000000;
    leave.lastSeen = 1796714000500;
    leave.dwell = {{0xA, 90000}, {0xB, 1250}};
    Event clock;
    clock.kind = EventKind::ApClock;
    clock.time = 5;
    clock.ap = 0xB;
    clock.address = "x\"y\x01\xff"; // not an address station-decode writes
    clock.offset = -1031250;
    EXPECT_EQ(
        nlohmann::json::parse(eventJson(leave)),
        nlohmann::json::parse(R"({"event":"leave","time":1796714120.06,"client":"0A1B2C3D4E5F",)"
                              R"("ap":"00000000000A","address":"10.0.0.1","rssi":-66,"assoc":1,)"
                              R"("since":1796714000.0,"last_seen":1796714000.5,)"
                              R"("dwell":{"00000000000A":90.0,"00000000000B":1.25}})"));
    EXPECT_EQ(nlohmann::json::parse(eventJson(clock)),
              nlohmann::json::parse(R"({"event":"ap-clock","time":0.005,"ap":"00000000000B",)"
                                    R"("address":"x\"y\u0001\ufffd","offset":-1031.25})"));
}

// ---- storage: a restart resumes the open visits; a flood costs no row ------------------

class Database : public testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/presence-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    // One run of the program: resumes, plays the steps, stores their events, stops.
    std::vector<Event> run(const std::vector<Step> &steps) {
        Tracker tracker{Settings()};
        Store store;
        std::string why;
        EXPECT_EQ(store.open(file(), Store::Access::Follow, why), 0) << why;
        EXPECT_EQ(store.resume(tracker, why), 0) << why;
        std::vector<Event> events = play(tracker, steps, &store);
        EXPECT_EQ(store.flush(tracker, 30000, true, why), 0) << why;
        return events;
    }
    // The rows, their values joined by "," and the rows by ";".
    std::string sql(const char *query) const {
        sqlite3 *db = nullptr;
        sqlite3_open(file().c_str(), &db);
        std::string out;
        auto row = [](void *text, int n, char **values, char **) {
            auto &s = *static_cast<std::string *>(text);
            for (int i = 0; i < n; ++i)
                s += (i ? "," : s.empty() ? "" : ";") + std::string(values[i] ? values[i] : "-");
            return 0;
        };
        sqlite3_exec(db, query, row, &out, nullptr);
        sqlite3_close(db);
        return out;
    }
    std::string file() const { return dir_ + "/presence.db"; }
    std::string dir_;
};

TEST_F(Database, RestartSeenAgainWithinTheGraceTheVisitGoesOn) {
    // Stopping writes the open visit's last sighting, though within an interval of the last.
    EXPECT_EQ(describe(run({rec(0, A, C2, -70, true), rec(100, A, C1, -60, true), tick(121),
                            rec(130, B, C1, -40, true), rec(140, B, C1, -40, true)})),
              (Lines{"0 arrive C2 A -70 1", "100 arrive C1 A -60 1", "120 leave C2 A -70 1",
                     "130 move C1 B -40 1 from A"}));
    EXPECT_EQ(sql("SELECT mumac, ap, departed, last_seen FROM visits ORDER BY id"),
              "0000000000C2,00000000000A,0.0,0.0;0000000000C1,00000000000B,-,140.0");
    // Back after a pause longer than the grace: the grace counts from the restart.
    std::vector<Event> second = run({beat(300, A), rec(330, B, C1, -41, true), tick(500)});
    ASSERT_EQ(describe(second),
              (Lines{"420 ap-silent A", "450 leave C1 B -41 1", "450 ap-silent B"}));
    EXPECT_EQ(second[1].since, 100000);
    EXPECT_EQ(second[1].dwell, (std::vector<std::pair<uint64_t, Millis>>{{A, 30000}, {B, 200000}}));
    EXPECT_EQ(sql("SELECT COUNT(*), MIN(arrived), MAX(departed) FROM visits "
                  "WHERE mumac = '0000000000C1'"),
              "1,100.0,330.0");
    EXPECT_EQ(sql("SELECT apmac, seconds FROM dwell WHERE mumac = '0000000000C1' ORDER BY apmac"),
              "00000000000A,30.0;00000000000B,200.0");
    EXPECT_EQ(sql("SELECT COUNT(*) FROM present"), "0");
}

TEST_F(Database, RestartNotSeenAgainItLeavesAGraceAfterTheRestart) {
    run({rec(0, A, C1, -60, true)});
    EXPECT_EQ(describe(run({beat(1000, A), tick(1121)})),
              (Lines{"1120 leave C1 A -60 1", "1120 ap-silent A"}));
    EXPECT_EQ(sql("SELECT departed, last_seen FROM visits"), "0.0,0.0");
    EXPECT_EQ(sql("SELECT apmac, clients, silent FROM ap_clients"), "00000000000A,0,1");
}

TEST_F(Database, AFloodOfOneOffProbesStaysWithinTheCapAndCostsNoRow) {
    Settings settings;
    settings.maxClients = 1000;
    Tracker tracker(settings);
    Store store;
    std::string why;
    ASSERT_EQ(store.open(file(), Store::Access::Follow, why), 0) << why;
    std::vector<Event> events;
    std::size_t most = 0, recorded = 0;
    for (int i = 0; i < 50000; ++i) {
        uint64_t probe = uint64_t{0x020000000000} + static_cast<uint64_t>(i);
        tracker.observe(sighting(rec(i * 0.004, A, probe, -85, false)), events);
        if (i % 10000 == 5000) // a real client arrives in the middle of the flood
            tracker.observe(sighting(rec(i * 0.004, B, C1, -50, true)), events);
        most = std::max(most, tracker.tracked());
        if (i % 250 == 0) { // once a second
            for (; recorded < events.size(); ++recorded)
                store.record(events[recorded]);
            ASSERT_EQ(store.flush(tracker, 30000, false, why), 0) << why;
        }
    }
    EXPECT_LE(most, 1000u);
    EXPECT_EQ(describe(events), Lines{"20 arrive C1 B -50 1"});
    EXPECT_EQ(tracker.counters().clientsRefused, 0u);
    tracker.tick(ms(1000), events);
    EXPECT_EQ(tracker.tracked(), 0u); // all expired: nothing kept after the grace
    ASSERT_EQ(store.flush(tracker, 30000, true, why), 0) << why;
    EXPECT_EQ(sql("SELECT (SELECT COUNT(*) FROM visits), (SELECT COUNT(*) FROM stays), "
                  "(SELECT COUNT(*) FROM sightings)"),
              "1,1,0");
}

} // namespace
