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

// Takes the lines as they are handed over, and notes when each came.
class Noting : public Consumer {
  public:
    ssize_t write(const char *text, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(text, length);
        lines_.insert(lines_.end(), static_cast<size_t>(std::count(text, text + length, '\n')),
                      Clock::now());
        ++writes_;
        return static_cast<ssize_t>(length);
    }
    bool gathers() const override { return true; }
    bool turn(long) override { return !done_; }
    void listening() override { listening_ = true; }

    std::mutex mutex_;
    std::string text_;
    std::vector<Clock::time_point> lines_;
    size_t writes_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<bool> listening_{false};
};

TEST(DecoderOutput, EveryValueAsPrintfWritesIt) {
    const int32_t timestamps[] = {0, 9, 10, 99, 100, 12345, 1733650001, INT_MAX, -1, INT_MIN};
    const int32_t rssis[] = {-128, -60, -10, -1, 0, 9, 99, 127};
    const int32_t bytes[] = {0, 1, 9, 10, 99, 100, 199, 255};
    DecodedReport report{MAX_RECORDS, {}};
    for (size_t i = 0; i < MAX_RECORDS; ++i) {
        // Runs of the same AP and timestamp, and a change back to an earlier AP.
        DecodedRecord &r = report.records[i];
        r = {{i < 5 || i > 8 ? uint8_t{0xA0} : uint8_t{0x0F}, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5},
             {0x00, 0xFF, static_cast<uint8_t>(i * 15), 0x5A, 0x09, 0x90},
             timestamps[i / 2 % std::size(timestamps)],
             rssis[i % std::size(rssis)],
             bytes[i % std::size(bytes)],
             bytes[(i + 3) % std::size(bytes)]};
    }
    const std::pair<timespec, const char *> times[] = {{{0, 0}, "0.000"},
                                                       {{5, 7999999}, "5.007"},
                                                       {{1796714142, 123000000}, "1796714142.123"},
                                                       {{1, 999999999}, "1.999"}};
    for (bool json : {false, true}) {
        for (const auto &[when, received] : times) {
            for (const char *from : {"-", "[fe80::1234:5678:9abc:def0%4000000000]:65535"}) {
                Noting noting;
                Output out(json, false, noting);
                out.appendReport(report, from, receivedText(when));
                ASSERT_TRUE(out.flush(nullptr));
                std::string want;
                for (int n = 1; n <= MAX_RECORDS; ++n) {
                    const DecodedRecord &r = report.records[n - 1];
                    char line[400];
                    snprintf(line, sizeof line,
                             json
                                 ? R"({"from":"%s","record":%d,"apmac":"%02X%02X%02X%02X%02X%02X",)"
                                   R"("mumac":"%02X%02X%02X%02X%02X%02X","timestamp":%d,)"
                                   R"("rssi":%d,"channel":%d,"assoc":%d,"received":%s})"
                                   "\n"
                                 : "%s,%d,%02X%02X%02X%02X%02X%02X,%02X%02X%02X%02X%02X%02X,"
                                   "%d,%d,%d,%d,%s\n",
                             from, n, r.apmac[0], r.apmac[1], r.apmac[2], r.apmac[3], r.apmac[4],
                             r.apmac[5], r.mumac[0], r.mumac[1], r.mumac[2], r.mumac[3], r.mumac[4],
                             r.mumac[5], r.timestamp, r.rssi, r.channel, r.assoc, received);
                    want += line;
                }
                EXPECT_EQ(noting.text_, want) << json << " " << from << " " << received;
            }
        }
    }
}

TEST(DecoderRecord, EveryByteButTheFieldsIsChecked) {
    const uint8_t ap[MAC_SIZE] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
    StationRecord good;
    encodeRecord(good, ap, ap, 258, -60, 6, 1);
    for (int at = 0; at < RECORD_SIZE; ++at) {
        // The bytes a record may hold anything in, the AP MAC's copies aside.
        const bool field = at == RECORD_CHANNEL || at == RECORD_ASSOC || at == RECORD_RSSI ||
                           (at >= RECORD_TIMESTAMP && at < RECORD_TIMESTAMP + 4) ||
                           (at >= RECORD_MU_MAC && at < RECORD_MU_MAC + MAC_SIZE);
        for (int flip : {0x01, 0x80, 0xFF}) {
            StationRecord bad = good;
            bad.bytes[at] = static_cast<uint8_t>(bad.bytes[at] ^ flip);
            DecodedRecord out;
            const char *why = nullptr;
            EXPECT_EQ(decodeRecord(bad.bytes, out, why), field ? 0 : -1) << at << " ^ " << flip;
            EXPECT_EQ(why == nullptr, field) << "byte " << at;
        }
    }
}

TEST(DecoderListen, HeldLinesGoOutTogetherAndSoon) {
    // A free port, which the loop takes again.
    const int to = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(to, reinterpret_cast<sockaddr *>(&at), length), 0);
    getsockname(to, reinterpret_cast<sockaddr *>(&at), &length);
    close(to);
    Options options;
    memcpy(&options.at.address, &at, length);
    options.at.length = length;
    Noting noting;
    std::thread loop([&] { listenLoop(options, noting); });
    while (!noting.listening_) {
        std::this_thread::yield();
    }
    const uint8_t mac[MAC_SIZE] = {};
    StationRecord record;
    encodeRecord(record, mac, mac, 0, 0, 0, 0);
    uint8_t datagram[MAX_REPORT_SIZE];
    const auto size = static_cast<size_t>(assembleReport(&record, 1, datagram));
    std::vector<Clock::time_point> sent;
    const int from = socket(AF_INET, SOCK_DGRAM, 0);
    // One datagram alone, then one a millisecond for 200 ms, far longer than a line is held;
    // then nothing. Each line comes soon after its datagram, the header's line first.
    for (size_t i = 0; i <= 200; ++i) {
        sent.push_back(Clock::now());
        sendto(from, datagram, size, 0, reinterpret_cast<sockaddr *>(&at), sizeof at);
        std::this_thread::sleep_for(std::chrono::milliseconds(i == 0 ? 200 : 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    noting.done_ = true;
    sendto(from, datagram, size, 0, reinterpret_cast<sockaddr *>(&at), sizeof at); // wakes it
    loop.join();
    close(from);
    ASSERT_GE(noting.lines_.size(), sent.size() + 1);
    EXPECT_LT(noting.writes_, sent.size() / 2) << "the lines of several receives go out together";
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_LT(noting.lines_[i + 1] - sent[i], std::chrono::milliseconds(100)) << "line " << i;
    }
}

} // namespace
