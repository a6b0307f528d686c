// station-presence's command line, and its pipeline driven line by line with a made-up
// monotonic clock, its events and messages caught.
#include "presence_options.h"
#include "presence_pipeline.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

using namespace presence;

namespace {

TEST(CommandLine, EveryOptionAndEveryRefusal) {
    const std::string longId(257, 'i');
    struct Case {
        std::vector<const char *> args;
        int status;       // -1: run
        const char *says; // the start of what it prints on standard output or error
    } cases[] = {
        {{}, -1, ""},
        {{"--help"}, 0, "usage: station-presence"},
        {{"-h"}, 0, "usage: station-presence"},
        {{"--version"}, 0, "station-presence "},
        {{"--db", "p.db", "--interval", "10", "--grace", "40", "--hysteresis", "0", "--max-clients",
          "1", "--keep", "36500", "--mqtt", "[::1]:1884", "--mqtt-prefix", "a/b"},
         -1,
         ""},
        {{"--interval", "0"}, 2, "station-presence: SECONDS must be 1 to 86400\nusage:"},
        {{"--grace", "86401"}, 2, "station-presence: SECONDS must be 1 to 86400"},
        {{"--hysteresis", "-1"}, 2, "station-presence: DB must be 0 to 100"},
        {{"--max-clients", "1e3"}, 2, "station-presence: N must be 1 to 100000000"},
        {{"--keep", "1"}, 2, "station-presence: --keep needs --db FILE"},
        {{"--keep", "36501", "--db", "p.db"}, 2, "station-presence: DAYS must be 1 to 36500"},
        {{"--mqtt", ""}, 2, "station-presence: bad MQTT host"},
        {{"--mqtt", "[::1"}, 2, "station-presence: bad MQTT host"},
        {{"--mqtt", "[::1]x"}, 2, "station-presence: bad MQTT host"},
        {{"--mqtt", "host:0"}, 2, "station-presence: bad MQTT port"},
        {{"--mqtt", ":1883"}, 2, "station-presence: bad MQTT host"},
        {{"--mqtt-prefix", "a/#"}, 2, "station-presence: bad MQTT prefix"},
        {{"--mqtt-user", "u"}, 2, "station-presence: the MQTT settings need --mqtt HOST"},
        {{"--mqtt", "h", "--mqtt-password-file", "f"}, 2, "station-presence: an MQTT password"},
        {{"--mqtt", "h", "--mqtt-user", ""}, 2, "station-presence: --mqtt-user must not be"},
        {{"--mqtt", "h", "--mqtt-ca", "a", "--mqtt-cert", "c"}, 2, "station-presence: --mqtt-cert"},
        {{"--mqtt", "h", "--mqtt-cert", "c", "--mqtt-key", "k"},
         2,
         "station-presence: --mqtt-cert"},
        {{"--mqtt", "h", "--mqtt-insecure-skip-name-check", "yes"}, 2, "station-presence: --mqtt-"},
        {{"--mqtt", "h", "--mqtt-ca", "a", "--mqtt-insecure-skip-name-check", "1"}, 2, "station-"},
        {{"--mqtt", "h", "--mqtt-keepalive", "4"}, 2, "station-presence: SECONDS must be 5 to"},
        {{"--mqtt", "h", "--mqtt-queue", "-1"}, 2, "station-presence: N must be 0 to 10000000"},
        {{"--mqtt", "h", "--mqtt-client-id", longId.c_str()}, 2, "station-presence: ID must be"},
        {{"--db"}, 2, "station-presence: missing value of --db"},
        {{"--since", "1h"}, 2, "station-presence: unknown option --since"},
        {{"now"}, 2, "station-presence: --db FILE is needed"},
        {{"now", "--db", "p.db"}, -1, ""},
        {{"now", "--db", "p.db", "--grace", "5"}, 2, "station-presence: unknown option --grace"},
        {{"visits", "--db", "p.db", "--since", "2h"}, -1, ""},
        {{"aps", "--db", "p.db", "--since", "2h"}, 2, "station-presence: unknown option --since"},
        {{"report", "--db", "p.db"}, 2, "station-presence: --html FILE is needed"},
        {{"report", "--db", "p.db", "--html", "p.html", "--since", "1d"}, -1, ""},
    };
    for (const Case &c : cases) {
        std::vector<const char *> argv{"station-presence"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Options o;
        std::string out;
        std::string err;
        const int status =
            parseCommandLine(static_cast<int>(argv.size()), argv.data(), o, out, err);
        const std::string said = out + err;
        EXPECT_EQ(status, c.status) << said;
        EXPECT_EQ(said.substr(0, std::string(c.says).size()), c.says);
    }
    Options o;
    std::string out;
    std::string err;
    const char *argv[] = {"station-presence", "--interval", "10", "--mqtt", "[::1]:1884"};
    ASSERT_EQ(parseCommandLine(5, argv, o, out, err), -1);
    EXPECT_EQ(o.settings.grace, 40000); // four intervals unless given
    EXPECT_EQ(o.mqtt.host, "::1");
    EXPECT_EQ(o.mqtt.port, 1884);
    const char *tls[] = {"station-presence",
                         "--mqtt",
                         "h",
                         "--mqtt-capath",
                         "d",
                         "--mqtt-cert",
                         "c",
                         "--mqtt-key",
                         "k",
                         "--mqtt-insecure-skip-name-check",
                         "yes",
                         "--mqtt-keepalive",
                         "3600",
                         "--mqtt-queue",
                         "0"};
    ASSERT_EQ(parseCommandLine(15, tls, o, out, err), -1) << err;
    EXPECT_EQ(std::tie(o.mqtt.caPath, o.mqtt.certFile, o.mqtt.keyFile, o.mqtt.insecure,
                       o.mqtt.keepalive, o.mqtt.queueLimit),
              std::make_tuple("d", "c", "k", true, 3600, 0U));
}

// Events and messages as the program would print them.
class Caught : public Sink {
  public:
    bool events(std::string_view lines) override {
        for (std::size_t start = 0, end; (end = lines.find('\n', start)) != lines.npos;
             start = end + 1) {
            // The kind and the time: what comes before the second comma.
            std::string_view line = lines.substr(start, end - start);
            said.push_back(std::string(line.substr(0, line.find(',', line.find(',') + 1))));
        }
        return writable;
    }
    void message(const std::string &text) override { said.push_back("! " + text); }
    std::vector<std::string> said;
    bool writable = true;
};

std::string record(double received, const char *client) {
    char line[160];
    std::snprintf(line, sizeof line, "127.0.0.1:4000,1,A0B1C2D3E4F5,%s,1796714000,-60,6,1,%.3f",
                  client, received);
    return line;
}

TEST(Pipeline, AnIdleInputStillEndsVisitsAtTheirTime) {
    Options o;
    o.settings.interval = 10000;
    o.settings.grace = 40000;
    Caught sink;
    Pipeline p(o, sink, nullptr, nullptr);
    p.line(record(1796714000, "0A1B2C3D4E01"), 5000);
    p.line(record(1796714010, "0A1B2C3D4E02"), 5000);
    EXPECT_EQ(p.settle(5000), 0);
    p.idle(25000); // 20 s later: the clock is at ...030, nobody gone yet
    EXPECT_EQ(p.settle(25000), 0);
    EXPECT_EQ(sink.said.size(), 2u);
    p.idle(56000); // ...061: the first is gone at ...040, the second at ...050
    p.settle(56000);
    EXPECT_EQ(sink.said, (std::vector<std::string>{R"({"event":"arrive","time":1796714000.0)",
                                                   R"({"event":"arrive","time":1796714010.0)",
                                                   R"({"event":"leave","time":1796714040.0)",
                                                   R"({"event":"leave","time":1796714050.0)",
                                                   R"({"event":"ap-silent","time":1796714050.0)"}));
    EXPECT_EQ(p.finish(56000, 0), 0);
    EXPECT_EQ(sink.said.back().substr(0, 36), "! 2 lines, 2 records, 0 heartbeats, ");
}

TEST(Pipeline, RefusalsAreToldFiveThenEveryTenSeconds) {
    Options o;
    Caught sink;
    Pipeline p(o, sink, nullptr, nullptr);
    for (int i = 0; i < 7; ++i) {
        p.line("junk", 1000);
    }
    p.settle(1000);
    EXPECT_EQ(sink.said.size(), 5u);
    EXPECT_EQ(sink.said[0], "! line 1: not 9 fields");
    p.line("junk", 10999);
    p.settle(10999);
    EXPECT_EQ(sink.said.size(), 5u);
    p.settle(11000);
    EXPECT_EQ(sink.said.back(), "! 3 more lines refused, the last: line 8: not 9 fields");
}

TEST(Pipeline, AReportHeldAtTheEndIsRefusedAndAFailedOutputFailsTheRun) {
    Options o;
    Caught sink;
    sink.writable = false;
    Pipeline p(o, sink, nullptr, nullptr);
    p.line(record(1796714000, "0A1B2C3D4E01"), 0);
    p.line(record(1796800000, "0A1B2C3D4E02"), 0);
    p.settle(0);
    EXPECT_EQ(p.finish(0, 0), 1);
    EXPECT_EQ(sink.said[1].substr(0, 22), "! cannot write events:");
    EXPECT_EQ(sink.said[2], "! line 2: received 86000.000 s ahead of the clock, not confirmed");
}

} // namespace
