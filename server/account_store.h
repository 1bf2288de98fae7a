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
    enum class Lookup { Free, Taken, Failed };

    // Opens the file, creating it (readable by its owner only) and the table
    // when missing, and writes to it once, so that a database that cannot be
    // written is found now rather than at the first sign-up. Null with a
    // reason in `error` when that fails.
    static std::unique_ptr<AccountStore> open(const std::string &path, std::string &error);

    ~AccountStore();
    AccountStore(const AccountStore &) = delete;
    AccountStore &operator=(const AccountStore &) = delete;

    // Whether an account has this folded nick. Cheap, and never waits for a
    // sign-up being written, so the service answers a taken nick without
    // spending a password hash on it. Safe from any thread.
    Lookup lookup(const std::string &nickKey, std::string &error);

    // Safe from any thread. `error` is set only for Failed.
    AddResult add(const Registration &account, const std::string &passwordHash, std::string &error);

private:
    struct Connection;
    AccountStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader);

    // Two connections, so that a look-up never waits behind a sign-up's
    // commit (in WAL mode readers and the writer do not block each other).
    std::mutex m_writeMutex;
    std::unique_ptr<Connection> m_writer;
    std::mutex m_readMutex;
    std::unique_ptr<Connection> m_reader;
};

} // namespace parlonda
