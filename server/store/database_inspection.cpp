#include "server/store/database_inspection.h"

#include "server/store/account_store.h"
#include "server/store/postgres_account_store.h"
#include "server/store/sqlite_account_store.h"

namespace parlonda {

bool inspectDatabase(const std::string &where, DatabaseInspection &found, std::string &error)
{
    if (AccountStore::isPostgresUri(where))
        return PostgresAccountStore::inspect(where, found, error);
    return SqliteAccountStore::inspect(where, found, error);
}

std::string databasePlan(const DatabaseInspection &found, bool done)
{
    const std::string newest = std::to_string(found.newest);
    switch (found.action) {
    case DatabaseInspection::Action::Create:
        if (found.createsFile)
            return (done ? "created " : "a start would create ") + found.shown + " and its table";
        return (done ? "created the table in " : "a start would create the table in ") +
               found.shown;
    case DatabaseInspection::Action::Upgrade:
        return (done ? "upgraded the schema of " : "a start would upgrade the schema of ") +
               found.shown + " from version " + std::to_string(found.version) + " to " + newest;
    case DatabaseInspection::Action::None:
        break;
    }
    return found.shown + " is at schema version " + newest +
           (done ? " already: nothing to do" : ": a start changes nothing in it");
}

} // namespace parlonda
