// SQLite storage: visits with their stays at each access point, access points and their
// silences, raw sightings on request; the answers of the query subcommands.
#pragma once

#include "presence_state.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace presence {

class Store {
  public:
    Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    ~Store();

    // Read: for a query, read-only. Change: read-write, as Follow, but never created.
    // Follow: read-write in WAL mode, created when missing.
    enum class Access { Read, Change, Follow };
    // Opens file. A database of an older schema is migrated when written; a file that is
    // not this program's, or of a newer schema, is refused unchanged. Returns -1 with why
    // set to the whole message ("FILE: cannot OPERATION: REASON"), as every failure below.
    int open(const std::string &file, Access access, std::string &why);
    // Gives the tracker the access points and open visits kept.
    int resume(Tracker &tracker, std::string &why);
    // sightingDays > 0 keeps every sighting that long; visitDays > 0 keeps visits (with
    // their stays) and silences that long after they ended.
    void keep(int sightingDays, int visitDays) {
        keepDays_ = sightingDays;
        keepVisitDays_ = visitDays;
    }
    // Removes every row of one client: its visits, their stays, its sightings. Returns the
    // number of rows removed, or -1 with why set.
    int64_t forget(uint64_t mumac, std::string &why);

    void record(const Event &e) { pending_.push_back(e); }
    void sighting(const Sighting &s);
    // Writes what changed in one transaction; at the end (final) every open visit's last
    // sighting too. Returns -1 with why set.
    int flush(const Tracker &tracker, Millis interval, bool final, std::string &why);
    // The events the last flush wrote (none when it failed), to be told only now: an event
    // told before a crash is then one the database holds, and is never told again.
    const std::vector<Event> &committed() const { return committed_; }

    uint64_t rowsWritten() const { return rows_; }
    uint64_t transactions() const { return transactions_; }

    // The query subcommands: a table on out. Return -1 with why set.
    int printNow(std::FILE *out, std::string &why);
    int printVisits(std::FILE *out, double since, std::string &why);
    int printAps(std::FILE *out, std::string &why);
    // "2h", "30m", "1d", Unix seconds or "YYYY-MM-DD[ HH:MM[:SS]]" (UTC). Returns -1 if none.
    int parseSince(const std::string &text, double now, double &since);

    sqlite3 *handle() { return db_; }
    const std::string &file() const { return file_; }

  private:
    class Use;
    int exec(const char *sql);
    int fail(const char *operation, std::string &why) const;
    int connect(bool follow, bool immutable);
    int prepare(bool fresh);
    Use use(const char *sql);
    int apply(const Event &e);
    int writeAps(const Tracker &tracker, Millis interval, bool final);
    int writeSightings();
    int prune(Millis now);
    int writeLastSeen(const Tracker &tracker, Millis interval, bool final);

    sqlite3 *db_ = nullptr;
    std::string file_;
    std::string reason_; // SQLite's reason for the last failure
    std::unordered_map<const char *, sqlite3_stmt *> statements_;
    struct OpenVisit {
        int64_t id = 0;
        Millis lastSeen = 0; // as written
    };
    std::unordered_map<uint64_t, OpenVisit> openVisits_; // by client
    std::vector<Event> pending_;
    std::vector<Event> committed_;
    std::vector<Sighting> sightings_;
    std::vector<Millis> apWritten_; // last heard as written, by the tracker's index
    std::vector<bool> apSilentWritten_;
    int keepDays_ = 0;
    int keepVisitDays_ = 0;
    Millis lastPrune_ = 0;
    uint64_t rows_ = 0;
    uint64_t transactions_ = 0;
};

} // namespace presence
