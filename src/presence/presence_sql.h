// One way to run a read-only query, shared by the tables the subcommands print and the page.
#pragma once

#include <sqlite3.h>
#include <string>

// Runs sql (its ?1, if any, bound to bound), calling row with the statement for each result.
// Returns -1 with why set when the query cannot be prepared or stepped.
template <typename Row>
int forEachRow(sqlite3 *db, const char *sql, double bound, Row row, std::string &why) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        return -1;
    }
    if (sqlite3_bind_parameter_count(stmt) > 0) {
        sqlite3_bind_double(stmt, 1, bound);
    }
    int rc = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        row(stmt);
    }
    if (rc != SQLITE_DONE) {
        why = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE ? 0 : -1;
}
