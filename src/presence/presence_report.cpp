#include "presence_report.h"

#include "presence_sql.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <sqlite3.h>
#include <sstream>
#include <vector>

namespace presence {

namespace {

constexpr int kBuckets = 120;
constexpr int kLines = 12; // access points drawn one by one; the rest are summed
// The left margin holds a whole MAC address: two access points may share its last digits.
constexpr double kLeft = 96, kTop = 20, kWidth = 840, kHeight = 260;
constexpr double kRow = 16; // one access point's liveness bar
const char *const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf",
                                "#393b79", "#637939", "#843c39"};

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

enum class Stamp { Full, Short, Day };

std::string utc(double t, Stamp stamp) {
    std::time_t seconds = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char stamped[32];
    if (stamp == Stamp::Full) {
        std::strftime(stamped, sizeof stamped, "%Y-%m-%d %H:%M:%S", &tm);
    } else if (stamp == Stamp::Short) {
        std::strftime(stamped, sizeof stamped, "%H:%M:%S", &tm);
    } else {
        std::strftime(stamped, sizeof stamped, "%m-%d %H:%M", &tm);
    }
    return stamped;
}

std::string text(sqlite3_stmt *stmt, int i) {
    const unsigned char *value = sqlite3_column_text(stmt, i);
    return value != nullptr ? reinterpret_cast<const char *>(value) : "";
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
        [&](sqlite3_stmt *s) {
            ApRow ap;
            ap.apmac = text(s, 0);
            ap.address = text(s, 1);
            ap.silent = sqlite3_column_int(s, 2) != 0;
            ap.firstHeard = sqlite3_column_double(s, 3);
            ap.lastHeard = sqlite3_column_double(s, 4);
            ap.clients = sqlite3_column_int(s, 5);
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
        "SELECT (SELECT MIN(first_heard) FROM aps), MAX((SELECT MAX(last_heard) FROM aps), "
        "COALESCE((SELECT MAX(last_seen) FROM visits), 0))",
        0,
        [&](sqlite3_stmt *s) {
            first = sqlite3_column_double(s, 0);
            d.to = sqlite3_column_double(s, 1);
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
        return [&d, &index, list](sqlite3_stmt *s) {
            auto it = index.find(text(s, 0));
            if (it != index.end()) {
                (d.aps[it->second].*list)
                    .push_back(
                        Span{sqlite3_column_double(s, 1), sqlite3_column_type(s, 2) == SQLITE_NULL
                                                              ? d.to
                                                              : sqlite3_column_double(s, 2)});
            }
        };
    };
    // An open visit's current stay lasts until now; a closed visit's until it was last seen.
    if (forEachRow(db,
                   "SELECT s.apmac, s.since, CASE WHEN s.until IS NOT NULL THEN s.until "
                   "WHEN v.departed IS NULL THEN NULL ELSE v.departed END "
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

void timeAxis(std::ostringstream &svg, const Data &d, double y) {
    bool days = d.to - d.from > 2 * 86400;
    for (int i = 0; i <= 6; ++i) {
        double t = d.from + (d.to - d.from) * i / 6;
        svg << "<text class=\"tick\" x=\"" << xOf(d, t) << "\" y=\"" << y + 14
            << "\" text-anchor=\"middle\">" << utc(t, days ? Stamp::Day : Stamp::Short)
            << "</text>";
    }
}

std::string chart(const Data &d, const std::vector<const ApRow *> &lines,
                  const std::vector<int> &others) {
    int top = 1;
    for (const ApRow *ap : lines) {
        top = std::max(top, ap->peak);
    }
    for (int n : others) {
        top = std::max(top, n);
    }
    // Four whole steps up the value axis, so that every label is a count at its true height.
    top = (top + 3) / 4 * 4;
    std::ostringstream svg;
    svg << "<svg id=\"presence\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
        << kLeft + kWidth + 40 << "\" height=\"" << kTop + kHeight + 30 << "\" role=\"img\">"
        << "<title>Clients present per access point</title>"
        << "<rect class=\"frame\" x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << kWidth
        << "\" height=\"" << kHeight << "\"/>";
    for (int i = 0; i <= 4; ++i) {
        double y = kTop + kHeight - kHeight * i / 4;
        svg << "<text class=\"tick\" x=\"" << kLeft - 6 << "\" y=\"" << y + 4
            << "\" text-anchor=\"end\">" << top / 4 * i << "</text>";
    }
    timeAxis(svg, d, kTop + kHeight);
    auto line = [&](const std::vector<int> &values, const std::string &name, const char *colour) {
        svg << "<polyline class=\"ap-line\" data-ap=\"" << escape(name) << "\" data-peak=\""
            << *std::max_element(values.begin(), values.end()) << "\" stroke=\"" << colour
            << "\" points=\"";
        for (int i = 0; i < kBuckets; ++i) {
            double x0 = kLeft + kWidth * i / kBuckets;
            double x1 = kLeft + kWidth * (i + 1) / kBuckets;
            double y = kTop + kHeight - kHeight * values[static_cast<std::size_t>(i)] / top;
            svg << x0 << ',' << y << ' ' << x1 << ',' << y << ' ';
        }
        svg << "\"/>";
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        line(lines[i]->present, lines[i]->apmac, kColours[i]);
    }
    if (!others.empty()) {
        line(others, "others", kColours[kLines]);
    }
    svg << "</svg>";
    return svg.str();
}

std::string liveness(const Data &d) {
    std::ostringstream svg;
    double height = kRow * static_cast<double>(d.aps.size()) + 24;
    svg << "<svg id=\"liveness\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
        << kLeft + kWidth + 40 << "\" height=\"" << height << "\" role=\"img\">"
        << "<title>Access points heard (green) and silent (red)</title>";
    for (std::size_t i = 0; i < d.aps.size(); ++i) {
        const ApRow &ap = d.aps[i];
        double y = kRow * static_cast<double>(i);
        svg << "<g class=\"ap-live\" data-ap=\"" << escape(ap.apmac) << "\" data-silences=\""
            << ap.silences.size() << "\"><text class=\"tick\" x=\"" << kLeft - 6 << "\" y=\""
            << y + 11 << "\" text-anchor=\"end\">" << escape(ap.apmac) << "</text><title>"
            << escape(ap.apmac) << " at " << escape(ap.address) << ": " << ap.silences.size()
            << (ap.silences.size() == 1 ? " silence" : " silences") << "</title>"
            << "<rect class=\"heard\" x=\"" << xOf(d, ap.firstHeard) << "\" y=\"" << y + 2
            << "\" width=\"" << xOf(d, d.to) - xOf(d, ap.firstHeard) << "\" height=\"" << kRow - 4
            << "\"/>";
        for (const Span &s : ap.silences) {
            svg << "<rect class=\"silent\" x=\"" << xOf(d, s.since) << "\" y=\"" << y + 2
                << "\" width=\"" << std::max(1.0, xOf(d, s.until) - xOf(d, s.since))
                << "\" height=\"" << kRow - 4 << "\"/>";
        }
        svg << "</g>";
    }
    timeAxis(svg, d, kRow * static_cast<double>(d.aps.size()));
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
    std::vector<int> others;
    if (ranked.size() > static_cast<std::size_t>(kLines)) {
        others.assign(kBuckets, 0);
        for (std::size_t i = kLines; i < ranked.size(); ++i) {
            for (int b = 0; b < kBuckets; ++b) {
                others[static_cast<std::size_t>(b)] +=
                    ranked[i]->present[static_cast<std::size_t>(b)];
            }
        }
        ranked.resize(kLines);
    }
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         << "<title>station-presence</title><style>"
         << "body{font:14px sans-serif;margin:1.5em;color:#222}"
         << "svg{display:block;margin:0.5em 0}.frame{fill:none;stroke:#999}"
         << ".tick{font-size:11px;fill:#555}.ap-line{fill:none;stroke-width:2}"
         << ".heard{fill:#5cb85c}.silent{fill:#d9534f}"
         << "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left}"
         << "th{border-bottom:1px solid #999}.swatch{display:inline-block;width:12px;"
         << "height:12px;margin-right:6px}</style></head><body>\n"
         << "<h1>Clients present per access point</h1>\n<p id=\"range\">"
         << utc(d.from, Stamp::Full) << " to " << utc(d.to, Stamp::Full) << " UTC, " << d.aps.size()
         << " access points</p>\n"
         << chart(d, ranked, others) << "\n<p id=\"legend\">";
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        page << "<span class=\"legend\"><span class=\"swatch\" style=\"background:" << kColours[i]
             << "\"></span>" << escape(ranked[i]->apmac) << "</span> ";
    }
    if (!others.empty()) {
        page << "<span class=\"legend\"><span class=\"swatch\" style=\"background:"
             << kColours[kLines] << "\"></span>others (" << d.aps.size() - kLines << ")</span>";
    }
    page << "</p>\n<h2>Access points</h2>\n"
         << liveness(d)
         << "\n<table id=\"aps\"><tr><th>ap</th><th>address</th><th>state</th><th>clients</th>"
         << "<th>last heard (UTC)</th><th>silences</th></tr>\n";
    for (const ApRow &ap : d.aps) {
        page << "<tr data-ap=\"" << escape(ap.apmac) << "\"><td>" << escape(ap.apmac) << "</td><td>"
             << escape(ap.address) << "</td><td>" << (ap.silent ? "silent" : "live") << "</td><td>"
             << ap.clients << "</td><td>" << utc(ap.lastHeard, Stamp::Full) << "</td><td>"
             << ap.silences.size() << "</td></tr>\n";
    }
    page << "</table>\n</body></html>\n";
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
