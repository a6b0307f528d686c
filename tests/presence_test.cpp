// Presence scenarios: exact event sequences from sightings, and a restart from the database.
#include "presence_clock.h"
#include "presence_events.h"
#include "presence_input.h"
#include "presence_state.h"
#include "presence_store.h"

#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace presence;

namespace {

constexpr uint64_t A = 0xA, B = 0xB, D = 0xD, E = 0xE, F = 0xF;
constexpr uint64_t C1 = 0xC1, C2 = 0xC2, C3 = 0xC3;

// A step: a record (ap != 0), a heartbeat from the address (ap == 0, client == 0), or,
// with address nullptr, the clock alone.
struct Step {
    double t;
    const char *address;
    uint64_t ap = 0;
    uint64_t client = 0;
    int rssi = 0;
    bool assoc = false;
};

Step rec(double t, uint64_t ap, uint64_t client, int rssi, bool assoc) {
    return Step{t, ap == A ? "10.0.0.1" : "10.0.0.2", ap, client, rssi, assoc};
}
Step beat(double t, const char *address) {
    return Step{t, address};
}
Step tick(double t) {
    return Step{t, nullptr};
}

Millis ms(double t) {
    return static_cast<Millis>(t * 1000 + 0.5);
}

std::string describe(const Event &e) {
    char text[128];
    if (e.client == 0) {
        std::snprintf(text, sizeof text, "%g %s %llX", static_cast<double>(e.time) / 1000,
                      eventName(e.kind), static_cast<unsigned long long>(e.ap));
        return text;
    }
    std::snprintf(text, sizeof text, "%g %s %llX %llX %d %d", static_cast<double>(e.time) / 1000,
                  eventName(e.kind), static_cast<unsigned long long>(e.client),
                  static_cast<unsigned long long>(e.ap), e.rssi, e.assoc ? 1 : 0);
    std::string out = text;
    if (e.kind == EventKind::Move)
        out += e.fromAp == A ? " from A" : " from B";
    return out;
}

Sighting sighting(const Step &s) {
    Sighting out;
    out.received = ms(s.t);
    out.address = s.address;
    out.heartbeat = s.ap == 0;
    out.apmac = s.ap;
    out.mumac = s.client;
    out.timestamp = static_cast<int64_t>(s.t);
    out.rssi = s.rssi;
    out.assoc = s.assoc;
    return out;
}

std::vector<std::string> play(Tracker &tracker, const std::vector<Step> &steps) {
    std::vector<Event> events;
    for (const Step &s : steps) {
        if (s.address == nullptr)
            tracker.tick(ms(s.t), events);
        else
            tracker.observe(sighting(s), events);
    }
    std::vector<std::string> out;
    for (const Event &e : events)
        out.push_back(describe(e));
    return out;
}

struct Scenario {
    const char *name;
    std::vector<Step> steps;
    std::vector<std::string> events;
};

// Names the case in test lists instead of its bytes.
void PrintTo(const Scenario &s, std::ostream *out) {
    *out << s.name;
}

class Scenarios : public testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, GiveExactlyTheseEvents) {
    Tracker tracker{Settings()};
    EXPECT_EQ(play(tracker, GetParam().steps), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(
    Presence, Scenarios,
    testing::Values(
        Scenario{"arrive", {rec(0, A, C1, -60, true)}, {"0 arrive C1 A -60 1"}},
        // The old access point keeps reporting it, weaker: one move, none back.
        Scenario{"roam",
                 {rec(0, A, C1, -50, true), rec(30, A, C1, -58, true), rec(30.1, B, C1, -56, true),
                  rec(60, A, C1, -70, true), rec(60.1, B, C1, -50, true), rec(90, A, C1, -72, true),
                  rec(90.1, B, C1, -52, true)},
                 {"0 arrive C1 A -50 1", "60 move C1 B -56 1 from A"}},
        // 802.11r: joined at B before A's entry goes; A still lists it a round, then not.
        Scenario{"fast_transition",
                 {rec(0, A, C1, -50, true), rec(30, B, C1, -52, true), rec(30.2, A, C1, -50, true),
                  rec(60, B, C1, -51, true), beat(60.2, "10.0.0.1"), rec(90, B, C1, -51, true),
                  beat(90.2, "10.0.0.1"), tick(200)},
                 {"0 arrive C1 A -50 1", "90 move C1 B -51 1 from A"}},
        Scenario{"between_two_aps_no_flapping",
                 {rec(0, A, C1, -60, true), rec(0.1, B, C1, -62, true), rec(30, A, C1, -63, true),
                  rec(30.1, B, C1, -60, true), rec(60, A, C1, -61, true),
                  rec(60.1, B, C1, -59, true)},
                 {"0 arrive C1 A -60 1"}},
        Scenario{"probing_stronger_does_not_take_it",
                 {rec(0, A, C1, -70, true), rec(1, B, C1, -40, false)},
                 {"0 arrive C1 A -70 1"}},
        Scenario{"associating_takes_it_from_a_probing_ap",
                 {rec(0, A, C1, -40, false), rec(30, A, C1, -40, false), rec(31, B, C1, -70, true)},
                 {"30 arrive C1 A -40 0", "31 move C1 B -70 1 from A"}},
        Scenario{"leave_after_the_grace_not_before",
                 {rec(0, A, C1, -60, true), beat(100, "10.0.0.1"), tick(120), tick(120.001)},
                 {"0 arrive C1 A -60 1", "120 leave C1 A -60 1"}},
        // A one-off probe (C3) never arrives; a probing client seen in a second round does.
        Scenario{"probing_only",
                 {rec(0, A, C2, -70, false), rec(10, A, C3, -80, false), rec(30, A, C2, -71, false),
                  beat(140, "10.0.0.1"), tick(151)},
                 {"30 arrive C2 A -71 0", "150 leave C2 A -71 0"}},
        Scenario{"ap_silent_and_back",
                 {rec(0, A, C1, -60, true), beat(30, "10.0.0.1"), beat(60, "10.0.0.1"),
                  rec(60, B, C2, -50, true), beat(90, "10.0.0.2"), beat(150, "10.0.0.2"), tick(185),
                  rec(300, A, C1, -61, true)},
                 {"0 arrive C1 A -60 1", "60 arrive C2 B -50 1", "120 leave C1 A -60 1",
                  "180 leave C2 B -50 1", "180 ap-silent A", "270 ap-silent B", "300 ap-back A",
                  "300 arrive C1 A -61 1"}},
        // Heard probing by four more access points: its own access point's sighting stays.
        Scenario{"the_current_ap_is_kept_among_five",
                 {rec(0, A, C1, -50, true), rec(1, B, C1, -90, false), rec(2, D, C1, -90, false),
                  rec(3, E, C1, -90, false), rec(4, F, C1, -89, false), rec(30, A, C1, -51, true)},
                 {"0 arrive C1 A -50 1"}},
        // Present at its second round: at the access point hearing it best, whichever
        // reports first.
        Scenario{"a_probing_client_arrives_where_heard_best",
                 {rec(0, A, C1, -40, false), rec(0.5, B, C1, -80, false),
                  rec(30, B, C1, -80, false), rec(30.5, A, C1, -40, false)},
                 {"30 arrive C1 A -40 0"}},
        // Unheard for longer than the grace, seen again: a departure, then a new visit.
        Scenario{"a_gap_longer_than_the_grace",
                 {rec(0, A, C1, -60, true), beat(100, "10.0.0.1"), rec(121, A, C1, -60, true)},
                 {"0 arrive C1 A -60 1", "120 leave C1 A -60 1", "121 arrive C1 A -60 1"}}),
    [](const testing::TestParamInfo<Scenario> &p) { return std::string(p.param.name); });

TEST(Clock, AClockFarOffIsToldOncePerAccessPoint) {
    Tracker tracker{Settings()};
    std::vector<Event> events;
    std::vector<std::string> told;
    for (auto [t, ap, clock] : {std::tuple{0.0, A, 200},
                                {30, A, 330},
                                {31, B, -1000},
                                {60, A, 460},
                                {90, A, 2000},
                                {91, B, 91}}) {
        Sighting s = sighting(rec(t, ap, C1, -60, true));
        s.timestamp = clock;
        tracker.observe(s, events);
    }
    for (const Event &e : events) {
        if (e.kind == EventKind::ApClock) {
            told.push_back(describe(e) + " " + std::to_string(e.offset));
        }
    }
    // 200 s and 300 s off are within five minutes; 1,031 s and 400 s are not, told once.
    EXPECT_EQ(told, (std::vector<std::string>{"31 ap-clock B -1031000", "60 ap-clock A 400000"}));
}

// A resumed client stays at its access point until that one reports without it.
TEST(Resume, AResumedClientStaysWhereItWas) {
    Tracker tracker{Settings()};
    tracker.restoreAp(Ap{A, "10.0.0.1", 0, 1000000, 0, false, false, 0});
    tracker.restoreAp(Ap{B, "10.0.0.2", 0, 1000000, 0, false, false, 0});
    ASSERT_TRUE(tracker.restoreClient(Presence{C1, A, -50, true, 0, 1000000, 0}, {}));
    EXPECT_EQ(play(tracker, {rec(5000, B, C1, -80, false), rec(5001, A, C1, -52, true),
                             rec(5040, A, C2, -60, true), rec(5045, B, C1, -80, false)}),
              (std::vector<std::string>{"5040 arrive C2 A -60 1", "5045 move C1 B -80 0 from A"}));
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
    struct Case {
        const char *name;
        std::vector<ClockStep> steps;
        const char *log;
    } cases[] = {
        {"it does not run before the first line",
         {{0, nullptr, 5000}, {7000, a, 6000}},
         "idle -1 1@7000"},
        {"a line from before the clock is taken at its time",
         {{5000, a}, {4000, b}},
         "1@5000 2@5000"},
        {"a day ahead, then a line of today: refused",
         {{0, a}, {86400000, b}, {86400000, b}, {1000, a}},
         "1@0 4@1000 refused 2 refused 3"},
        {"far ahead, confirmed by another report",
         {{0, a}, {100000, b}, {101000, a}},
         "1@0 2@100000 3@101000"},
        {"the same access point's next report confirms it",
         {{0, a}, {100000, b}, {130000, b}},
         "1@0 2@100000 3@130000"},
        {"a later report far ahead confirms it too",
         {{0, a}, {100000, b}, {500000, a}},
         "1@0 2@100000 3@500000"},
        {"one from well before it does not",
         {{0, a}, {500000, b}, {100000, a}},
         "1@0 refused 2 refused 3"},
        {"while idle the clock runs on and reaches it",
         {{0, a, 0}, {70000, b, 0}, {0, nullptr, 5000}, {0, nullptr, 15000}},
         "1@0 idle 5000 idle 70000 2@70000"},
        {"within the bound it is taken at once", {{0, a}, {60000, b}}, "1@0 2@60000"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(runClock(c.steps), c.log) << c.name;
    }
}

// ---- input -----------------------------------------------------------------------------

TEST(Input, BothFormatsAndWhatIsRefused) {
    struct Case {
        std::string line;
        Parsed parsed;
        const char *why;
        Millis received = 1796714142123;
    } cases[] = {
        {R"({"from":"127.0.0.1:40000","record":1,"apmac":"A0B1C2D3E4F5","mumac":"0A1B2C3D4E5F",)"
         R"("timestamp":258,"rssi":-60,"channel":6,"assoc":1,"received":1796714142.123})",
         Parsed::Sighting, ""},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1,1796714142.123", Parsed::Sighting,
         ""},
        {"[fe80::1%eth0]:40000,0,,,,,,,1796714142.123", Parsed::Sighting, ""},
        {R"({"from":"[::1]:40000","record":0,"received":1796714142.123})", Parsed::Sighting, ""},
        {"from,record,apmac,mumac,timestamp,rssi,channel,assoc,received", Parsed::Skip, ""},
        {"", Parsed::Skip, ""},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1", Parsed::Refused,
         "8 fields: no received column"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F,0A1B2C3D4E5F,258,-60,6,1,1796714142.5", Parsed::Refused,
         "bad apmac"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1,1796714142.1234", Parsed::Refused,
         "bad from or received"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-600,6,1,1796714142.5", Parsed::Refused,
         "value out of range"},
        {R"({"from":"127.0.0.1:1","record":1,"received":1796714142})", Parsed::Refused,
         "bad number"},
        {R"({"from":"127.0.0.1:1","record":1,"apmac":"A0B1C2D3E4F5","mumac":"x",)"
         R"("timestamp":1,"rssi":-60,"channel":6,"assoc":1,"received":1796714142})",
         Parsed::Refused, "bad mumac"},
        {R"({"from":"127.0.0.1:1",)", Parsed::Refused, "not a JSON object"},
        // CSV fields read where they stand: each field ends at its own comma.
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1,1796714142.5,x", Parsed::Refused,
         "not 9 fields"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5A,0A1B2C3D4E5F,258,-60,6,1,1796714142.5", Parsed::Refused,
         "bad apmac"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5G,258,-60,6,1,1796714142.5", Parsed::Refused,
         "bad mumac"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,-,-60,6,1,1796714142.5", Parsed::Refused,
         "bad number"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,99999999999,6,1,1796714142.5",
         Parsed::Refused, "bad number"},
        {"127.0.0.1:40000,1x,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1,1796714142.5", Parsed::Refused,
         "bad record"},
        {"127.0.0.1:40000,1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1,1796714142.", Parsed::Refused,
         "bad from or received"},
        {",1,A0B1C2D3E4F5,0A1B2C3D4E5F,258,-60,6,1,1796714142.5", Parsed::Refused,
         "bad from or received"},
        // Receive times from 2000 up to 2100, whatever the notation; never converted outside.
        {R"({"from":"[::1]:1","record":0,"received":946684800})", Parsed::Sighting, "",
         946684800000},
        {R"({"from":"[::1]:1","record":0,"received":4102444799.999})", Parsed::Sighting, "",
         4102444799999},
        {R"({"from":"[::1]:1","record":0,"received":946684799.999})", Parsed::Refused,
         "received out of range"},
        {R"({"from":"[::1]:1","record":0,"received":4102444800})", Parsed::Refused,
         "received out of range"},
        {R"({"from":"[::1]:1","record":0,"received":1e300})", Parsed::Refused,
         "received out of range"},
        {R"({"from":"[::1]:1","record":0,"received":18446744073709551616})", Parsed::Refused,
         "received out of range"},
        {R"({"from":"[::1]:1","record":0,"received":-0.0})", Parsed::Refused,
         "received out of range"},
        {R"({"from":"[::1]:1","record":0,"received":1e400})", Parsed::Refused, "bad number"},
        {"[::1]:1,0,,,,,,,946684799.999", Parsed::Refused, "received out of range"},
        {"[::1]:1,0,,,,,,,999999999999999999.999", Parsed::Refused, "received out of range"},
        {"[::1]:1,0,,,,,,,9999999999999999999", Parsed::Refused, "bad from or received"},
        // The other numbers: the wire's 32-bit timestamp, signed or not, and decode's record.
        {"127.0.0.1:1,1,A0B1C2D3E4F5,0A1B2C3D4E5F,4294967295,-60,6,1,1796714142.123",
         Parsed::Sighting, ""},
        {"127.0.0.1:1,1,A0B1C2D3E4F5,0A1B2C3D4E5F,-2147483649,-60,6,1,1796714142.123",
         Parsed::Refused, "value out of range"},
        {R"({"from":"127.0.0.1:1","record":1,"apmac":"A0B1C2D3E4F5","mumac":"0A1B2C3D4E5F",)"
         R"("timestamp":4294967296,"rssi":-60,"channel":6,"assoc":1,"received":1796714142})",
         Parsed::Refused, "value out of range"},
        {R"({"from":"127.0.0.1:1","record":2147483648,"apmac":"A0B1C2D3E4F5",)"
         R"("mumac":"0A1B2C3D4E5F","timestamp":1,"rssi":-60,"channel":6,"assoc":1,)"
         R"("received":1796714142})",
         Parsed::Refused, "bad record"},
        {"127.0.0.1:1,999999999999999999,A0B1C2D3E4F5,0A1B2C3D4E5F,1,-60,6,1,1796714142",
         Parsed::Refused, "bad record"},
        // A C1 control is UTF-8 and JSON can spell a NUL: refused too (every byte: below).
        {"127.0.0.1\xc2\x9b:1,0,,,,,,,1796714142.123", Parsed::Refused, "bad from"},
        {R"({"from":"127.0.0.1\u0000:1","record":0,"received":1796714142.123})", Parsed::Refused,
         "bad from"},
        {"h\xc3\xb4te:1,0,,,,,,,1796714142.123", Parsed::Sighting, ""},
        // A known field twice, however spelt, and a line that is not JSON after its fields.
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"record":1})", Parsed::Refused,
         "a field given twice"},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"rec\u006frd":0})",
         Parsed::Refused, "a field given twice"},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"x":{"y":[1,2}})",
         Parsed::Refused, "not a JSON object"},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"x":{"y":1})", Parsed::Refused,
         "not a JSON object"},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"x":tru})", Parsed::Refused,
         "not a JSON object"},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123} {})", Parsed::Refused,
         "not a JSON object"},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"x":[[{"a":null}],"b"]})",
         Parsed::Sighting, ""},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"x":)" + std::string(16, '[') +
             std::string(16, ']') + "}",
         Parsed::Sighting, ""},
        {R"({"from":"[::1]:1","record":0,"received":1796714142.123,"x":)" + std::string(17, '[') +
             std::string(17, ']') + "}",
         Parsed::Refused, "not a JSON object"},
    };
    for (const Case &c : cases) {
        Sighting s;
        std::string why;
        EXPECT_EQ(parseLine(c.line, s, why), c.parsed) << c.line;
        EXPECT_EQ(why, c.why) << c.line;
        if (c.parsed == Parsed::Sighting) {
            EXPECT_EQ(s.received, c.received) << c.line;
        }
    }
    Sighting s;
    std::string why;
    parseLine("[fe80::1%eth0]:40000,1,A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,0,946684807", s, why);
    EXPECT_EQ(s.address, "fe80::1%eth0");
    EXPECT_EQ(s.mumac, 0x0A1B2C3D4E5FULL);
    EXPECT_FALSE(s.assoc);
    EXPECT_EQ(s.received, 946684807000);
}

// A sender's text is read eight bytes at a time: one byte of every value at every place.
TEST(Input, EveryByteOfASenderIsChecked) {
    for (int place = 1; place < 20; ++place) { // a first "{" would be JSON
        for (int byte = 0; byte < 256; ++byte) {
            if (byte == ',') {
                continue; // the field's end
            }
            std::string from = "[fd00::1234:5678]:40000";
            from[static_cast<std::size_t>(place)] = static_cast<char>(byte);
            Sighting s;
            std::string why;
            Parsed parsed = parseLine(from + ",0,,,,,,,1796714142", s, why);
            bool plain = byte >= 0x20 && byte < 0x7F;
            EXPECT_EQ(parsed, plain ? Parsed::Sighting : Parsed::Refused) << place << " " << byte;
        }
    }
}

// Any time prints as a JSON number, the extremes of its type too; the usual ones as ever.
TEST(Events, AnyTimePrintsAsANumber) {
    const std::pair<Millis, const char *> cases[] = {{1796714142123, "1796714142.123"},
                                                     {1796714142100, "1796714142.1"},
                                                     {0, "0.0"},
                                                     {-1500, "-1.5"},
                                                     {INT64_MAX, "9223372036854775.807"},
                                                     {INT64_MIN, "-9223372036854775.808"}};
    for (auto [time, text] : cases) {
        Event e;
        e.kind = EventKind::ApBack;
        e.time = time;
        e.address = "10.0.0.1";
        std::string line = eventJson(e);
        EXPECT_NE(line.find(std::string("\"time\":") + text + ","), std::string::npos) << line;
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
}

// ---- events ----------------------------------------------------------------------------

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
    auto leaveJson = nlohmann::json::parse(eventJson(leave));
    auto clockJson = nlohmann::json::parse(eventJson(clock));
    EXPECT_EQ(leaveJson, nlohmann::json::parse(
                             R"({"event":"leave","time":1796714120.06,"client":"0A1B2C3D4E5F",)"
                             R"("ap":"00000000000A","address":"10.0.0.1","rssi":-66,"assoc":1,)"
                             R"("since":1796714000.0,"last_seen":1796714000.5,)"
                             R"("dwell":{"00000000000A":90.0,"00000000000B":1.25}})"));
    EXPECT_EQ(clockJson,
              nlohmann::json::parse(R"({"event":"ap-clock","time":0.005,)"
                                    R"("ap":"00000000000B","address":"x\"y\u0001\ufffd",)"
                                    R"("offset":-1031.25})"));
}

// ---- storage: a restart resumes the open visits; a flood costs no row
// -------------------------------------------------

class Database : public testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/presence-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        file_ = dir_ + "/presence.db";
    }
    void TearDown() override {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::remove((file_ + suffix).c_str());
        rmdir(dir_.c_str());
    }
    // One run of the program: resumes, plays the steps, stores their events, stops.
    std::vector<std::string> run(const std::vector<Step> &steps) {
        Tracker tracker{Settings()};
        Store store;
        std::string why;
        EXPECT_EQ(store.open(file_, Store::Access::Follow, why), 0) << why;
        EXPECT_EQ(store.resume(tracker, why), 0) << why;
        std::vector<Event> events;
        std::vector<std::string> out;
        for (const Step &s : steps) {
            if (s.address == nullptr)
                tracker.tick(ms(s.t), events);
            else
                tracker.observe(sighting(s), events);
            for (const Event &e : events) {
                store.record(e);
                out.push_back(describe(e));
                if (e.kind == EventKind::Leave)
                    lastLeave_ = e;
            }
            events.clear();
            EXPECT_EQ(store.flush(tracker, 30000, false, why), 0) << why;
        }
        EXPECT_EQ(store.flush(tracker, 30000, true, why), 0) << why;
        return out;
    }
    std::string sql(const char *query) {
        sqlite3 *db = nullptr;
        sqlite3_open(file_.c_str(), &db);
        std::string out;
        sqlite3_exec(
            db, query,
            [](void *text, int n, char **values, char **) {
                auto &s = *static_cast<std::string *>(text);
                for (int i = 0; i < n; ++i)
                    s += std::string(i           ? ","
                                     : s.empty() ? ""
                                                 : ";") +
                         (values[i] ? values[i] : "-");
                return 0;
            },
            &out, nullptr);
        sqlite3_close(db);
        return out;
    }
    std::string dir_, file_;
    Event lastLeave_;
};

TEST_F(Database, RestartSeenAgainWithinTheGraceTheVisitGoesOn) {
    EXPECT_EQ(run({rec(0, A, C2, -70, true), rec(100, A, C1, -60, true), tick(121),
                   rec(130, B, C1, -40, true)}),
              (std::vector<std::string>{"0 arrive C2 A -70 1", "100 arrive C1 A -60 1",
                                        "120 leave C2 A -70 1", "130 move C1 B -40 1 from A"}));
    EXPECT_EQ(sql("SELECT mumac, ap, departed, last_seen FROM visits ORDER BY id"),
              "0000000000C2,00000000000A,0.0,0.0;0000000000C1,00000000000B,-,130.0");
    // Back after a pause longer than the grace: the grace counts from the restart.
    EXPECT_EQ(
        run({beat(300, "10.0.0.1"), rec(330, B, C1, -41, true), tick(500)}),
        (std::vector<std::string>{"420 ap-silent A", "450 leave C1 B -41 1", "450 ap-silent B"}));
    EXPECT_EQ(lastLeave_.since, 100000);
    EXPECT_EQ(lastLeave_.dwell,
              (std::vector<std::pair<uint64_t, Millis>>{{A, 30000}, {B, 200000}}));
    EXPECT_EQ(sql("SELECT COUNT(*), MIN(arrived), MAX(departed) FROM visits "
                  "WHERE mumac = '0000000000C1'"),
              "1,100.0,330.0");
    EXPECT_EQ(sql("SELECT apmac, seconds FROM dwell WHERE mumac = '0000000000C1' "
                  "ORDER BY apmac"),
              "00000000000A,30.0;00000000000B,200.0");
    EXPECT_EQ(sql("SELECT COUNT(*) FROM present"), "0");
}

TEST_F(Database, RestartNotSeenAgainItLeavesAGraceAfterTheRestart) {
    run({rec(0, A, C1, -60, true)});
    EXPECT_EQ(run({beat(1000, "10.0.0.1"), tick(1121)}),
              (std::vector<std::string>{"1120 leave C1 A -60 1", "1120 ap-silent A"}));
    EXPECT_EQ(sql("SELECT departed, last_seen FROM visits"), "0.0,0.0");
    EXPECT_EQ(sql("SELECT apmac, clients, silent FROM ap_clients"), "00000000000A,0,1");
}

// ---- a flood of one-off probing pseudonyms ---------------------------------------------

TEST_F(Database, AFloodOfOneOffProbesStaysWithinTheCapAndCostsNoRow) {
    Settings settings;
    settings.maxClients = 1000;
    Tracker tracker(settings);
    Store store;
    std::string why;
    ASSERT_EQ(store.open(file_, Store::Access::Follow, why), 0) << why;
    std::vector<Event> events;
    std::size_t most = 0;
    std::size_t recorded = 0;
    for (int i = 0; i < 50000; ++i) {
        Sighting s = sighting(
            rec(i * 0.004, A, uint64_t{0x020000000000} + static_cast<uint64_t>(i), -85, false));
        tracker.observe(s, events);
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
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(describe(events[0]), "20 arrive C1 B -50 1");
    EXPECT_EQ(tracker.counters().clientsRefused, 0u);
    tracker.tick(ms(1000), events);
    EXPECT_EQ(tracker.tracked(), 0u); // all expired: nothing kept after the grace
    ASSERT_EQ(store.flush(tracker, 30000, true, why), 0) << why;
    EXPECT_EQ(sql("SELECT (SELECT COUNT(*) FROM visits), (SELECT COUNT(*) FROM stays), "
                  "(SELECT COUNT(*) FROM sightings)"),
              "1,1,0");
}

} // namespace
