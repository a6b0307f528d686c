// Random argument vectors (NUL-separated): the command line is accepted exactly when it
// names a usable destination, and then the settings say what the arguments say.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

// Decimal digits only (leading zeros allowed), 1 to 65535, or -1.
long portOf(const std::string &text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    std::string significant = text.substr(std::min(text.find_first_not_of('0'), text.size()));
    if (significant.size() > 5) {
        return -1;
    }
    long value = significant.empty() ? 0 : std::stol(significant);
    return value >= 1 && value <= 65535 ? value : -1;
}

// The value of one part of a dotted address in inet_aton's forms, or -1; saturates long
// before overflowing.
long long partValue(const std::string &part) {
    int base = 10;
    std::string digits = part;
    if (part.size() > 1 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        digits = part.substr(2);
    } else if (!part.empty() && part[0] == '0') {
        base = 8;
    }
    const std::string allowed = base == 16  ? "0123456789abcdefABCDEF"
                                : base == 8 ? "01234567"
                                            : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        return -1;
    }
    long long value = 0;
    const std::string values = "0123456789abcdef";
    for (char c : digits) {
        long long digit = static_cast<long long>(values.find(static_cast<char>(std::tolower(c))));
        value = std::min(value * base + digit, 1LL << 40);
    }
    return value;
}

// One to four parts; all but the last a byte, the last what the remaining bytes hold.
bool usableHost(const std::string &text) {
    std::vector<std::string> parts{""};
    for (char c : text) {
        if (c == '.') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    if (parts.size() > 4) {
        return false;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        long long value = partValue(parts[i]);
        long long limit = i + 1 < parts.size() ? 255 : (1LL << (8 * (5 - parts.size()))) - 1;
        if (value < 0 || value > limit) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args{"station-reporter"};
    args.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<const char *> argv;
    for (const std::string &a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());

    Settings settings;
    int result = parseCommandLine(argc, argv.data(), settings);
    if (argc >= 2 && (args[1] == "--version" || args[1] == "--help")) {
        Request asked = args[1] == "--version" ? Request::Version : Request::Help;
        if (result != 0 || settings.request != asked) {
            abort();
        }
        return 0;
    }
    bool usable = argc >= 3 && portOf(args[2]) > 0 && usableHost(args[1]);
    if ((result == 0) != usable) {
        abort();
    }
    if (result == 0 && (settings.request != Request::Run || settings.host != argv[1] ||
                        settings.port != portOf(args[2]) || settings.mirror != (argc >= 5) ||
                        settings.levelGiven != (argc >= 4))) {
        abort();
    }
    return 0;
}
