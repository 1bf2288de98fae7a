#pragma once

#include "server/store/account_store.h"
#include "server/store/database_inspection.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct pg_result; // libpq's PGresult

namespace parlonda {

class PostgresServers;
class PostgresSession;

// The accounts in a PostgreSQL database, which several instances of the
// service share. Look-ups and checks go through one connection of their
// own, so that they never wait behind a sign-up; sign-ups take a connection
// each from a pool that grows to as many as are written at once (at most the
// hash workers). A connection found lost is replaced by a new one at the
// next call; the call that met the loss reports Unavailable. A session
// that stops answering goes too, with every other one on its server, and
// the next connection tries the URI's other servers first.
class PostgresAccountStore final : public AccountStore
{
public:
    // Connects, creates the table when missing and checks that rows can be
    // added. Fails when the server cannot be reached: there is nothing to
    // serve until it can, and a supervisor restarting the service notices.
    static std::unique_ptr<AccountStore> open(const std::string &uri, std::string &error);

    // What open() would do, found read-only (see inspectDatabase()).
    static bool inspect(const std::string &uri, DatabaseInspection &found, std::string &error);

    ~PostgresAccountStore() override;

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
    // Under a lock that sign-ups' inserts wait for, so that one racing the
    // deletion meets the tombstone; then VACUUM of the table where this
    // role may (`error` says when it may not): the row's old versions stay
    // in the table's files until then.
    Change erase(const std::string &nickKey, std::string &error) override;
    Lookup record(const std::string &nickKey, AccountRecord &found, std::string &error) override;
    // In single-row mode.
    Change forEach(const AccountFilter &filter, bool withHash,
                   const std::function<bool(const AccountRecord &)> &each,
                   std::string &error) override;
    Change forEachTombstone(const std::function<bool(const Tombstone &)> &each,
                            std::string &error) override;
    // By COPY into temporary tables.
    Change import(AccountStore &source, ImportOutcome &outcome, std::string &error) override;
    Change backup(const std::string &path, std::string &error) override;

private:
    enum class Role { Reader, Writer };
    explicit PostgresAccountStore(std::shared_ptr<PostgresServers> servers);
    // `session` open and prepared for its role: kept when still open, else a
    // new one.
    bool ready(std::unique_ptr<PostgresSession> &session, Role role,
               std::chrono::steady_clock::time_point deadline, std::string &error,
               bool &unavailable);
    // Runs the prepared `statement` for one folded nick on the reading
    // session; null when the database did not answer, with `failure` and
    // `error` set.
    std::unique_ptr<pg_result, void (*)(pg_result *)>
    readByNick(const char *statement, std::span<const char *const> parameters, Lookup &failure,
               std::string &error);
    // A writing session for the operator's side, given back by the caller
    // with giveBack().
    std::unique_ptr<PostgresSession> takeSession(std::string &error, bool &unavailable);
    void giveBack(std::unique_ptr<PostgresSession> session);
    // One statement of the operator's on a writing session.
    Change change(const char *sql, std::span<const char *const> parameters, const char *what,
                  std::string &error);

    const std::shared_ptr<PostgresServers> m_servers;
    std::mutex m_readMutex;
    std::unique_ptr<PostgresSession> m_reader;
    std::mutex m_writersMutex;
    std::vector<std::unique_ptr<PostgresSession>> m_idleWriters;
};

// The connection URI as it may be shown: without its password, whether in
// the user part ("user:secret@host") or a parameter ("?password=secret").
std::string uriWithoutPassword(std::string_view uri);

} // namespace parlonda
