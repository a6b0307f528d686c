#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <net/if.h>
#include <string>
#include <vector>

#include "address.h"
#include "mac_text.h"
#include "tally.h"

namespace {

sockaddr_storage v6(const char *host, uint32_t scope, uint16_t port = 40000) {
    sockaddr_storage address{};
    auto &a = reinterpret_cast<sockaddr_in6 &>(address);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_scope_id = scope;
    EXPECT_EQ(inet_pton(AF_INET6, host, &a.sin6_addr), 1) << host;
    return address;
}

TEST(DecoderAddress, SendersAsPrintedAndTheirIdentity) {
    const uint32_t lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0U);
    const struct {
        sockaddr_storage address;
        const char *text;
        const char *source;
    } cases[] = {
        {v6("::1", 0), "[::1]:40000", "::1"},
        {v6("::ffff:127.0.0.1", 0), "127.0.0.1:40000", "127.0.0.1"},
        // Two interfaces, two senders: the scope stays with a link-local address.
        {v6("fe80::1", lo), "[fe80::1%lo]:40000", "fe80::1%lo"},
        {v6("fe80::1", 4000000), "[fe80::1%4000000]:40000", "fe80::1%4000000"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(addressText(c.address), c.text);
        EXPECT_EQ(sourceText(sourceOf(c.address)), c.source);
    }
    Source a = sourceOf(v6("fe80::1", lo, 1));
    Source b = sourceOf(v6("fe80::1", lo, 2));
    Source c = sourceOf(v6("fe80::1", 4000000, 1));
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0) << "the port is not part of a sender";
    EXPECT_NE(memcmp(&a, &c, sizeof a), 0) << "the scope is";
}

TEST(DecoderAddress, AllowedNetworks) {
    const struct {
        const char *network;
        const char *sender;
        bool inside;
    } cases[] = {
        {"127.0.0.3", "::ffff:127.0.0.3", true},
        {"127.0.0.3", "::ffff:127.0.0.4", false},
        {"10.0.0.0/8", "::ffff:10.255.1.2", true},
        {"10.0.0.0/8", "::ffff:11.0.0.1", false},
        {"10.1.2.3/8", "::ffff:10.9.9.9", true},
        {"0.0.0.0/0", "::ffff:192.0.2.1", true},
        {"0.0.0.0/0", "2001:db8::1", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"2001:db8::/31", "2001:db9::1", true},
        {"::ffff:10.0.0.0/104", "::ffff:10.1.1.1", true},
        {"::1", "::1", true},
        {"fe80::/10", "febf::1", true},
        {"fe80::/10", "fec0::1", false},
    };
    for (const auto &c : cases) {
        Network network;
        ASSERT_EQ(parseNetwork(c.network, network), 0) << c.network;
        EXPECT_EQ(contains(network, sourceOf(v6(c.sender, 0))), c.inside)
            << c.network << " " << c.sender;
    }
    for (const char *bad : {"", "10.0.0.0/", "10.0.0.0/33", "::/129", "10.0.0/8", "[::1]",
                            "10.0.0.0/8x", "host.example/8", "10.0.0.0/-1"}) {
        Network network;
        EXPECT_EQ(parseNetwork(bad, network), -1) << bad;
    }
}

} // namespace

namespace {

TEST(DecoderTally, SendersBeyondTheTablesRoomShareOneEntry) {
    Tally tally;
    std::vector<SourceEntry *> entries;
    for (uint32_t i = 0; i < 70000; ++i) {
        Source source{};
        source.family = AF_INET;
        memcpy(source.bytes, &i, sizeof i);
        entries.push_back(tally.of(source));
    }
    EXPECT_EQ(entries[0], tally.of(entries[0]->first)) << "a sender keeps its entry";
    EXPECT_NE(entries[65535], entries[65536]) << "65,536 senders have their own";
    EXPECT_EQ(entries[65536], entries[69999]);
    EXPECT_EQ(sourceText(entries[69999]->first), "(other senders)");
}

} // namespace

// Every byte at every place of an address: a hex digit of either case reads as its value,
// anything else refuses the address; and the text written back is what was read.
TEST(DecoderMacText, EveryByteAtEveryPlace) {
    const std::string base = "0a1B2c3D4e5F";
    for (std::size_t place = 0; place < base.size(); ++place) {
        for (int byte = 0; byte < 256; ++byte) {
            std::string text = base;
            text[place] = static_cast<char>(byte);
            const char *hex = "0123456789abcdef";
            const char *found = byte == 0 ? nullptr : std::strchr(hex, std::tolower(byte));
            int64_t expected = 0x0A1B2C3D4E5F;
            if (found == nullptr) {
                expected = -1;
            } else {
                const int shift = static_cast<int>(4 * (11 - place));
                expected = (expected & ~(int64_t{0xF} << shift)) | (found - hex) << shift;
            }
            EXPECT_EQ(parseMac(text), expected) << place << " " << byte;
        }
    }
    EXPECT_EQ(parseMac("0A1B2C3D4E5"), -1);
    EXPECT_EQ(parseMac("0A1B2C3D4E5F0"), -1);
    EXPECT_EQ(macText(static_cast<uint64_t>(parseMac("fFfFfFfFfFfF"))), "FFFFFFFFFFFF");
    EXPECT_EQ(macText(static_cast<uint64_t>(parseMac(base))), "0A1B2C3D4E5F");
}
