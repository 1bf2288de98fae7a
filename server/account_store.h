#pragma once

#include "server/registration_form.h"

#include <memory>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace parlonda {

// The accounts, in one SQLite file. The database, not the caller, decides
// whether a nick is free: the folded nick is UNIQUE, so of two sign-ups that
// race for one nick exactly one is added.
class AccountStore
{
public:
    enum class AddResult { Added, Taken, Failed };

    // Opens the file, creating it and the table when missing. Null with a
    // reason in `error` when that fails.
    static std::unique_ptr<AccountStore> open(const std::string &path, std::string &error);

    ~AccountStore();
    AccountStore(const AccountStore &) = delete;
    AccountStore &operator=(const AccountStore &) = delete;

    // Safe from any thread. `error` is set only for Failed.
    AddResult add(const Registration &account, const std::string &passwordHash, std::string &error);

private:
    AccountStore(sqlite3 *db, sqlite3_stmt *insert);

    std::mutex m_mutex; // one connection, one prepared statement
    sqlite3 *m_db;
    sqlite3_stmt *m_insert;
};

} // namespace parlonda
