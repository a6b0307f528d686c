// Socket addresses as station-decode reads them on its command line and prints them.
#pragma once

#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    bool everyAddress = false; // no address given: IPv6 and IPv4, or IPv4 alone without IPv6
};

// [ADDRESS:]PORT with ADDRESS an IPv4 literal or a bracketed IPv6 one; no address means every
// IPv6 and IPv4 address. Returns -1 when the text is none of these.
int parseListenAddress(const std::string &text, ListenAddress &out);

// "127.0.0.1:40000", "[::1]:40000"; an IPv4 sender seen on a dual-stack socket as IPv4.
std::string addressText(const sockaddr_storage &address);
