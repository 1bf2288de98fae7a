#pragma once

#include "server/store/account_store.h"
#include "server/store/database_inspection.h"

#include <memory>
#include <mutex>
#include <string>

namespace parlonda {

// The accounts in one SQLite file: the service on one machine.
class SqliteAccountStore final : public AccountStore
{
public:
    // Opens the file, creating it (readable by its owner only) and the table
    // when missing, and writes to it once.
    static std::unique_ptr<AccountStore> open(const std::string &path, std::string &error);

    // What open() would do, found read-only (see inspectDatabase()).
    static bool inspect(const std::string &path, DatabaseInspection &found, std::string &error);

    ~SqliteAccountStore() override;

    Lookup lookup(const std::string &nickKey, std::string &error) override;
    Lookup findAccount(const std::string &nickKey, StoredAccount &found,
                       std::string &error) override;
    bool canAdd(std::string &error) override;
    AddResult add(const Account &account, const std::string &passwordHash,
                  std::string &error) override;

private:
    struct Connection;
    SqliteAccountStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader);

    // Two connections, so that a look-up never waits behind a sign-up's
    // commit (in WAL mode readers and the writer do not block each other).
    std::mutex m_writeMutex;
    std::unique_ptr<Connection> m_writer;
    std::mutex m_readMutex;
    std::unique_ptr<Connection> m_reader;
};

} // namespace parlonda
