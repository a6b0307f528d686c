// Random argument vectors (NUL-separated): the command line is accepted exactly when it
// names a usable destination, and then the settings say what the arguments say.
#include <algorithm>
#include <arpa/inet.h>
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

bool usableHost(const std::string &text) {
    in_addr address;
    return text.find_first_of(" \t\n\v\f\r") == std::string::npos &&
           inet_aton(text.c_str(), &address) != 0;
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
    bool usable = argc >= 3 && portOf(args[2]) > 0 && usableHost(args[1]);
    if ((result == 0) != usable) {
        abort();
    }
    if (result == 0 && (settings.host != argv[1] || settings.port != portOf(args[2]) ||
                        settings.mirror != (argc >= 5) || settings.levelGiven != (argc >= 4))) {
        abort();
    }
    return 0;
}
