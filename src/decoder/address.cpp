#include "address.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <net/if.h>

#include "number.h"

namespace {

// The interface a link-local address belongs to, by name, or by number when it has none or
// one that CSV or JSON would have to quote (Linux allows quotes and commas in names).
std::string scopeText(uint32_t scope) {
    char name[IF_NAMESIZE];
    if (if_indextoname(scope, name) != nullptr &&
        strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@") ==
            strlen(name)) {
        return name;
    }
    return std::to_string(scope);
}

} // namespace

Source sourceOf(const sockaddr_storage &address) {
    Source source{};
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        memcpy(source.bytes, &v4.sin_addr, 4);
        source.family = AF_INET;
        return source;
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        memcpy(source.bytes, v6.sin6_addr.s6_addr + 12, 4);
        source.family = AF_INET;
        return source;
    }
    memcpy(source.bytes, &v6.sin6_addr, 16);
    source.scope = v6.sin6_scope_id;
    source.family = AF_INET6;
    return source;
}

std::string sourceText(const Source &source) {
    if (source.family == 0) {
        return "(other senders)";
    }
    char host[INET6_ADDRSTRLEN] = "?";
    inet_ntop(static_cast<int>(source.family), source.bytes, host, sizeof host);
    if (source.scope != 0) {
        return std::string(host) + "%" + scopeText(source.scope);
    }
    return host;
}

std::string addressText(const sockaddr_storage &address) {
    char text[ADDRESS_TEXT_SIZE];
    const char *end = putAddressText(text, address, sourceText(sourceOf(address)));
    return std::string(text, static_cast<size_t>(end - text));
}

char *putAddressText(char (&out)[ADDRESS_TEXT_SIZE], const sockaddr_storage &address,
                     std::string_view host) {
    // An IPv6 address, the only kind with colons, is bracketed: its own colons are not the
    // port's. Room is left for the brackets, the colon and five digits.
    const bool bracketed = host.find(':') != std::string_view::npos;
    host = host.substr(0, ADDRESS_TEXT_SIZE - 8);
    char *p = out;
    if (bracketed) {
        *p++ = '[';
    }
    p += host.copy(p, host.size());
    if (bracketed) {
        *p++ = ']';
    }
    *p++ = ':';
    // Both families keep the port at the same place.
    return putDecimal(p, ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port));
}

bool contains(const Network &network, const Source &source) {
    if (network.base.family != source.family) {
        return false;
    }
    int whole = network.prefix / 8;
    int rest = network.prefix % 8;
    if (memcmp(network.base.bytes, source.bytes, static_cast<size_t>(whole)) != 0) {
        return false;
    }
    auto mask = static_cast<uint8_t>(0xFF00 >> rest);
    return rest == 0 || ((network.base.bytes[whole] ^ source.bytes[whole]) & mask) == 0;
}

int parseNetwork(const std::string &text, Network &out) {
    size_t slash = text.find('/');
    std::string host = text.substr(0, slash);
    out = Network{};
    int bits = 32;
    if (inet_pton(AF_INET, host.c_str(), out.base.bytes) == 1) {
        out.base.family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), out.base.bytes) == 1) {
        out.base.family = AF_INET6;
        bits = 128;
    } else {
        return -1;
    }
    long prefix = slash == std::string::npos ? bits : parseNumber(text.c_str() + slash + 1, bits);
    if (prefix < 0) {
        return -1;
    }
    out.prefix = static_cast<int>(prefix);
    const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (bits == 128 && out.prefix >= 96 && memcmp(out.base.bytes, mapped, 12) == 0) {
        memmove(out.base.bytes, out.base.bytes + 12, 4);
        memset(out.base.bytes + 4, 0, 12);
        out.base.family = AF_INET;
        out.prefix -= 96;
    }
    return 0;
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
