#include "address.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "options.h"

std::string addressText(const sockaddr_storage &address) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
    port = ntohs(v6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        inet_ntop(AF_INET, v6.sin6_addr.s6_addr + 12, host, sizeof host);
        return std::string(host) + ":" + std::to_string(port);
    }
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

int parseListenAddress(const std::string &text, ListenAddress &out) {
    std::string host;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos) {
            return -1;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos) {
        host = text.substr(0, text.rfind(':'));
        port = text.substr(text.rfind(':') + 1);
    }
    long number = parseNumber(port.c_str(), 65535);
    if (number < 0) {
        return -1;
    }
    out = ListenAddress{};
    if (!host.empty() && text[0] != '[') {
        auto &v4 = reinterpret_cast<sockaddr_in &>(out.address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(number));
        out.length = sizeof v4;
        return inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1 ? 0 : -1;
    }
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(out.address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(number));
    out.length = sizeof v6;
    if (host.empty()) {
        v6.sin6_addr = in6addr_any;
        out.everyAddress = true;
        return text[0] == '[' ? -1 : 0;
    }
    return inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1 ? 0 : -1;
}
