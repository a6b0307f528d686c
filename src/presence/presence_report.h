// The HTML page: clients present per access point over time, and the access points'
// liveness, from the database alone.
#pragma once

#include <string>

struct sqlite3;

namespace presence {

// Writes one self-contained page (inline SVG and CSS, no script) covering since (Unix
// seconds; 0: everything kept) to the last time the database (read from dbFile) knows.
// Returns -1 with why set to the whole message.
int writeReport(sqlite3 *db, const std::string &dbFile, const std::string &file, double since,
                std::string &why);

} // namespace presence
