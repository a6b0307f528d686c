// station-presence's command line, and its pipeline driven line by line with a made-up
// monotonic clock, its events and messages caught.
#include "presence_options.h"
#include "presence_pipeline.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace presence;

namespace {

using presence::Options; // not station-decode's

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
        {{"--mqtt", "h", "--mqtt-user", ""}, 2, "station-presence: an MQTT setting must not be"},
        {{"--mqtt", "h", "--mqtt-password", "p"}, 2, "station-presence: the MQTT password is not"},
        {{"--mqtt", "h", "--mqtt-ca", "a", "--mqtt-cert", "c"}, 2, "station-presence: --mqtt-cert"},
        {{"--mqtt", "h", "--mqtt-cert", "c", "--mqtt-key", "k"},
         2,
         "station-presence: --mqtt-cert"},
        {{"--mqtt", "h", "--mqtt-insecure-skip-name-check", "yes"}, 2, "station-presence: --mqtt-"},
        {{"--mqtt", "h", "--mqtt-ca", "a", "--mqtt-insecure-skip-name-check", "1"}, 2, "station-"},
        {{"--mqtt", "h", "--mqtt-keepalive", "4"}, 2, "station-presence: SECONDS must be 5 to"},
        {{"--mqtt", "h", "--mqtt-queue", "-1"}, 2, "station-presence: N must be 0 to 10000000"},
        {{"--mqtt", "h", "--mqtt-client-id", longId.c_str()}, 2, "station-presence: ID must be"},
        {{"--listen", "[::1]:9999", "--allow", "::1", "--allow", "10.0.0.0/8"}, -1, ""},
        {{"--listen", "localhost:9999"}, 2, "station-presence: --listen needs [ADDRESS:]PORT"},
        {{"--listen", "9999", "--allow", "10.0.0.0/33"}, 2, "station-presence: bad network"},
        {{"--stats", "10"}, 2, "station-presence: --stats needs --listen"},
        {{"--db"}, 2, "station-presence: missing value of --db"},
        {{"--since", "1h"}, 2, "station-presence: unknown option --since"},
        {{"now"}, 2, "station-presence: --db FILE is needed"},
        {{"now", "--db", "p.db"}, -1, ""},
        {{"now", "--db", "p.db", "--grace", "5"}, 2, "station-presence: unknown option --grace"},
        {{"visits", "--db", "p.db", "--since", "2h"}, -1, ""},
        {{"aps", "--db", "p.db", "--since", "2h"}, 2, "station-presence: unknown option --since"},
        {{"report", "--db", "p.db"}, 2, "station-presence: --html FILE is needed"},
        {{"report", "--db", "p.db", "--html", "p.html", "--since", "1d"}, -1, ""},
        {{"--keep-visits", "36501"}, 2, "station-presence: DAYS must be 0 to 36500"},
        {{"--keep-visits", "0"}, -1, ""},
        {{"--config", ""}, 2, "station-presence: --config FILE must not be empty"},
        {{"--config"}, 2, "station-presence: missing value of --config"},
        {{"forget"}, 2, "station-presence: CLIENT must be a MAC address"},
        {{"forget", "--db", "p.db"}, 2, "station-presence: CLIENT must be a MAC address"},
        {{"forget", "0a:1b-2c:3d:4e:5f", "--db", "p.db"}, 2, "station-presence: CLIENT must be"},
        {{"forget", "0a-1b-2c-3d-4e-5f"}, 2, "station-presence: --db FILE is needed"},
        {{"forget", "0a-1b-2c-3d-4e-5f", "--db", "p.db", "--grace", "5"},
         2,
         "station-presence: unknown option --grace"},
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

// A config file of text, removed at the end of the test.
class ConfigFile {
  public:
    explicit ConfigFile(const std::string &text) { write(text); }
    void write(const std::string &text) const {
        FILE *f = std::fopen(path.c_str(), "w");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    ~ConfigFile() { unlink(path.c_str()); }
    std::string path = testing::TempDir() + "presence-" + std::to_string(getpid()) + ".conf";
};

TEST(CommandLine, TheConfigFileAndTheCommandLineOverIt) {
    struct Case {
        std::string text;
        std::vector<const char *> args; // after --config FILE
        int status;
        const char *says; // what follows "station-presence: FILE:"
    } cases[] = {
        {"# presence\n\n  db  my presence.db \t\ngrace 60\nhysteresis 3\n", {}, -1, ""},
        {"db p.db\ngrace 60\n", {"--grace", "30", "--hysteresis", "3"}, -1, ""},
        {"foo 1\n", {}, 2, "1: unknown name foo\n"},
        {"db a\nconfig other.conf\n", {}, 2, "2: unknown name config\n"},
        {"grace 0\n", {}, 2, "1: grace: SECONDS must be 1 to 86400\n"},
        {"db a\n\ndb b\n", {}, 2, "3: db given twice (first on line 1)\n"},
        {"db\n", {}, 2, "1: db needs a value\n"},
        {"mqtt h\nmqtt-user u\nmqtt-password p\n",
         {},
         2,
         " holds mqtt-password and is readable "
         "by others; chmod 600 it\n"},
        {"grace 5\n", {"--grace", "0"}, 2, ""}, // the command line's usage error
        {std::string("grace 60\0junk\n", 14),
         {},
         2,
         "1: not a line of text (a control character)\n"},
        {"db p.db\ngr\x1b[2Jace 5\n", {}, 2, "2: not a line of text (a control character)\n"},
        {"a_name_much_longer_than_forty_characters_is_cut 1\n",
         {},
         2,
         "1: unknown name a_name_much_longer_than_forty_characters...\n"},
    };
    for (const Case &c : cases) {
        ConfigFile file(c.text);
        std::vector<const char *> argv{"station-presence", "--config", file.path.c_str()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Options o;
        std::string out;
        std::string err;
        EXPECT_EQ(parseCommandLine(static_cast<int>(argv.size()), argv.data(), o, out, err),
                  c.status)
            << c.text;
        if (*c.says != '\0') {
            EXPECT_EQ(err, "station-presence: " + file.path + ":" + c.says);
        } else if (c.status < 0) {
            EXPECT_EQ(o.settings.grace, c.args.empty() ? 60000 : 30000);
            EXPECT_EQ(o.settings.hysteresis, 3);
            EXPECT_EQ(o.db, c.args.empty() ? "my presence.db" : "p.db");
        }
    }
    // One file for the follower and the queries: a query passes over what it does not take.
    ConfigFile file("db p.db\ngrace 60\n");
    const char *now[] = {"station-presence", "now", "--config", file.path.c_str()};
    Options o;
    std::string out;
    std::string err;
    EXPECT_EQ(parseCommandLine(4, now, o, out, err), -1) << err;
    EXPECT_EQ(o.db, "p.db");
    file.write("listen 9999\nallow 10.0.0.0/8\nallow ::1\n"); // allow alone may come twice
    const char *run[] = {"station-presence", "--config", file.path.c_str(), "--allow",
                         "127.0.0.0/8"};
    for (int argc : {3, 5}) { // the command line's networks replace the file's
        Options listening;
        EXPECT_EQ(parseCommandLine(argc, run, listening, out, err), -1) << err;
        EXPECT_EQ(listening.receiver.allowed.size(), argc == 3 ? 2U : 1U);
    }
    const char *missing[] = {"station-presence", "--config", "/nonexistent/presence.conf"};
    EXPECT_EQ(parseCommandLine(3, missing, o, out, err), 2);
    EXPECT_EQ(err, "station-presence: /nonexistent/presence.conf: cannot read: No such file or "
                   "directory\n");
}

TEST(CommandLine, AReloadTellsWhatChangedAndWhatNeedsARestart) {
    ConfigFile file("db a.db\ngrace 60\ninterval 10\n");
    const char *argv[] = {"station-presence", "--config", file.path.c_str(), "--hysteresis", "3"};
    Options running;
    std::string out;
    std::string err;
    ASSERT_EQ(parseCommandLine(5, argv, running, out, err), -1);
    file.write("db b.db\ngrace 30\nhysteresis 9\n");
    Reload reload;
    ASSERT_EQ(reloadOptions(running, reload, err), 0) << err;
    EXPECT_EQ(reload.changed, (std::vector<std::string>{"db", "interval", "grace"}));
    EXPECT_EQ(reload.refused, (std::vector<std::string>{"db", "interval"}));
    EXPECT_EQ(reload.next.settings.grace, 30000);
    EXPECT_EQ(reload.next.settings.hysteresis, 3); // the command line still wins
    file.write("grace x\n");
    EXPECT_EQ(reloadOptions(running, reload, err), -1);
    EXPECT_EQ(err, file.path + ":1: grace: SECONDS must be 1 to 86400");
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

// Rounds every 10 s, gone after 40 s.
Options tenSecondRounds() {
    Options o;
    o.settings.interval = 10000;
    o.settings.grace = 40000;
    return o;
}

TEST(Pipeline, AnIdleInputStillEndsVisitsAtTheirTime) {
    Options o = tenSecondRounds();
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

TEST(Pipeline, AShorterGraceReadAgainEndsVisitsByItsTime) {
    Options o = tenSecondRounds();
    Caught sink;
    Pipeline p(o, sink, nullptr, nullptr);
    p.line(record(1796714000, "0A1B2C3D4E01"), 5000);
    EXPECT_EQ(p.settle(5000), 0);
    Options next = o;
    next.settings.grace = 10000;
    p.reconfigure(next, {"db"});
    p.idle(17000); // ...012: gone at ...010 by the new grace, not at ...040
    p.settle(17000);
    EXPECT_EQ(sink.said, (std::vector<std::string>{
                             R"({"event":"arrive","time":1796714000.0)",
                             "! the command line read again; a restart is needed to change db",
                             R"({"event":"leave","time":1796714010.0)",
                             R"({"event":"ap-silent","time":1796714010.0)"}));
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
