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

    // Opens the database in WAL mode, creating it when create is set. Returns -1 with why set.
    int open(const std::string &file, bool create, std::string &why);
    // Gives the tracker the access points and open visits kept.
    void resume(Tracker &tracker);
    // keepDays > 0 keeps every sighting that long.
    void keepSightings(int keepDays) { keepDays_ = keepDays; }

    void record(const Event &e) { pending_.push_back(e); }
    void sighting(const Sighting &s);
    // Writes what changed in one transaction; at the end (final) every open visit's last
    // sighting too. Returns -1 with why set.
    int flush(const Tracker &tracker, Millis interval, bool final, std::string &why);

    uint64_t rowsWritten() const { return rows_; }
    uint64_t transactions() const { return transactions_; }

    // The query subcommands: a table on out. Return -1 with why set.
    int printNow(std::FILE *out, std::string &why);
    int printVisits(std::FILE *out, double since, std::string &why);
    int printAps(std::FILE *out, std::string &why);
    // "2h", "30m", "1d", Unix seconds or "YYYY-MM-DD[ HH:MM[:SS]]" (UTC). Returns -1 if none.
    int parseSince(const std::string &text, double now, double &since);

    sqlite3 *handle() { return db_; }

  private:
    int exec(const char *sql, std::string &why);
    sqlite3_stmt *statement(const char *sql);
    int apply(const Event &e);
    int writeAps(const Tracker &tracker, Millis interval, bool final);
    int writeSightings(Millis now);

    sqlite3 *db_ = nullptr;
    std::unordered_map<const char *, sqlite3_stmt *> statements_;
    std::unordered_map<uint64_t, int64_t> openVisits_; // client -> visit id
    std::vector<Event> pending_;
    std::vector<Sighting> sightings_;
    std::vector<Millis> apWritten_; // last heard as written, by the tracker's index
    std::vector<bool> apSilentWritten_;
    int keepDays_ = 0;
    Millis lastPrune_ = 0;
    uint64_t rows_ = 0;
    uint64_t transactions_ = 0;
};

} // namespace presence
