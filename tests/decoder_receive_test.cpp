#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "listener.h"
#include "report_format.h"
#include "report_layout.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the lines were handed over in, as they came.
class Capture : public Destination {
  public:
    ssize_t write(const char *text, size_t length) override {
        text_.append(text, length);
        return static_cast<ssize_t>(length);
    }
    std::string text_;
};

std::string hex(const uint8_t (&mac)[MAC_SIZE]) {
    char text[13];
    snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
    return text;
}

// The line as printf would write it.
std::string expected(bool json, const std::string &from, int number, const DecodedRecord &r,
                     const std::string &received) {
    char line[400];
    snprintf(line, sizeof line,
             json ? R"({"from":"%s","record":%d,"apmac":"%s","mumac":"%s","timestamp":%d,)"
                    R"("rssi":%d,"channel":%d,"assoc":%d,"received":%s})"
                    "\n"
                  : "%s,%d,%s,%s,%d,%d,%d,%d,%s\n",
             from.c_str(), number, hex(r.apmac).c_str(), hex(r.mumac).c_str(), r.timestamp, r.rssi,
             r.channel, r.assoc, received.c_str());
    return line;
}

TEST(DecoderOutput, EveryValueAsPrintfWritesIt) {
    const int32_t timestamps[] = {0, 9, 10, 99, 100, 12345, 1733650001, INT_MAX, -1, INT_MIN};
    const int32_t rssis[] = {-128, -60, -10, -1, 0, 9, 99, 127};
    const int32_t bytes[] = {0, 1, 9, 10, 99, 100, 199, 255};
    DecodedReport report{};
    report.count = MAX_RECORDS;
    for (size_t i = 0; i < MAX_RECORDS; ++i) {
        DecodedRecord &r = report.records[i];
        // Runs of the same AP and timestamp, and changes back to an earlier one.
        const uint8_t ap = i < 5 ? 0xA0 : i < 9 ? 0x0F : 0xA0;
        const uint8_t apmac[MAC_SIZE] = {ap, 0xB1, 0xC2, 0xD3, 0xE4, static_cast<uint8_t>(i / 9)};
        const uint8_t mumac[MAC_SIZE] = {0x00, 0xFF, static_cast<uint8_t>(i * 15),
                                         0x5A, 0x09, 0x90};
        memcpy(r.apmac, apmac, MAC_SIZE);
        memcpy(r.mumac, mumac, MAC_SIZE);
        r.timestamp = timestamps[i / 2 % std::size(timestamps)];
        r.rssi = rssis[i % std::size(rssis)];
        r.channel = bytes[i % std::size(bytes)];
        r.assoc = bytes[(i + 3) % std::size(bytes)];
    }
    const struct {
        timespec when;
        const char *text;
    } times[] = {{{0, 0}, "0.000"},
                 {{5, 7999999}, "5.007"},
                 {{1796714142, 123000000}, "1796714142.123"},
                 {{1, 999999999}, "1.999"}};
    const std::string froms[] = {"-", "127.0.0.1:40000",
                                 "[fe80::1234:5678:9abc:def0%4000000000]:65535"};
    for (bool json : {false, true}) {
        for (const auto &t : times) {
            for (const std::string &from : froms) {
                Capture capture;
                Output out(json, false, capture);
                out.appendReport(report, from, receivedText(t.when));
                ASSERT_TRUE(out.flush(nullptr));
                std::string want;
                for (int i = 0; i < report.count; ++i) {
                    want += expected(json, from, i + 1, report.records[i], t.text);
                }
                EXPECT_EQ(capture.text_, want) << json << " " << from << " " << t.text;
                EXPECT_EQ(out.written(), MAX_RECORDS);
            }
        }
    }
}

TEST(DecoderRecord, EveryByteButTheFieldsIsChecked) {
    const uint8_t ap[MAC_SIZE] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
    const uint8_t mu[MAC_SIZE] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    StationRecord good;
    encodeRecord(good, ap, mu, 258, -60, 6, 1);
    // The bytes a record may hold anything in, the AP MAC's copies aside.
    auto field = [](int at) {
        return at == RECORD_CHANNEL || at == RECORD_ASSOC || at == RECORD_RSSI ||
               (at >= RECORD_TIMESTAMP && at < RECORD_TIMESTAMP + 4) ||
               (at >= RECORD_MU_MAC && at < RECORD_MU_MAC + MAC_SIZE);
    };
    for (int at = 0; at < RECORD_SIZE; ++at) {
        for (int flip : {0x01, 0x80, 0xFF}) {
            StationRecord bad = good;
            bad.bytes[at] = static_cast<uint8_t>(bad.bytes[at] ^ flip);
            DecodedRecord out;
            const char *why = nullptr;
            EXPECT_EQ(decodeRecord(bad.bytes, out, why), field(at) ? 0 : -1)
                << "byte " << at << " ^ " << flip;
            EXPECT_EQ(why == nullptr, field(at)) << "byte " << at;
        }
    }
}

// Hands the lines over as station-decode's output does, gathered, and notes when.
class Noting : public Consumer {
  public:
    ssize_t write(const char *text, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.emplace_back(std::string(text, length), Clock::now());
        return static_cast<ssize_t>(length);
    }
    bool gathers() const override { return true; }
    bool turn(long) override { return !done_; }
    void listening() override { listening_ = true; }

    std::vector<std::pair<std::string, Clock::time_point>> writes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    std::atomic<bool> done_{false};
    std::atomic<bool> listening_{false};

  private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, Clock::time_point>> writes_;
};

TEST(DecoderListen, HeldLinesGoOutTogetherAndSoon) {
    // A free port, taken again by the loop.
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    socklen_t length = sizeof at;
    getsockname(sender, reinterpret_cast<sockaddr *>(&at), &length);
    close(sender);
    Options options;
    options.listen = true;
    memcpy(&options.at.address, &at, sizeof at);
    options.at.length = sizeof at;
    Noting noting;
    std::atomic<bool> ended{false};
    std::thread loop([&] {
        listenLoop(options, noting);
        ended = true;
    });
    while (!noting.listening_ && !ended) {
        std::this_thread::yield();
    }
    ASSERT_FALSE(ended);
    uint8_t datagram[MAX_REPORT_SIZE];
    StationRecord record;
    const uint8_t mac[MAC_SIZE] = {};
    encodeRecord(record, mac, mac, 0, 0, 0, 0);
    const auto size = static_cast<size_t>(assembleReport(&record, 1, datagram));
    const int to = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<Clock::time_point> sent;
    const auto send = [&] {
        sent.push_back(Clock::now());
        sendto(to, datagram, size, 0, reinterpret_cast<sockaddr *>(&at), sizeof at);
    };
    // The header's line and one per datagram sent.
    const auto waitForLines = [&] {
        size_t lines = 0;
        for (auto until = Clock::now() + std::chrono::seconds(5);
             lines < sent.size() + 1 && Clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lines = 0;
            for (const auto &w : noting.writes()) {
                lines += static_cast<size_t>(std::count(w.first.begin(), w.first.end(), '\n'));
            }
        }
        return lines;
    };
    // One datagram alone, then one a millisecond for 200 ms: far longer than a line is held.
    send();
    ASSERT_EQ(waitForLines(), 2U);
    constexpr size_t STREAM = 200;
    for (size_t i = 0; i < STREAM; ++i) {
        send();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t lines = waitForLines();
    const auto writes = noting.writes();
    noting.done_ = true;
    send(); // a wake-up
    loop.join();
    close(to);
    ASSERT_EQ(lines, STREAM + 2);
    EXPECT_LT(writes.size(), STREAM / 2) << "the lines of several receives go out together";
    // Each line soon after its datagram was sent, the last while nothing more came.
    size_t line = 0;
    for (size_t i = 1; i < writes.size(); ++i) {
        for (char c : writes[i].first) {
            if (c == '\n') {
                const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(
                    writes[i].second - sent[line++]);
                EXPECT_LT(late.count(), 100) << "line " << line;
            }
        }
    }
}

} // namespace
