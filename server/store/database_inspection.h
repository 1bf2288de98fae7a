#pragma once

#include <cstddef>
#include <string>

namespace parlonda {

// What a start would do to the accounts database, found without changing
// anything in it: for --check, and for --init-db to say what it did.
struct DatabaseInspection
{
    enum class Action { None, Create, Upgrade };
    Action action = Action::None;
    bool createsFile = false; // SQLite: the file is not there yet
    long long version = 0;    // the schema version it has now
    std::size_t newest = 0;   // the one this release brings it to
    std::string shown;        // the file, or the URI without its password
};

// Opens the database read-only (an SQLite file with SQLITE_OPEN_READONLY,
// PostgreSQL in a read-only transaction) and reads its schema version as a
// start does. False with the reason in `error` when a start would refuse
// it: out of reach, not writable, changed by a newer release.
bool inspectDatabase(const std::string &where, DatabaseInspection &found, std::string &error);

// "a start would create /var/lib/x.db and its table", or with `done`
// "created /var/lib/x.db and its table".
std::string databasePlan(const DatabaseInspection &found, bool done);

} // namespace parlonda
