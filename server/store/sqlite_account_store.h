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
    // when missing, and writes to it once unless told not to.
    static std::unique_ptr<AccountStore> open(const std::string &path, std::string &error,
                                              bool proveWritable = true);

    // What open() would do, found read-only (see inspectDatabase()).
    static bool inspect(const std::string &path, DatabaseInspection &found, std::string &error);

    ~SqliteAccountStore() override;

    Lookup lookup(const std::string &nickKey, std::string &error) override;
    Lookup findAccount(const std::string &nickKey, StoredAccount &found,
                       std::string &error) override;
    bool canAdd(std::string &error) override;
    AddResult add(const Account &account, const std::string &passwordHash,
                  std::string &error) override;

    Change lock(const std::string &nickKey, const std::string &reason, std::string &error) override;
    Change unlock(const std::string &nickKey, std::string &error) override;
    Change setPasswordHash(const std::string &nickKey, const std::string &passwordHash,
                           std::string &error) override;
    // With secure_delete on and the -wal file checkpointed and truncated
    // after: the account's bytes are in neither file.
    Change erase(const std::string &nickKey, std::string &error) override;
    Lookup record(const std::string &nickKey, AccountRecord &found, std::string &error) override;
    Change forEach(const AccountFilter &filter, bool withHash,
                   const std::function<bool(const AccountRecord &)> &each,
                   std::string &error) override;
    Change forEachTombstone(const std::function<bool(const Tombstone &)> &each,
                            std::string &error) override;
    Change import(AccountStore &source, ImportOutcome &outcome, std::string &error) override;
    // SQLite's online backup into a new file, mode 0600, in one step (one
    // read transaction), checked with PRAGMA integrity_check.
    Change backup(const std::string &path, std::string &error) override;

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
