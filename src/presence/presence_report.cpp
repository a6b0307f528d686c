#include "presence_report.h"

#include "presence_sql.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <numeric>
#include <sqlite3.h>
#include <sstream>
#include <vector>

namespace presence {

namespace {

constexpr int kBuckets = 120;
// One row per access point: its name at the left, its clients over time, its peak at the
// right. The left margin holds a whole MAC address and its sender address.
constexpr double kLeft = 150, kWidth = 700, kRight = 70;
constexpr double kRowHeight = 34, kChart = 26; // a row, and its chart within it
constexpr double kAxis = 22;                   // the time axis above and below the rows
// Blue for clients, vermilion for silences: told apart with every common colour vision.
constexpr const char *kStyle =
    "body{font:14px sans-serif;margin:1.5em;color:#222;max-width:980px}"
    "svg{display:block;margin:0.5em 0}.tick{font-size:11px;fill:#555}"
    ".grid{stroke:#ddd;stroke-width:1}.heard{fill:#f2f2f2}"
    ".silent{fill:#d55e00;fill-opacity:0.45}.area{fill:#0072b2;fill-opacity:0.25}"
    ".ap-line{fill:none;stroke:#0072b2;stroke-width:1.5}"
    ".ap-name{font:12px monospace;fill:#222}.ap-address{font-size:10px;fill:#666}"
    ".peak{font-size:11px;fill:#555}"
    ".key{display:inline-block;width:14px;height:10px;margin:0 6px 0 14px;vertical-align:middle}"
    "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left}"
    "th{border-bottom:1px solid #999}";

struct Span {
    double since;
    double until;
};

struct ApRow {
    std::string apmac;
    std::string address;
    bool silent = false;
    double firstHeard = 0;
    double lastHeard = 0;
    int clients = 0;
    std::vector<Span> stays;
    std::vector<Span> silences;
    std::vector<int> present; // clients there in each bucket
    int peak = 0;
};

std::string escape(const std::string &text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += ch;
        }
    }
    return out;
}

enum class Stamp { Full, Minute, Day };

std::string utc(double t, Stamp stamp) {
    std::time_t seconds = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char stamped[32];
    if (stamp == Stamp::Full) {
        std::strftime(stamped, sizeof stamped, "%Y-%m-%d %H:%M:%S", &tm);
    } else if (stamp == Stamp::Minute) {
        std::strftime(stamped, sizeof stamped, "%H:%M", &tm);
    } else {
        std::strftime(stamped, sizeof stamped, "%m-%d %H:%M", &tm);
    }
    return stamped;
}

struct Data {
    double from = 0;
    double to = 0;
    std::vector<ApRow> aps;
};

int load(sqlite3 *db, double since, Data &d, std::string &why) {
    std::map<std::string, std::size_t> index;
    int rc = forEachRow(
        db,
        "SELECT apmac, address, silent, first_heard, last_heard, clients FROM ap_clients "
        "ORDER BY apmac",
        0,
        [&](const Row &row) {
            ApRow ap;
            ap.apmac = row.text("apmac");
            ap.address = row.text("address");
            ap.silent = row.flag("silent");
            ap.firstHeard = row.real("first_heard");
            ap.lastHeard = row.real("last_heard");
            ap.clients = static_cast<int>(row.integer("clients"));
            index[ap.apmac] = d.aps.size();
            d.aps.push_back(ap);
        },
        why);
    if (rc != 0) {
        return -1;
    }
    double first = 0;
    rc = forEachRow(
        db,
        "SELECT (SELECT MIN(first_heard) FROM aps) AS first, MAX((SELECT MAX(last_heard) FROM "
        "aps), COALESCE((SELECT MAX(last_seen) FROM visits), 0)) AS last",
        0,
        [&](const Row &row) {
            first = row.real("first");
            d.to = row.real("last");
        },
        why);
    if (rc != 0) {
        return -1;
    }
    d.from = std::max(first, since);
    if (d.to <= d.from) {
        d.to = d.from + 60;
    }
    auto add = [&](std::vector<Span> ApRow::*list) {
        return [&d, &index, list](const Row &row) {
            auto it = index.find(row.text("apmac"));
            if (it != index.end()) {
                (d.aps[it->second].*list)
                    .push_back(
                        Span{row.real("since"), row.null("until") ? d.to : row.real("until")});
            }
        };
    };
    // An open visit's current stay lasts until now; a closed visit's until it was last seen.
    if (forEachRow(db,
                   "SELECT s.apmac, s.since, CASE WHEN s.until IS NOT NULL THEN s.until "
                   "WHEN v.departed IS NULL THEN NULL ELSE v.departed END AS until "
                   "FROM stays s JOIN visits v ON v.id = s.visit "
                   "WHERE COALESCE(s.until, v.departed, 9e18) >= ?1",
                   d.from, add(&ApRow::stays), why) != 0 ||
        forEachRow(db, "SELECT apmac, since, until FROM silences WHERE COALESCE(until, 9e18) >= ?1",
                   d.from, add(&ApRow::silences), why) != 0) {
        return -1;
    }
    return 0;
}

// Clients at each access point in each bucket: a stay counts in every bucket it touches.
void count(Data &d) {
    double step = (d.to - d.from) / kBuckets;
    auto bucket = [&](double t) {
        return std::clamp(static_cast<int>((t - d.from) / step), 0, kBuckets - 1);
    };
    for (ApRow &ap : d.aps) {
        std::vector<int> delta(kBuckets + 1, 0);
        for (const Span &s : ap.stays) {
            if (s.until < d.from) {
                continue;
            }
            delta[static_cast<std::size_t>(bucket(s.since))]++;
            delta[static_cast<std::size_t>(bucket(s.until)) + 1]--;
        }
        int running = 0;
        for (int i = 0; i < kBuckets; ++i) {
            running += delta[static_cast<std::size_t>(i)];
            ap.present.push_back(running);
            ap.peak = std::max(ap.peak, running);
        }
    }
}

double xOf(const Data &d, double t) {
    return kLeft + (std::clamp(t, d.from, d.to) - d.from) / (d.to - d.from) * kWidth;
}

// Tick times on whole minutes, hours or days, four to eight of them across the range.
std::vector<double> ticks(const Data &d) {
    static const double kSteps[] = {60,    120,   300,   600,   900,    1800,   3600,    7200,
                                    10800, 21600, 43200, 86400, 172800, 604800, 1209600, 2592000};
    double step = kSteps[0];
    for (double candidate : kSteps) {
        step = candidate;
        if ((d.to - d.from) / step <= 8) {
            break;
        }
    }
    std::vector<double> out;
    const double first = std::ceil(d.from / step) * step;
    for (int i = 0; first + step * i <= d.to; ++i) {
        out.push_back(first + step * i);
    }
    return out;
}

Stamp tickStamp(const Data &d) {
    return d.to - d.from > 86400 ? Stamp::Day : Stamp::Minute;
}

void timeAxis(std::ostringstream &svg, const Data &d, double y, bool above) {
    for (double t : ticks(d)) {
        svg << "<text class=\"tick\" x=\"" << xOf(d, t) << "\" y=\"" << (above ? y - 6 : y + 14)
            << "\" text-anchor=\"middle\">" << utc(t, tickStamp(d)) << "</text>";
    }
}

// An access point's row: its clients as a step chart scaled to its own peak, over a band
// while it was heard, with its silences marked across the row.
void apRow(std::ostringstream &svg, const Data &d, const ApRow &ap, double top) {
    const double base = top + kChart + 2;
    const int scale = std::max(ap.peak, 1);
    svg << "<g class=\"ap-row\" data-ap=\"" << escape(ap.apmac) << "\" data-peak=\"" << ap.peak
        << "\" data-silences=\"" << ap.silences.size() << "\"><title>" << escape(ap.apmac) << " at "
        << escape(ap.address) << ": at most " << ap.peak
        << (ap.peak == 1 ? " client, " : " clients, ") << ap.silences.size()
        << (ap.silences.size() == 1 ? " silence" : " silences") << "</title>"
        << "<text class=\"ap-name\" x=\"0\" y=\"" << top + 14 << "\">" << escape(ap.apmac)
        << "</text><text class=\"ap-address\" x=\"0\" y=\"" << top + 27 << "\">"
        << escape(ap.address) << "</text>";
    svg << "<rect class=\"heard\" x=\"" << xOf(d, ap.firstHeard) << "\" y=\"" << top + 2
        << "\" width=\"" << xOf(d, d.to) - xOf(d, ap.firstHeard) << "\" height=\"" << kChart
        << "\"/>";
    for (const Span &s : ap.silences) {
        svg << "<rect class=\"silent\" x=\"" << xOf(d, s.since) << "\" y=\"" << top + 2
            << "\" width=\"" << std::max(1.0, xOf(d, s.until) - xOf(d, s.since)) << "\" height=\""
            << kChart << "\"><title>silent " << utc(s.since, Stamp::Full) << " to "
            << utc(s.until, Stamp::Full) << " UTC</title></rect>";
    }
    std::ostringstream points;
    for (int i = 0; i < kBuckets; ++i) {
        double x0 = kLeft + kWidth * i / kBuckets;
        double x1 = kLeft + kWidth * (i + 1) / kBuckets;
        double y = base - kChart * ap.present[static_cast<std::size_t>(i)] / scale;
        points << x0 << ',' << y << ' ' << x1 << ',' << y << ' ';
    }
    svg << "<polygon class=\"area\" points=\"" << kLeft << ',' << base << ' ' << points.str()
        << kLeft + kWidth << ',' << base << "\"/><polyline class=\"ap-line\" data-ap=\""
        << escape(ap.apmac) << "\" data-base=\"" << base << "\" data-scale=\"" << scale
        << "\" points=\"" << points.str() << "\"/><text class=\"peak\" x=\"" << kLeft + kWidth + 8
        << "\" y=\"" << top + 14 << "\">max " << ap.peak << "</text></g>";
}

// Every access point, the busiest first, on one time axis.
std::string chart(const Data &d, const std::vector<const ApRow *> &ranked) {
    const double rows = kRowHeight * static_cast<double>(ranked.size());
    std::ostringstream svg;
    svg << "<svg id=\"presence\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
        << kLeft + kWidth + kRight << "\" height=\"" << rows + 2 * kAxis << "\" role=\"img\">"
        << "<title>Clients present at each access point, and its silences</title>";
    for (double t : ticks(d)) {
        svg << "<line class=\"grid\" x1=\"" << xOf(d, t) << "\" x2=\"" << xOf(d, t) << "\" y1=\""
            << kAxis << "\" y2=\"" << kAxis + rows << "\"/>";
    }
    timeAxis(svg, d, kAxis, true);
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        apRow(svg, d, *ranked[i], kAxis + kRowHeight * static_cast<double>(i));
    }
    timeAxis(svg, d, kAxis + rows, false);
    svg << "</svg>";
    return svg.str();
}

} // namespace

int writeReport(sqlite3 *db, const std::string &dbFile, const std::string &file, double since,
                std::string &why) {
    Data d;
    std::string reason;
    if (load(db, since, d, reason) != 0) {
        why = failure(dbFile, "read", reason);
        return -1;
    }
    count(d);
    std::vector<const ApRow *> ranked(d.aps.size());
    std::transform(d.aps.begin(), d.aps.end(), ranked.begin(), [](const ApRow &ap) { return &ap; });
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const ApRow *a, const ApRow *b) { return a->peak > b->peak; });
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         << "<title>station-presence</title><style>" << kStyle << "</style></head><body>\n"
         << "<h1>Clients present per access point</h1>\n";
    if (d.aps.empty()) {
        page << "<p id=\"empty\">No data yet: no access point has reported to this database.</p>"
             << "\n</body></html>\n";
    } else {
        const int now = std::accumulate(d.aps.begin(), d.aps.end(), 0,
                                        [](int sum, const ApRow &ap) { return sum + ap.clients; });
        page << "<p id=\"range\">" << utc(d.from, Stamp::Full) << " to " << utc(d.to, Stamp::Full)
             << " UTC: " << d.aps.size()
             << (d.aps.size() == 1 ? " access point, " : " access points, ") << now
             << (now == 1 ? " client" : " clients") << " present now</p>\n<p id=\"legend\">"
             << "<span class=\"key\" style=\"background:#0072b2;opacity:.6\"></span>clients "
             << "present (each row up to its own maximum)<span class=\"key\" "
             << "style=\"background:#d55e00;opacity:.6\"></span>access point silent</p>\n"
             << chart(d, ranked)
             << "\n<h2>Access points</h2>\n<table id=\"aps\"><tr><th>ap</th><th>address</th>"
             << "<th>state</th><th>clients</th><th>last heard (UTC)</th><th>silences</th></tr>\n";
        for (const ApRow &ap : d.aps) {
            page << "<tr data-ap=\"" << escape(ap.apmac) << "\"><td>" << escape(ap.apmac)
                 << "</td><td>" << escape(ap.address) << "</td><td>"
                 << (ap.silent ? "silent" : "live") << "</td><td>" << ap.clients << "</td><td>"
                 << utc(ap.lastHeard, Stamp::Full) << "</td><td>" << ap.silences.size()
                 << "</td></tr>\n";
        }
        page << "</table>\n</body></html>\n";
    }
    std::FILE *out = std::fopen(file.c_str(), "w");
    if (out == nullptr) {
        why = failure(file, "write", std::strerror(errno));
        return -1;
    }
    std::string html = page.str();
    bool ok = std::fwrite(html.data(), 1, html.size(), out) == html.size();
    ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        why = failure(file, "write", std::strerror(errno));
    }
    return ok ? 0 : -1;
}

} // namespace presence
