// What the store and the page share about SQLite: the form of a failure's message, and one
// way to run a read-only query.
#pragma once

#include <sqlite3.h>
#include <string>

namespace presence {

// "FILE: cannot OPERATION: REASON", the one form of every database and output failure.
inline std::string failure(const std::string &file, const char *operation,
                           const std::string &reason) {
    return file + ": cannot " + operation + ": " + reason;
}

} // namespace presence

// Runs sql (its ?1, if any, bound to bound), calling row with the statement for each result.
// Returns -1 with why set to SQLite's reason when the query cannot be prepared or stepped.
template <typename Row>
int forEachRow(sqlite3 *db, const char *sql, double bound, Row row, std::string &why) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        return -1;
    }
    int rc =
        sqlite3_bind_parameter_count(stmt) > 0 ? sqlite3_bind_double(stmt, 1, bound) : SQLITE_OK;
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            row(stmt);
        }
    }
    if (rc != SQLITE_DONE) {
        why = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt); // its result repeats the step's, handled above
    return rc == SQLITE_DONE ? 0 : -1;
}
