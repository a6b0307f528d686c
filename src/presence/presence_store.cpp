#include "presence_store.h"

#include "presence_input.h"
#include "presence_sql.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sqlite3.h>

namespace presence {

// The one home of the schema; the README describes it.
static const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS aps(
    apmac TEXT PRIMARY KEY, address TEXT NOT NULL, first_heard REAL NOT NULL,
    last_heard REAL NOT NULL, silent INTEGER NOT NULL, clock_offset REAL NOT NULL);
CREATE TABLE IF NOT EXISTS visits(
    id INTEGER PRIMARY KEY, mumac TEXT NOT NULL, arrived REAL NOT NULL, departed REAL,
    last_seen REAL NOT NULL, ap TEXT NOT NULL, rssi INTEGER NOT NULL, assoc INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS visits_open ON visits(mumac) WHERE departed IS NULL;
CREATE INDEX IF NOT EXISTS visits_departed ON visits(departed);
CREATE TABLE IF NOT EXISTS stays(
    visit INTEGER NOT NULL REFERENCES visits(id), apmac TEXT NOT NULL, since REAL NOT NULL,
    until REAL);
CREATE INDEX IF NOT EXISTS stays_visit ON stays(visit);
CREATE INDEX IF NOT EXISTS stays_until ON stays(until);
CREATE TABLE IF NOT EXISTS silences(apmac TEXT NOT NULL, since REAL NOT NULL, until REAL);
CREATE TABLE IF NOT EXISTS sightings(
    received REAL NOT NULL, apmac TEXT NOT NULL, mumac TEXT NOT NULL, timestamp INTEGER NOT NULL,
    rssi INTEGER NOT NULL, channel INTEGER NOT NULL, assoc INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS sightings_received ON sightings(received);
CREATE VIEW IF NOT EXISTS present AS
    SELECT v.mumac, v.ap, a.address, v.rssi, v.assoc, v.arrived, v.last_seen
    FROM visits v LEFT JOIN aps a ON a.apmac = v.ap WHERE v.departed IS NULL;
CREATE VIEW IF NOT EXISTS ap_clients AS
    SELECT a.apmac, a.address, a.silent, a.first_heard, a.last_heard, a.clock_offset,
           COUNT(v.id) AS clients
    FROM aps a LEFT JOIN visits v ON v.ap = a.apmac AND v.departed IS NULL GROUP BY a.apmac;
CREATE VIEW IF NOT EXISTS dwell AS
    SELECT s.visit, v.mumac, s.apmac, SUM(COALESCE(s.until, v.last_seen) - s.since) AS seconds
    FROM stays s JOIN visits v ON v.id = s.visit GROUP BY s.visit, s.apmac;
CREATE VIEW IF NOT EXISTS daily AS
    SELECT date(arrived, 'unixepoch') AS day, mumac, COUNT(*) AS visits,
           SUM(COALESCE(departed, last_seen) - arrived) AS seconds
    FROM visits GROUP BY day, mumac;
)";

static double seconds(Millis ms) {
    return static_cast<double>(ms) / 1000.0;
}
static Millis millis(double s) {
    return static_cast<Millis>(std::llround(s * 1000));
}

Store::~Store() {
    for (auto &entry : statements_) {
        sqlite3_finalize(entry.second);
    }
    if (db_ != nullptr) {
        sqlite3_close(db_);
    }
}

int Store::exec(const char *sql, std::string &why) {
    char *error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) {
        return 0;
    }
    why = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    return -1;
}

// Prepared once per text: sql is always a literal, so its address names it.
sqlite3_stmt *Store::statement(const char *sql) {
    sqlite3_stmt *&stmt = statements_[sql];
    if (stmt == nullptr) {
        sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
    } else {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt); // a value left bound from the last use is never reused
    }
    return stmt;
}

int Store::open(const std::string &file, bool create, std::string &why) {
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        why = file + ": " + sqlite3_errmsg(db_);
        return -1;
    }
    sqlite3_busy_timeout(db_, 5000);
    // A reader (the query subcommands) never blocks the writer, nor the writer a reader.
    return exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", why) == 0 &&
                   exec(kSchema, why) == 0
               ? 0
               : -1;
}

// ---- resuming --------------------------------------------------------------------------

static std::string column(sqlite3_stmt *stmt, int i) {
    const unsigned char *text = sqlite3_column_text(stmt, i);
    return text != nullptr ? reinterpret_cast<const char *>(text) : "";
}

static uint64_t macColumn(sqlite3_stmt *stmt, int i) {
    return static_cast<uint64_t>(parseMac(column(stmt, i)));
}

void Store::resume(Tracker &tracker) {
    sqlite3_stmt *aps = statement("SELECT apmac, address, first_heard, last_heard, silent, "
                                  "clock_offset FROM aps ORDER BY rowid");
    while (sqlite3_step(aps) == SQLITE_ROW) {
        Ap ap;
        ap.apmac = macColumn(aps, 0);
        ap.address = column(aps, 1);
        ap.firstHeard = millis(sqlite3_column_double(aps, 2));
        ap.lastHeard = millis(sqlite3_column_double(aps, 3));
        ap.silent = sqlite3_column_int(aps, 4) != 0;
        ap.clockOffset = millis(sqlite3_column_double(aps, 5));
        tracker.restoreAp(ap);
    }
    for (const Ap &ap : tracker.aps()) {
        apWritten_.push_back(ap.lastHeard);
        apSilentWritten_.push_back(ap.silent);
    }
    sqlite3_stmt *visits =
        statement("SELECT v.id, v.mumac, v.ap, v.rssi, v.assoc, v.arrived, v.last_seen, s.since "
                  "FROM visits v JOIN stays s ON s.visit = v.id AND s.until IS NULL "
                  "WHERE v.departed IS NULL");
    sqlite3_stmt *dwell = nullptr;
    std::vector<int64_t> orphans;
    while (sqlite3_step(visits) == SQLITE_ROW) {
        Presence p{macColumn(visits, 1),
                   macColumn(visits, 2),
                   sqlite3_column_int(visits, 3),
                   sqlite3_column_int(visits, 4) != 0,
                   millis(sqlite3_column_double(visits, 5)),
                   millis(sqlite3_column_double(visits, 6)),
                   millis(sqlite3_column_double(visits, 7))};
        int64_t id = sqlite3_column_int64(visits, 0);
        dwell = statement("SELECT apmac, SUM(until - since) FROM stays "
                          "WHERE visit = ? AND until IS NOT NULL GROUP BY apmac");
        sqlite3_bind_int64(dwell, 1, id);
        std::vector<std::pair<uint64_t, Millis>> spent;
        while (sqlite3_step(dwell) == SQLITE_ROW) {
            spent.emplace_back(macColumn(dwell, 0), millis(sqlite3_column_double(dwell, 1)));
        }
        if (tracker.restoreClient(p, spent)) {
            openVisits_[p.mumac] = id;
        } else {
            orphans.push_back(id);
        }
    }
    for (int64_t id : orphans) { // its access point is unknown: it ended when last seen
        sqlite3_stmt *close = statement("UPDATE visits SET departed = last_seen WHERE id = ?");
        sqlite3_bind_int64(close, 1, id);
        sqlite3_step(close);
    }
}

// ---- writing ---------------------------------------------------------------------------

void Store::sighting(const Sighting &s) {
    if (keepDays_ > 0 && !s.heartbeat) {
        sightings_.push_back(s);
    }
}

static void bindMac(sqlite3_stmt *stmt, int i, uint64_t mac) {
    std::string text = macText(mac);
    sqlite3_bind_text(stmt, i, text.c_str(), 12, SQLITE_TRANSIENT);
}

static int step(sqlite3_stmt *stmt) {
    return sqlite3_step(stmt) == SQLITE_DONE ? 0 : -1;
}

int Store::apply(const Event &e) {
    int64_t visit = 0;
    if (e.kind == EventKind::Move || e.kind == EventKind::Leave) {
        auto it = openVisits_.find(e.client);
        if (it == openVisits_.end()) {
            return 0;
        }
        visit = it->second;
        sqlite3_stmt *close =
            statement("UPDATE stays SET until = ? WHERE visit = ? AND until IS NULL");
        sqlite3_bind_double(close, 1, seconds(e.kind == EventKind::Leave ? e.lastSeen : e.time));
        sqlite3_bind_int64(close, 2, visit);
        if (step(close) != 0) {
            return -1;
        }
        rows_ += static_cast<uint64_t>(sqlite3_changes(db_));
    }
    sqlite3_stmt *stmt = nullptr;
    switch (e.kind) {
    case EventKind::Arrive:
        stmt = statement("INSERT INTO visits(mumac, arrived, last_seen, ap, rssi, assoc) "
                         "VALUES(?, ?, ?, ?, ?, ?)");
        bindMac(stmt, 1, e.client);
        sqlite3_bind_double(stmt, 2, seconds(e.since));
        sqlite3_bind_double(stmt, 3, seconds(e.time));
        bindMac(stmt, 4, e.ap);
        sqlite3_bind_int(stmt, 5, e.rssi);
        sqlite3_bind_int(stmt, 6, static_cast<int>(e.assoc));
        if (step(stmt) != 0) {
            return -1;
        }
        visit = sqlite3_last_insert_rowid(db_);
        openVisits_[e.client] = visit;
        break;
    case EventKind::Move:
    case EventKind::Leave:
        stmt = statement("UPDATE visits SET departed = ?, last_seen = ?, ap = ?, rssi = ?, "
                         "assoc = ? WHERE id = ?");
        if (e.kind == EventKind::Leave) {
            sqlite3_bind_double(stmt, 1, seconds(e.lastSeen));
            openVisits_.erase(e.client);
        }
        sqlite3_bind_double(stmt, 2, seconds(e.kind == EventKind::Leave ? e.lastSeen : e.time));
        bindMac(stmt, 3, e.ap);
        sqlite3_bind_int(stmt, 4, e.rssi);
        sqlite3_bind_int(stmt, 5, static_cast<int>(e.assoc));
        sqlite3_bind_int64(stmt, 6, visit);
        if (step(stmt) != 0) {
            return -1;
        }
        break;
    case EventKind::ApSilent:
        stmt = statement("INSERT INTO silences(apmac, since) VALUES(?, ?)");
        bindMac(stmt, 1, e.ap);
        sqlite3_bind_double(stmt, 2, seconds(e.since));
        return step(stmt) == 0 ? (rows_++, 0) : -1;
    case EventKind::ApBack:
        stmt = statement("UPDATE silences SET until = ? WHERE apmac = ? AND until IS NULL");
        sqlite3_bind_double(stmt, 1, seconds(e.time));
        bindMac(stmt, 2, e.ap);
        return step(stmt) == 0 ? (rows_ += static_cast<uint64_t>(sqlite3_changes(db_)), 0) : -1;
    case EventKind::ApClock:
        return 0;
    }
    rows_++;
    if (e.kind == EventKind::Leave) {
        return 0;
    }
    stmt = statement("INSERT INTO stays(visit, apmac, since) VALUES(?, ?, ?)");
    sqlite3_bind_int64(stmt, 1, visit);
    bindMac(stmt, 2, e.ap);
    sqlite3_bind_double(stmt, 3, seconds(e.kind == EventKind::Arrive ? e.since : e.time));
    rows_++;
    return step(stmt);
}

// An access point's row follows its state; its last heard only once an interval has passed,
// so the rows written stay bounded by the access points, not by their reports.
int Store::writeAps(const Tracker &tracker, Millis interval, bool final) {
    const auto &aps = tracker.aps();
    for (std::size_t i = 0; i < aps.size(); ++i) {
        const Ap &ap = aps[i];
        bool known = i < apWritten_.size();
        if (known && apSilentWritten_[i] == ap.silent &&
            (ap.lastHeard - apWritten_[i] < interval &&
             !(final && ap.lastHeard != apWritten_[i]))) {
            continue;
        }
        sqlite3_stmt *stmt = statement(
            "INSERT INTO aps(apmac, address, first_heard, last_heard, silent, clock_offset) "
            "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(apmac) DO UPDATE SET "
            "address = excluded.address, last_heard = excluded.last_heard, "
            "silent = excluded.silent, clock_offset = excluded.clock_offset");
        bindMac(stmt, 1, ap.apmac);
        sqlite3_bind_text(stmt, 2, ap.address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(stmt, 3, seconds(ap.firstHeard));
        sqlite3_bind_double(stmt, 4, seconds(ap.lastHeard));
        sqlite3_bind_int(stmt, 5, static_cast<int>(ap.silent));
        sqlite3_bind_double(stmt, 6, seconds(ap.clockOffset));
        if (step(stmt) != 0) {
            return -1;
        }
        rows_++;
        if (!known) {
            apWritten_.push_back(0);
            apSilentWritten_.push_back(false);
        }
        apWritten_[i] = ap.lastHeard;
        apSilentWritten_[i] = ap.silent;
    }
    return 0;
}

int Store::writeSightings(Millis now) {
    for (const Sighting &s : sightings_) {
        sqlite3_stmt *stmt = statement("INSERT INTO sightings VALUES(?, ?, ?, ?, ?, ?, ?)");
        sqlite3_bind_double(stmt, 1, seconds(s.received));
        bindMac(stmt, 2, s.apmac);
        bindMac(stmt, 3, s.mumac);
        sqlite3_bind_int64(stmt, 4, s.timestamp);
        sqlite3_bind_int(stmt, 5, s.rssi);
        sqlite3_bind_int(stmt, 6, s.channel);
        sqlite3_bind_int(stmt, 7, static_cast<int>(s.assoc));
        if (step(stmt) != 0) {
            return -1;
        }
    }
    rows_ += sightings_.size();
    sightings_.clear();
    if (keepDays_ > 0 && now - lastPrune_ >= 60000) {
        lastPrune_ = now;
        sqlite3_stmt *prune = statement("DELETE FROM sightings WHERE received < ?");
        sqlite3_bind_double(prune, 1, seconds(now) - keepDays_ * 86400.0);
        return step(prune);
    }
    return 0;
}

int Store::flush(const Tracker &tracker, Millis interval, bool final, std::string &why) {
    if (exec("BEGIN", why) != 0) {
        return -1;
    }
    int rc = 0;
    for (const Event &e : pending_) {
        if (rc == 0) {
            rc = apply(e);
        }
    }
    pending_.clear();
    if (rc == 0) {
        rc = writeAps(tracker, interval, final);
    }
    if (rc == 0) {
        rc = writeSightings(tracker.now());
    }
    if (rc == 0 && final) { // the next run resumes each open visit from its last sighting
        for (const Presence &p : tracker.present()) {
            auto it = openVisits_.find(p.mumac);
            if (it == openVisits_.end()) {
                continue;
            }
            sqlite3_stmt *stmt =
                statement("UPDATE visits SET last_seen = ?, rssi = ?, assoc = ? WHERE id = ?");
            sqlite3_bind_double(stmt, 1, seconds(p.lastSeen));
            sqlite3_bind_int(stmt, 2, p.rssi);
            sqlite3_bind_int(stmt, 3, static_cast<int>(p.assoc));
            sqlite3_bind_int64(stmt, 4, it->second);
            if ((rc = step(stmt)) != 0) {
                break;
            }
            rows_++;
        }
    }
    if (rc != 0) {
        why = sqlite3_errmsg(db_);
        std::string ignored;
        exec("ROLLBACK", ignored);
        return -1;
    }
    transactions_++;
    return exec("COMMIT", why);
}

// ---- the query subcommands -------------------------------------------------------------

struct Column {
    const char *name;
    int width; // negative: aligned left
};

static void printCells(std::FILE *out, const std::vector<Column> &columns,
                       const std::vector<std::string> &cells) {
    std::string line;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        std::size_t width = static_cast<std::size_t>(std::abs(columns[i].width));
        std::string pad(cells[i].size() < width ? width - cells[i].size() : 0, ' ');
        line += (i == 0 ? "" : "  ") + (columns[i].width < 0 ? cells[i] + pad : pad + cells[i]);
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    std::fprintf(out, "%s\n", line.c_str());
}

// A header line, then one line per row of sql (its ?1 bound to bound).
static int printTable(sqlite3 *db, std::FILE *out, const char *sql,
                      const std::vector<Column> &columns, double bound, std::string &why) {
    std::vector<std::string> cells(columns.size());
    std::transform(columns.begin(), columns.end(), cells.begin(),
                   [](const Column &c) { return std::string(c.name); });
    printCells(out, columns, cells);
    return forEachRow(
        db, sql, bound,
        [&](sqlite3_stmt *stmt) {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                cells[i] = column(stmt, static_cast<int>(i));
            }
            printCells(out, columns, cells);
        },
        why);
}

int Store::printNow(std::FILE *out, std::string &why) {
    return printTable(db_, out,
                      "SELECT mumac, ap, address, rssi, assoc, datetime(arrived, 'unixepoch'), "
                      "datetime(last_seen, 'unixepoch') FROM present ORDER BY ap, mumac",
                      {{"client", -12},
                       {"ap", -12},
                       {"address", -15},
                       {"rssi", 4},
                       {"assoc", 5},
                       {"arrived", -19},
                       {"last seen", -19}},
                      0, why);
}

int Store::printVisits(std::FILE *out, double since, std::string &why) {
    return printTable(
        db_, out,
        "SELECT v.mumac, datetime(v.arrived, 'unixepoch'), "
        "COALESCE(datetime(v.departed, 'unixepoch'), 'present'), "
        "printf('%.0f', COALESCE(v.departed, v.last_seen) - v.arrived), "
        "(SELECT group_concat(apmac || ' ' || printf('%.0f', seconds), ', ') FROM dwell d "
        "WHERE d.visit = v.id) FROM visits v WHERE COALESCE(v.departed, 9e18) >= ?1 "
        "ORDER BY v.arrived, v.id",
        {{"client", -12}, {"arrived", -19}, {"departed", -19}, {"seconds", 7}, {"at each ap", 0}},
        since, why);
}

int Store::printAps(std::FILE *out, std::string &why) {
    return printTable(db_, out,
                      "SELECT apmac, address, CASE silent WHEN 0 THEN 'live' ELSE 'silent' END, "
                      "clients, datetime(first_heard, 'unixepoch'), "
                      "datetime(last_heard, 'unixepoch'), CAST(round(clock_offset) AS INTEGER) "
                      "FROM ap_clients ORDER BY apmac",
                      {{"ap", -12},
                       {"address", -15},
                       {"state", -6},
                       {"clients", 7},
                       {"first heard", -19},
                       {"last heard", -19},
                       {"clock offset s", 14}},
                      0, why);
}

int Store::parseSince(const std::string &text, double now, double &since) {
    char *end = nullptr;
    double number = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && number >= 0) {
        // A bare number is a time, a number with a unit a time ago.
        double unit = end[0] == '\0'   ? 0
                      : end[1] != '\0' ? -1
                      : end[0] == 's'  ? 1
                      : end[0] == 'm'  ? 60
                      : end[0] == 'h'  ? 3600
                      : end[0] == 'd'  ? 86400
                                       : -1;
        if (unit >= 0) {
            since = unit == 0 ? number : now - number * unit;
            return 0;
        }
    }
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db_, "SELECT unixepoch(?)", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, text.c_str(), -1, SQLITE_TRANSIENT);
    int rc =
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL ? 0 : -1;
    if (rc == 0) {
        since = sqlite3_column_double(stmt, 0);
    }
    sqlite3_finalize(stmt);
    return rc;
}

} // namespace presence
