// Socket addresses as station-decode reads them on its command line and prints them, and the
// identity of a sender: its address without the port, since each reporter run sends from a
// fresh one.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>

struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    bool everyAddress = false; // no address given: IPv6 and IPv4, or IPv4 alone without IPv6
};

// A sender's address: IPv4 (an IPv4 sender seen on a dual-stack socket included) in the first
// 4 bytes, or IPv6 with its scope. Compared and hashed as plain bytes.
struct Source {
    uint8_t bytes[16];
    uint32_t scope;
    uint32_t family; // AF_INET or AF_INET6
};

// --allow's networks: an address and how many leading bits of it must match.
struct Network {
    Source base;
    int prefix;
};

// [ADDRESS:]PORT with ADDRESS an IPv4 literal or a bracketed IPv6 one; no address means every
// IPv6 and IPv4 address. Returns -1 when the text is none of these.
int parseListenAddress(const std::string &text, ListenAddress &out);

// ADDRESS[/PREFIX], IPv4 or IPv6 without brackets; a mapped IPv4 network becomes an IPv4 one.
// Returns -1 when the text is not a network.
int parseNetwork(const std::string &text, Network &out);

Source sourceOf(const sockaddr_storage &address);
bool contains(const Network &network, const Source &source);

// "127.0.0.1", "::1", "fe80::1%eth0"; "(other senders)" for the family 0.
std::string sourceText(const Source &source);

// "127.0.0.1:40000", "[::1]:40000", "[fe80::1%eth0]:40000".
std::string addressText(const sockaddr_storage &address);

// Room for the longest addressText: a bracketed IPv6 address with an interface, and a port.
constexpr std::size_t ADDRESS_TEXT_SIZE = 72;
// addressText of address at out, host being the sourceText of its source (a receiver keeps
// that of each sender it knows). Returns the end.
char *putAddressText(char (&out)[ADDRESS_TEXT_SIZE], const sockaddr_storage &address,
                     std::string_view host);
