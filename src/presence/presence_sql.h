// What the store and the page share about SQLite: the form of a failure's message, a result
// row read by its columns' names, and one way to run a read-only query.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>
#include <string>

namespace presence {

// "FILE: cannot OPERATION: REASON", the one form of every database and output failure.
inline std::string failure(const std::string &file, const char *operation,
                           const std::string &reason) {
    return file + ": cannot " + operation + ": " + reason;
}

// The current row of a statement, each column read by the name its query gives it (a table's
// column name, or what AS says), so that no reader depends on the order of a SELECT.
class Row {
  public:
    explicit Row(sqlite3_stmt *stmt) : stmt_(stmt) {}
    double real(const char *name) const { return sqlite3_column_double(stmt_, at(name)); }
    int64_t integer(const char *name) const { return sqlite3_column_int64(stmt_, at(name)); }
    bool flag(const char *name) const { return integer(name) != 0; }
    bool null(const char *name) const {
        return sqlite3_column_type(stmt_, at(name)) == SQLITE_NULL;
    }
    std::string text(const char *name) const { return textAt(at(name)); }
    std::string textAt(int i) const {
        const unsigned char *value = sqlite3_column_text(stmt_, i);
        return value != nullptr ? reinterpret_cast<const char *>(value) : "";
    }

  private:
    // A name the query does not give is this program's own mistake, and any run of the
    // query shows it.
    int at(const char *name) const {
        for (int i = 0; i < sqlite3_column_count(stmt_); ++i) {
            if (std::strcmp(sqlite3_column_name(stmt_, i), name) == 0) {
                return i;
            }
        }
        std::fprintf(stderr, "station-presence: no column %s in %s\n", name, sqlite3_sql(stmt_));
        std::abort();
    }

    sqlite3_stmt *stmt_;
};

// Runs sql (its ?1, if any, bound to bound), calling row with a Row for each result.
// Returns -1 with why set to SQLite's reason when the query cannot be prepared or stepped.
template <typename OnRow>
int forEachRow(sqlite3 *db, const char *sql, double bound, OnRow row, std::string &why) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        return -1;
    }
    int rc =
        sqlite3_bind_parameter_count(stmt) > 0 ? sqlite3_bind_double(stmt, 1, bound) : SQLITE_OK;
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            row(Row(stmt));
        }
    }
    if (rc != SQLITE_DONE) {
        why = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt); // its result repeats the step's, handled above
    return rc == SQLITE_DONE ? 0 : -1;
}

} // namespace presence
