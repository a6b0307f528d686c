// Benchmark, not a test: station-presence's parts one at a time on a file of station-decode's
// lines, held in memory, the fastest of five passes each, CPU time per line. What each part
// costs alone bounds what the whole program can cost: the line reader; the tracker fed the
// lines read beforehand; finding the lines in 64 KiB blocks as the program reads its input;
// and, for JSON, simdjson's On Demand reader visiting each value of a line and checking
// nothing.
//
// usage: presence-parts FILE [csv | json]
#include "presence_input.h"
#include "presence_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <simdjson.h>
#include <string>
#include <vector>

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Prints the fastest of five passes of pass(), per line.
void report(const char *part, std::size_t lines, const std::function<void()> &pass) {
    double best = 1e9;
    for (int n = 0; n < 5; ++n) {
        const double start = cpuSeconds();
        pass();
        best = std::min(best, cpuSeconds() - start);
    }
    std::printf("  %-34s %6.1f ns CPU/line\n", part, best * 1e9 / static_cast<double>(lines));
}

// Each value of the line visited as the program's reader would reach it; false if it is not
// an object of plain values. sum keeps the values from being optimised away.
bool visit(simdjson::ondemand::parser &parser, const char *padded, std::size_t length,
           std::size_t capacity, uint64_t &sum) {
    using simdjson::ondemand::json_type;
    simdjson::ondemand::document doc;
    simdjson::ondemand::object object;
    if (parser.iterate(padded, length, capacity).get(doc) || doc.get_object().get(object)) {
        return false;
    }
    for (auto entry : object) {
        simdjson::ondemand::field field;
        json_type type{};
        if (std::move(entry).get(field) || field.value().type().get(type)) {
            return false;
        }
        if (type == json_type::string) {
            simdjson::ondemand::raw_json_string raw;
            if (field.value().get_raw_json_string().get(raw)) {
                return false;
            }
            sum += static_cast<unsigned char>(*raw.raw());
        } else {
            double number = 0;
            if (field.value().get_double().get(number)) {
                return false;
            }
            sum += static_cast<uint64_t>(number);
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: presence-parts FILE [csv | json]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = std::min(all.find('\n', at), all.size());
        lines.emplace_back(all.data() + at, end - at);
        at = end + 1;
    }
    if (lines.empty()) {
        std::fprintf(stderr, "presence-parts: no lines in %s\n", argv[1]);
        return 1;
    }
    std::printf("presence's parts alone (%zu lines of %s, one process)\n", lines.size(), argv[1]);

    std::size_t found = 0;
    report("finding the lines, 64 KiB at a time", lines.size(), [&] {
        constexpr std::size_t kBlock = 65536;
        static char block[kBlock];
        found = 0;
        for (std::size_t at = 0; at < all.size(); at += kBlock) {
            const std::size_t size = std::min(kBlock, all.size() - at);
            std::memcpy(block, all.data() + at, size);
            for (const char *p = block; (p = static_cast<const char *>(std::memchr(
                                             p, '\n', static_cast<std::size_t>(block + size - p))));
                 ++p) {
                ++found;
            }
        }
    });

    std::vector<presence::Sighting> read(lines.size());
    std::size_t sightings = 0;
    report("the reader", lines.size(), [&] {
        std::string why;
        sightings = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            sightings += presence::parseLine(lines[i], read[i], why) == presence::Parsed::Sighting;
        }
    });
    if (sightings != lines.size()) {
        std::fprintf(stderr, "presence-parts: %zu of %zu lines refused\n", lines.size() - sightings,
                     lines.size());
        return 1;
    }

    std::size_t events = 0;
    report("the tracker, the lines read before", lines.size(), [&] {
        presence::Tracker tracker{presence::Settings()};
        std::vector<presence::Event> out;
        events = 0;
        for (const presence::Sighting &s : read) {
            tracker.observe(s, out);
            events += out.size();
            out.clear();
        }
    });

    if (argc > 2 && std::strcmp(argv[2], "json") == 0) {
        uint64_t sum = 0;
        std::size_t refused = 0;
        report("simdjson On Demand, each value", lines.size(), [&] {
            static char padded[presence::kMaxLine + simdjson::SIMDJSON_PADDING];
            simdjson::ondemand::parser parser;
            refused = 0;
            for (std::string_view line : lines) {
                const std::size_t length = std::min(line.size(), presence::kMaxLine);
                std::memcpy(padded, line.data(), length);
                refused += !visit(parser, padded, length, sizeof padded, sum);
            }
        });
        if (refused != 0) {
            std::fprintf(stderr, "presence-parts: simdjson refused %zu lines\n", refused);
            return 1;
        }
        std::printf("  (%zu newlines, %zu events, checksum %llu)\n", found, events,
                    static_cast<unsigned long long>(sum));
    } else {
        std::printf("  (%zu newlines, %zu events)\n", found, events);
    }
    return 0;
}
