#include "presence_store.h"

#include "presence_input.h"
#include "presence_sql.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Written into every database this program creates: a file without them is not its own
// (or, recognised by its tables, one made before they were written, schema version 0).
constexpr int kApplicationId = 0x53745072; // "StPr"
constexpr int kSchemaVersion = 1;

// A time read back from the file: only one llround can take (some 30,000 years either way).
static bool millisOf(const Row &row, const char *name, Millis &ms) {
    double s = row.real(name);
    if (!(std::fabs(s) < 1e12)) {
        return false;
    }
    ms = static_cast<Millis>(std::llround(s * 1000));
    return true;
}

static bool macOf(const Row &row, const char *name, uint64_t &mac) {
    int64_t value = parseMac(row.text(name));
    mac = static_cast<uint64_t>(value);
    return value >= 0;
}

// One use of a prepared statement: its bindings, then its steps. The first failure is kept
// with SQLite's reason and makes every later call do nothing, so that a use is checked once,
// by its last call.
class Store::Use {
  public:
    Use(sqlite3 *db, sqlite3_stmt *stmt, std::string &reason)
        : db_(db), stmt_(stmt), reason_(reason) {
        if (stmt == nullptr) {
            fail();
        }
    }
    // The statement points into this use's digits until it is reset: never copied.
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    Use &real(int i, double value) { return check(ok_ ? sqlite3_bind_double(stmt_, i, value) : 0); }
    Use &integer(int i, int64_t value) {
        return check(ok_ ? sqlite3_bind_int64(stmt_, i, value) : 0);
    }
    Use &flag(int i, bool value) { return integer(i, value ? 1 : 0); }
    Use &text(int i, const std::string &value) {
        return check(ok_ ? sqlite3_bind_text(stmt_, i, value.data(), static_cast<int>(value.size()),
                                             SQLITE_TRANSIENT)
                         : 0);
    }
    // The digits stay in this use until its step, so SQLite need not copy them.
    Use &mac(int i, uint64_t value) {
        if (i < 1 || i > kMacs) {
            return check(SQLITE_RANGE);
        }
        char *digits = macs_[i - 1];
        putMacText(digits, value);
        return check(ok_ ? sqlite3_bind_text(stmt_, i, digits, 12, SQLITE_STATIC) : 0);
    }
    // Steps once: true for a row; false at the end or on a failure (ok() tells which).
    bool row() {
        if (!ok_) {
            return false;
        }
        int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            fail();
        }
        return rc == SQLITE_ROW;
    }
    // Runs a statement that gives no rows; false on a failure.
    bool run() { return !row() && ok_; }
    bool ok() const { return ok_; }
    // The row the last step gave.
    Row current() const { return Row(stmt_); }

  private:
    Use &check(int rc) {
        if (rc != SQLITE_OK) {
            fail();
        }
        return *this;
    }
    void fail() {
        ok_ = false;
        reason_ = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    }

    static constexpr int kMacs = 4; // the most a statement binds
    sqlite3 *db_;
    sqlite3_stmt *stmt_;
    std::string &reason_;
    bool ok_ = true;
    char macs_[kMacs][12] = {};
};

Store::~Store() {
    for (auto &entry : statements_) {
        sqlite3_finalize(entry.second);
    }
    if (db_ != nullptr) {
        sqlite3_close(db_); // nothing is left to tell: every write was committed or reported
    }
}

int Store::exec(const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) {
        return 0;
    }
    reason_ = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    return -1;
}

int Store::fail(const char *operation, std::string &why) const {
    why = failure(file_, operation, reason_);
    return -1;
}

// Prepared once per text: sql is always a literal, so its address names it.
Store::Use Store::use(const char *sql) {
    sqlite3_stmt *&stmt = statements_[sql];
    if (stmt == nullptr) {
        sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr); // a failure leaves it null
    } else {
        sqlite3_reset(stmt);          // its result repeats the last step's, told then
        sqlite3_clear_bindings(stmt); // a value left bound from the last use is never reused
    }
    return Use(db_, stmt, reason_);
}

// ---- opening: this program's database, or refused ---------------------------------------

// file as a URI, every byte but the plainly safe ones escaped.
static std::string fileUri(const std::string &file) {
    std::string uri = file.front() == '/' ? "file://" : "file:";
    for (char c : file) {
        auto ch = static_cast<unsigned char>(c);
        if (std::isalnum(ch) != 0 || std::strchr("/._-~", ch) != nullptr) {
            uri += static_cast<char>(ch);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", ch);
            uri += escaped;
        }
    }
    return uri;
}

// follow: read-write, created when missing. Otherwise read-only; immutable: the file alone,
// without a -wal or -shm, which SQLite would otherwise create beside it.
int Store::connect(bool follow, bool immutable) {
    // One thread uses SQLite, so it needs no locks, nor the counts of its memory in use:
    // both cost more than a row's own work. Set before the library starts, once.
    static const bool configured = sqlite3_config(SQLITE_CONFIG_SINGLETHREAD) == SQLITE_OK &&
                                   sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    static_cast<void>(configured);
    int rc = immutable ? sqlite3_open_v2((fileUri(file_) + "?mode=ro&immutable=1").c_str(), &db_,
                                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
                       : sqlite3_open_v2(file_.c_str(), &db_,
                                         follow ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                                : SQLITE_OPEN_READONLY,
                                         nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_busy_timeout(db_, 5000);
    }
    if (rc != SQLITE_OK) {
        reason_ = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        return -1;
    }
    return 0;
}

namespace {

enum class Kind { Empty, Older, Current, Refused };

// Each table and view: its type and its columns, as one text to compare.
using Shape = std::map<std::string, std::string>;

// The one value of sql, which names it value.
int scalar(sqlite3 *db, const char *sql, int64_t &value, std::string &reason) {
    return forEachRow(
        db, sql, 0, [&](const Row &row) { value = row.integer("value"); }, reason);
}

int shapeOf(sqlite3 *db, Shape &shape, std::string &reason) {
    std::vector<std::pair<std::string, std::string>> names;
    if (forEachRow(
            db,
            "SELECT type, name FROM sqlite_master WHERE type IN ('table', 'view') "
            "AND name NOT LIKE 'sqlite%'",
            0, [&](const Row &row) { names.emplace_back(row.text("type"), row.text("name")); },
            reason) != 0) {
        return -1;
    }
    for (const auto &[type, name] : names) {
        std::string quoted;
        for (char ch : name) {
            quoted += ch == '"' ? "\"\"" : std::string(1, ch);
        }
        std::string described = type;
        described += " " + name + "(";
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, ("SELECT * FROM \"" + quoted + "\"").c_str(), -1, &stmt,
                               nullptr) != SQLITE_OK) {
            described += std::string("unreadable: ") + sqlite3_errmsg(db);
        }
        for (int i = 0; stmt != nullptr && i < sqlite3_column_count(stmt); ++i) {
            described += std::string(i > 0 ? ", " : "") + sqlite3_column_name(stmt, i);
        }
        sqlite3_finalize(stmt);
        shape[name] = described + ")";
    }
    return 0;
}

// The tables and views the schema makes, from the schema itself.
const Shape &expectedShape() {
    static const Shape shape = [] {
        Shape made;
        sqlite3 *db = nullptr;
        if (sqlite3_open(":memory:", &db) == SQLITE_OK &&
            sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK) {
            std::string ignored;
            shapeOf(db, made, ignored);
        }
        sqlite3_close(db);
        return made;
    }();
    return shape;
}

// What the file holds: nothing yet, this program's database (of an older schema or of this
// one), or something to refuse, with reason set.
Kind identify(sqlite3 *db, std::string &reason) {
    int64_t id = 0;
    int64_t version = 0;
    int64_t objects = 0;
    Shape shape;
    if (scalar(db, "SELECT application_id AS value FROM pragma_application_id", id, reason) != 0 ||
        scalar(db, "SELECT user_version AS value FROM pragma_user_version", version, reason) != 0 ||
        scalar(db, "SELECT COUNT(*) AS value FROM sqlite_master", objects, reason) != 0 ||
        shapeOf(db, shape, reason) != 0) {
        return Kind::Refused;
    }
    bool ours = id == kApplicationId;
    if (!ours && id == 0 && version == 0 && objects == 0) {
        return Kind::Empty;
    }
    if (ours && version > kSchemaVersion) {
        reason = "made by a newer station-presence (schema version " + std::to_string(version) +
                 "; this one's is " + std::to_string(kSchemaVersion) + ")";
        return Kind::Refused;
    }
    if (!ours && (id != 0 || version != 0)) {
        reason = "not a station-presence database (its application id is " + std::to_string(id) +
                 ", its user version " + std::to_string(version) + ")";
        return Kind::Refused;
    }
    const Shape &expected = expectedShape();
    if (expected.empty()) {
        reason = "the schema cannot be made"; // out of memory
        return Kind::Refused;
    }
    std::vector<const Shape::value_type *> order; // its tables first, then its views
    std::transform(expected.begin(), expected.end(), std::back_inserter(order),
                   [](const auto &entry) { return &entry; });
    std::sort(order.begin(), order.end(),
              [](const auto *a, const auto *b) { return a->second < b->second; });
    for (const auto *entry : order) {
        const auto &[name, described] = *entry;
        auto it = shape.find(name);
        if (it == shape.end() || it->second != described) {
            std::string what =
                it == shape.end()
                    ? "it has no " + described.substr(0, described.find('(')) // "table aps"
                    : "it has " + it->second + " where " + described + " belongs";
            reason =
                (ours ? "its schema is damaged: " : "not a station-presence database: ") + what;
            return Kind::Refused;
        }
    }
    return ours && version == kSchemaVersion ? Kind::Current : Kind::Older;
}

std::string stamp() {
    return "PRAGMA application_id = " + std::to_string(kApplicationId) +
           "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
}

} // namespace

int Store::open(const std::string &file, Access access, std::string &why) {
    const bool follow = access == Access::Follow;
    const bool read = access == Access::Read;
    file_ = file;
    struct stat st {};
    bool exists = ::stat(file.c_str(), &st) == 0;
    if (!exists && (errno != ENOENT || !follow)) {
        reason_ = std::strerror(errno);
        return fail("open", why);
    }
    if (exists && S_ISDIR(st.st_mode)) {
        reason_ = std::strerror(EISDIR); // SQLite would say "disk I/O error"
        return fail("open", why);
    }
    if (exists) {
        // Looked at first on a connection that cannot write, and, when there is no -wal
        // (then nothing is writing it), on the file alone: a file that is not this program's
        // is left byte for byte as it was, and no -wal or -shm appears beside it.
        bool wal = ::access((file + "-wal").c_str(), F_OK) == 0;
        if (connect(false, !wal) != 0) {
            return fail("open", why);
        }
        Kind kind = identify(db_, reason_);
        if (kind == Kind::Empty && !follow) { // a query, or a change of nothing
            reason_ = "not a station-presence database: it is empty";
            kind = Kind::Refused;
        }
        if (kind == Kind::Refused) {
            return fail("open", why);
        }
        if (read) {
            return 0;
        }
        if (sqlite3_close(db_) != SQLITE_OK) {
            reason_ = sqlite3_errmsg(db_);
            return fail("open", why);
        }
        db_ = nullptr;
    }
    if (connect(true, false) != 0 || exec("BEGIN IMMEDIATE") != 0) {
        return fail("open", why);
    }
    // SQLite opens a file it may not write read-only without a word when its -wal and -shm
    // are already there (left by any reader): refused now, not at the first write.
    if (sqlite3_db_readonly(db_, "main") == 1) {
        reason_ = "attempt to write a readonly database";
        exec("ROLLBACK");
        return fail("open", why);
    }
    Kind kind = identify(db_, reason_); // again, now that nothing else can write it
    const char *operation = kind == Kind::Empty   ? "create"
                            : kind == Kind::Older ? "migrate"
                                                  : "open";
    int rc = kind == Kind::Refused ? -1
             : kind == Kind::Empty ? (exec(kSchema) == 0 ? exec(stamp().c_str()) : -1)
             : kind == Kind::Older ? exec(stamp().c_str()) // version 0 has today's tables
                                   : 0;
    if (rc == 0 && exec("COMMIT") == 0) {
        // A reader (the query subcommands) never blocks the writer, nor the writer a reader.
        // A second's changes touch pages all over the visits and their indexes: kept in
        // memory up to 64 MiB rather than spilled to the log in the middle of it.
        return exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                    "PRAGMA cache_size=-65536;") == 0
                   ? 0
                   : fail("open", why);
    }
    std::string reason = reason_;
    exec("ROLLBACK");
    reason_ = reason;
    return fail(operation, why);
}

// ---- resuming --------------------------------------------------------------------------

int Store::resume(Tracker &tracker, std::string &why) {
    Use aps = use("SELECT apmac, address, first_heard, last_heard, silent, "
                  "clock_offset FROM aps ORDER BY rowid");
    while (aps.row()) {
        Ap ap;
        Row row = aps.current();
        if (!macOf(row, "apmac", ap.apmac) || !millisOf(row, "first_heard", ap.firstHeard) ||
            !millisOf(row, "last_heard", ap.lastHeard) ||
            !millisOf(row, "clock_offset", ap.clockOffset)) {
            reason_ = "access point " + row.text("apmac") + " holds a value out of range";
            return fail("resume", why);
        }
        ap.address = row.text("address");
        ap.silent = row.flag("silent");
        tracker.restoreAp(ap);
    }
    if (!aps.ok()) {
        return fail("resume", why);
    }
    for (const Ap &ap : tracker.aps()) {
        apWritten_.push_back(ap.lastHeard);
        apSilentWritten_.push_back(ap.silent);
    }
    // One row a visit; one without its current stay cannot go on, nor a client's second.
    Use visits = use("SELECT v.id, v.mumac, v.ap, v.rssi, v.assoc, v.arrived, v.last_seen, "
                     "(SELECT MAX(s.since) FROM stays s WHERE s.visit = v.id AND s.until IS NULL) "
                     "AS stay_since FROM visits v WHERE v.departed IS NULL ORDER BY v.id");
    std::vector<int64_t> orphans;
    while (visits.row()) {
        Row row = visits.current();
        Presence p;
        p.rssi = static_cast<int>(row.integer("rssi"));
        p.assoc = row.flag("assoc");
        int64_t id = row.integer("id");
        if (!macOf(row, "mumac", p.mumac) || !macOf(row, "ap", p.ap) ||
            !millisOf(row, "arrived", p.firstSeen) || !millisOf(row, "last_seen", p.lastSeen) ||
            !millisOf(row, "stay_since", p.apSince)) {
            reason_ = "visit " + std::to_string(id) + " holds a value out of range";
            return fail("resume", why);
        }
        Use dwell = use("SELECT apmac, SUM(until - since) AS spent FROM stays "
                        "WHERE visit = ? AND until IS NOT NULL GROUP BY apmac");
        dwell.integer(1, id);
        std::vector<std::pair<uint64_t, Millis>> spent;
        while (dwell.row()) {
            std::pair<uint64_t, Millis> at;
            if (!macOf(dwell.current(), "apmac", at.first) ||
                !millisOf(dwell.current(), "spent", at.second)) {
                reason_ = "visit " + std::to_string(id) + " holds a value out of range";
                return fail("resume", why);
            }
            spent.push_back(at);
        }
        if (!dwell.ok()) {
            return fail("resume", why);
        }
        bool current = !row.null("stay_since");
        if (current && tracker.restoreClient(p, spent)) {
            openVisits_[p.mumac] = OpenVisit{id, p.lastSeen};
        } else {
            orphans.push_back(id);
        }
    }
    if (!visits.ok()) {
        return fail("resume", why);
    }
    if (orphans.empty()) {
        return 0;
    }
    // The rest ended when last seen, all at once.
    bool ok = exec("BEGIN") == 0;
    for (int64_t id : orphans) {
        ok = ok && use("UPDATE visits SET departed = last_seen WHERE id = ?").integer(1, id).run();
        ok = ok && use("UPDATE stays SET until = (SELECT last_seen FROM visits WHERE id = ?1) "
                       "WHERE visit = ?1 AND until IS NULL")
                       .integer(1, id)
                       .run();
    }
    if (ok && exec("COMMIT") == 0) {
        return 0;
    }
    std::string reason = reason_;
    exec("ROLLBACK");
    reason_ = reason;
    return fail("resume", why);
}

// ---- writing ---------------------------------------------------------------------------

void Store::sighting(const Sighting &s) {
    if (keepDays_ > 0 && !s.heartbeat) {
        sightings_.push_back(s);
    }
}

int Store::apply(const Event &e) {
    int64_t visit = 0;
    if (e.kind == EventKind::Move || e.kind == EventKind::Leave) {
        auto it = openVisits_.find(e.client);
        if (it == openVisits_.end()) {
            return 0;
        }
        visit = it->second.id;
        it->second.lastSeen = e.kind == EventKind::Leave ? e.lastSeen : e.time;
        if (!use("UPDATE stays SET until = ? WHERE visit = ? AND until IS NULL")
                 .real(1, seconds(e.kind == EventKind::Leave ? e.lastSeen : e.time))
                 .integer(2, visit)
                 .run()) {
            return -1;
        }
        rows_ += static_cast<uint64_t>(sqlite3_changes(db_));
    }
    switch (e.kind) {
    case EventKind::Arrive:
        if (!use("INSERT INTO visits(mumac, arrived, last_seen, ap, rssi, assoc) "
                 "VALUES(?, ?, ?, ?, ?, ?)")
                 .mac(1, e.client)
                 .real(2, seconds(e.since))
                 .real(3, seconds(e.time))
                 .mac(4, e.ap)
                 .integer(5, e.rssi)
                 .flag(6, e.assoc)
                 .run()) {
            return -1;
        }
        visit = sqlite3_last_insert_rowid(db_);
        openVisits_[e.client] = OpenVisit{visit, e.time};
        break;
    case EventKind::Move:
    case EventKind::Leave: {
        Use update = use("UPDATE visits SET departed = ?, last_seen = ?, ap = ?, rssi = ?, "
                         "assoc = ? WHERE id = ?");
        if (e.kind == EventKind::Leave) {
            update.real(1, seconds(e.lastSeen)); // a move leaves it NULL: still open
            openVisits_.erase(e.client);
        }
        if (!update.real(2, seconds(e.kind == EventKind::Leave ? e.lastSeen : e.time))
                 .mac(3, e.ap)
                 .integer(4, e.rssi)
                 .flag(5, e.assoc)
                 .integer(6, visit)
                 .run()) {
            return -1;
        }
        break;
    }
    case EventKind::ApSilent:
        if (!use("INSERT INTO silences(apmac, since) VALUES(?, ?)")
                 .mac(1, e.ap)
                 .real(2, seconds(e.since))
                 .run()) {
            return -1;
        }
        rows_++;
        return 0;
    case EventKind::ApBack:
        if (!use("UPDATE silences SET until = ? WHERE apmac = ? AND until IS NULL")
                 .real(1, seconds(e.time))
                 .mac(2, e.ap)
                 .run()) {
            return -1;
        }
        rows_ += static_cast<uint64_t>(sqlite3_changes(db_));
        return 0;
    case EventKind::ApClock:
        return 0;
    }
    rows_++;
    if (e.kind == EventKind::Leave) {
        return 0;
    }
    rows_++;
    return use("INSERT INTO stays(visit, apmac, since) VALUES(?, ?, ?)")
                   .integer(1, visit)
                   .mac(2, e.ap)
                   .real(3, seconds(e.kind == EventKind::Arrive ? e.since : e.time))
                   .run()
               ? 0
               : -1;
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
        if (!use("INSERT INTO aps(apmac, address, first_heard, last_heard, silent, clock_offset) "
                 "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(apmac) DO UPDATE SET "
                 "address = excluded.address, last_heard = excluded.last_heard, "
                 "silent = excluded.silent, clock_offset = excluded.clock_offset")
                 .mac(1, ap.apmac)
                 .text(2, ap.address)
                 .real(3, seconds(ap.firstHeard))
                 .real(4, seconds(ap.lastHeard))
                 .flag(5, ap.silent)
                 .real(6, seconds(ap.clockOffset))
                 .run()) {
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

int Store::writeSightings() {
    const bool failed =
        std::any_of(sightings_.begin(), sightings_.end(), [this](const Sighting &s) {
            return !use("INSERT INTO sightings VALUES(?, ?, ?, ?, ?, ?, ?)")
                        .real(1, seconds(s.received))
                        .mac(2, s.apmac)
                        .mac(3, s.mumac)
                        .integer(4, s.timestamp)
                        .integer(5, s.rssi)
                        .integer(6, s.channel)
                        .flag(7, s.assoc)
                        .run();
        });
    if (failed) {
        return -1;
    }
    rows_ += sightings_.size();
    sightings_.clear();
    return 0;
}

// Once a minute of the clock: sightings, and ended visits and silences, past their days.
int Store::prune(Millis now) {
    if ((keepDays_ == 0 && keepVisitDays_ == 0) || now - lastPrune_ < 60000) {
        return 0;
    }
    lastPrune_ = now;
    const double sightings = seconds(now) - keepDays_ * 86400.0;
    const double ended = seconds(now) - keepVisitDays_ * 86400.0;
    bool ok =
        keepDays_ == 0 || use("DELETE FROM sightings WHERE received < ?").real(1, sightings).run();
    if (ok && keepVisitDays_ > 0) {
        ok = use("DELETE FROM stays WHERE visit IN (SELECT id FROM visits WHERE departed < ?)")
                 .real(1, ended)
                 .run() &&
             use("DELETE FROM visits WHERE departed < ?").real(1, ended).run() &&
             use("DELETE FROM silences WHERE until < ?").real(1, ended).run();
    }
    return ok ? 0 : -1;
}

int64_t Store::forget(uint64_t mumac, std::string &why) {
    bool ok = exec("BEGIN IMMEDIATE") == 0 &&
              use("DELETE FROM stays WHERE visit IN (SELECT id FROM visits WHERE mumac = ?)")
                  .mac(1, mumac)
                  .run();
    int64_t rows = ok ? sqlite3_changes64(db_) : 0;
    ok = ok && use("DELETE FROM visits WHERE mumac = ?").mac(1, mumac).run();
    rows += ok ? sqlite3_changes64(db_) : 0;
    ok = ok && use("DELETE FROM sightings WHERE mumac = ?").mac(1, mumac).run();
    rows += ok ? sqlite3_changes64(db_) : 0;
    if (ok && exec("COMMIT") == 0) {
        return rows;
    }
    std::string reason = reason_;
    exec("ROLLBACK");
    reason_ = reason;
    return fail("write", why);
}

// Each open visit's last sighting, once it is an interval newer than the one written, and at
// the end every newer one: a run after a crash resumes it from there.
int Store::writeLastSeen(const Tracker &tracker, Millis interval, bool final) {
    for (const Presence &p : tracker.present()) {
        auto it = openVisits_.find(p.mumac);
        if (it == openVisits_.end() || p.lastSeen - it->second.lastSeen < (final ? 1 : interval)) {
            continue;
        }
        if (!use("UPDATE visits SET last_seen = ?, rssi = ?, assoc = ? WHERE id = ?")
                 .real(1, seconds(p.lastSeen))
                 .integer(2, p.rssi)
                 .flag(3, p.assoc)
                 .integer(4, it->second.id)
                 .run()) {
            return -1;
        }
        it->second.lastSeen = p.lastSeen;
        rows_++;
    }
    return 0;
}

int Store::flush(const Tracker &tracker, Millis interval, bool final, std::string &why) {
    committed_.clear();
    bool ok = exec("BEGIN") == 0;
    for (const Event &e : pending_) {
        ok = ok && apply(e) == 0;
    }
    ok = ok && writeAps(tracker, interval, final) == 0 && writeSightings() == 0 &&
         prune(tracker.now()) == 0 && writeLastSeen(tracker, interval, final) == 0 &&
         exec("COMMIT") == 0;
    if (ok) {
        transactions_++;
        committed_.swap(pending_);
        pending_.clear();
        return 0;
    }
    // Neither written nor to be told: the next run makes these events again from the file.
    pending_.clear();
    std::string reason = reason_;
    exec("ROLLBACK");
    reason_ = reason;
    return fail("write", why);
}

// ---- the query subcommands -------------------------------------------------------------

// A column of a printed table: its heading, its width, and the SQL that gives its cells.
struct Column {
    const char *name;
    int width; // negative: aligned left
    const char *sql;
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

// A heading line, then a line for each row of SELECT (the columns) FROM... (its ?1 bound to
// bound). Returns -1 with why set to the whole message.
static int printTable(sqlite3 *db, std::FILE *out, const std::vector<Column> &columns,
                      const char *from, double bound, const std::string &file, std::string &why) {
    std::vector<std::string> cells(columns.size());
    std::string select = "SELECT ";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        cells[i] = columns[i].name;
        select += (i == 0 ? "" : ", ") + std::string(columns[i].sql);
    }
    printCells(out, columns, cells);
    std::string reason;
    if (forEachRow(
            db, (select + " " + from).c_str(), bound,
            [&](const Row &row) {
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    cells[i] = row.textAt(static_cast<int>(i));
                }
                printCells(out, columns, cells);
            },
            reason) != 0) {
        why = failure(file, "read", reason);
        return -1;
    }
    return 0;
}

int Store::printNow(std::FILE *out, std::string &why) {
    return printTable(db_, out,
                      {{"client", -12, "mumac"},
                       {"ap", -12, "ap"},
                       {"address", -15, "address"},
                       {"rssi", 4, "rssi"},
                       {"assoc", 5, "assoc"},
                       {"arrived", -19, "datetime(arrived, 'unixepoch')"},
                       {"last seen", -19, "datetime(last_seen, 'unixepoch')"}},
                      "FROM present ORDER BY ap, mumac", 0, file_, why);
}

int Store::printVisits(std::FILE *out, double since, std::string &why) {
    return printTable(
        db_, out,
        {{"client", -12, "v.mumac"},
         {"arrived", -19, "datetime(v.arrived, 'unixepoch')"},
         {"departed", -19, "COALESCE(datetime(v.departed, 'unixepoch'), 'present')"},
         {"seconds", 7, "printf('%.0f', COALESCE(v.departed, v.last_seen) - v.arrived)"},
         {"at each ap", 0,
          "(SELECT group_concat(apmac || ' ' || printf('%.0f', seconds), ', ') "
          "FROM dwell d WHERE d.visit = v.id)"}},
        "FROM visits v WHERE COALESCE(v.departed, 9e18) >= ?1 ORDER BY v.arrived, v.id", since,
        file_, why);
}

int Store::printAps(std::FILE *out, std::string &why) {
    return printTable(db_, out,
                      {{"ap", -12, "apmac"},
                       {"address", -15, "address"},
                       {"state", -6, "CASE silent WHEN 0 THEN 'live' ELSE 'silent' END"},
                       {"clients", 7, "clients"},
                       {"first heard", -19, "datetime(first_heard, 'unixepoch')"},
                       {"last heard", -19, "datetime(last_heard, 'unixepoch')"},
                       {"clock offset s", 14, "CAST(round(clock_offset) AS INTEGER)"}},
                      "FROM ap_clients ORDER BY apmac", 0, file_, why);
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
    Use parsed = use("SELECT unixepoch(?) AS since");
    if (!parsed.text(1, text).row() || parsed.current().null("since")) {
        return -1;
    }
    since = parsed.current().real("since");
    return 0;
}

} // namespace presence
