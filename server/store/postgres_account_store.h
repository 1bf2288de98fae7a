#pragma once

#include "server/store/account_store.h"
#include "server/store/database_inspection.h"

#include <chrono>
#include <memory>
#include <mutex>
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
    std::unique_ptr<pg_result, void (*)(pg_result *)> readByNick(const char *statement,
                                                                 const std::string &nickKey,
                                                                 Lookup &failure,
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
