#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <libpq-fe.h>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parlonda {

using Deadline = std::chrono::steady_clock::time_point;

// Why a call to the database did not give a result, in the server's or
// libpq's own words, on one line.
struct PostgresProblem
{
    std::string text;
    // The database cannot be reached now, or not in time; trying again later
    // may work. Otherwise the statement itself failed.
    bool unavailable = false;
};

struct PreparedStatement
{
    const char *name;
    const char *sql;
    int parameters;
};

using PostgresResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

class PostgresSession;

// The servers a connection URI names ("postgresql://db1,db2/...",
// "?host=db1,db2&port=5432,5433"), each connected to on its own, in turn,
// under a time-out of its own: `connect_timeout` when the URI gives one,
// else kServerTime. A server that does not answer in that time (stopped,
// or a machine that is off and drops the connection attempt), or that is
// not what target_session_attrs asks for, is skipped for the next. libpq
// walks the list itself only with blocking connects, which would hold the
// caller for as long as the first server hangs.
//
// A server that stopped answering, while connecting or during a statement,
// is tried after the others for kSilentFor, and the sessions opened on it
// before are given up (see PostgresSession::stillOpen). Safe from any thread.
class PostgresServers : public std::enable_shared_from_this<PostgresServers>
{
public:
    static constexpr std::chrono::seconds kServerTime{2};
    static constexpr std::chrono::seconds kSilentFor{30};

    // `uri` is read as libpq reads it (so do PGPASSFILE and the PG*
    // variables); a URI libpq cannot read is reported by connect().
    static std::shared_ptr<PostgresServers> from(const std::string &uri);

    // A session on the first server, in the URI's order (those that stopped
    // answering lately last), that takes it within its time-out and by
    // `deadline`. Null with `problem` set when none does.
    std::unique_ptr<PostgresSession> connect(Deadline deadline, PostgresProblem &problem);

    // The server (an index in the URI's list) stopped answering.
    void stoppedAnswering(std::size_t server);
    // Whether it has stopped answering since a session on it connected.
    bool silencedSince(std::size_t server, std::uint64_t stamp);

private:
    using Clock = std::chrono::steady_clock;
    struct Server
    {
        std::string name; // as messages show it: the host, hostaddr and port
        std::vector<std::pair<std::string, std::string>> parameters;
        Clock::time_point silentUntil{};
        std::uint64_t silencedAt = 0;
    };
    PostgresServers() = default;

    std::string m_unreadable; // why libpq cannot read the URI; empty when it can
    // Each server's own time-out; zero: none but the caller's deadline.
    Clock::duration m_serverTime{};
    std::mutex m_mutex;
    std::vector<Server> m_servers;
    std::uint64_t m_silences = 0;
};

// One libpq connection whose every call returns by its deadline, however
// the server or the network behaves: libpq is driven without blocking and
// the waiting is ours. Used by one thread at a time.
class PostgresSession
{
public:
    // A session on one of the servers `uri` names (see PostgresServers);
    // texts go both ways as UTF-8. Null with `problem` set when the
    // connection cannot be made, or the database does not keep UTF-8.
    static std::unique_ptr<PostgresSession> connect(const std::string &uri, Deadline deadline,
                                                    PostgresProblem &problem);
    ~PostgresSession();
    PostgresSession(const PostgresSession &) = delete;
    PostgresSession &operator=(const PostgresSession &) = delete;

    bool prepare(std::span<const PreparedStatement> statements, Deadline deadline,
                 PostgresProblem &problem);

    // One or more statements as plain SQL; the last one's result.
    PostgresResult execute(const char *sql, Deadline deadline, PostgresProblem &problem);
    // A statement prepare() made, with text parameters.
    PostgresResult run(const char *name, std::span<const char *const> parameters, Deadline deadline,
                       PostgresProblem &problem);

    // A statement with text parameters (null for NULL), not prepared.
    PostgresResult query(const char *sql, std::span<const char *const> parameters,
                         Deadline deadline, PostgresProblem &problem);
    // The same, its rows one at a time (libpq's single-row mode), so that a
    // large result never sits whole in memory; `quiet` is how long the
    // server may go without sending a row. Stops reading (the rest of the
    // rows are read and dropped) when `row` returns false. False with
    // `problem` set.
    bool stream(const char *sql, std::span<const char *const> parameters,
                std::chrono::milliseconds quiet, const std::function<bool(const PGresult *)> &row,
                PostgresProblem &problem);
    // COPY ... FROM STDIN: begun, fed rows in COPY's text format (any
    // number of whole or partial rows a call), ended. Each waits at most
    // `quiet` for the server. False with `problem` set.
    bool beginCopy(const char *sql, std::chrono::milliseconds quiet, PostgresProblem &problem);
    bool putCopy(std::string_view data, std::chrono::milliseconds quiet, PostgresProblem &problem);
    bool endCopy(std::chrono::milliseconds quiet, PostgresProblem &problem);

    // False once the server has ended the session while it sat idle (a
    // restart, a crash, a fail-over, an administrator's command), or sent
    // anything at all then, or once another session found the server no
    // longer answering, and `problem` says why. Nothing has been sent then,
    // so a new session can safely do the work.
    bool stillOpen(PostgresProblem &problem);

    // False after a call that lost the connection or ran out of time: the
    // server may still be working on it, so the session must go.
    bool usable() const { return m_usable; }

private:
    friend class PostgresServers;
    explicit PostgresSession(PGconn *connection) : m_connection(connection) {}
    enum class Outcome { Ready, Failed, TimedOut };
    // Drives the connection libpq started to its end, or to `deadline`.
    Outcome establish(Deadline deadline, PostgresProblem &problem);
    PostgresResult finish(Deadline deadline, PostgresProblem &problem);
    // Reads (and with `flushing`, sends what is queued) until a result is
    // in, waiting each time until deadline(). False after saying why.
    bool awaitResult(int socket, bool flushing, const std::function<Deadline()> &deadline,
                     PostgresProblem &problem);
    // A statement that failed: why, and whether the session may go on.
    void failed(const PGresult *failure, PostgresProblem &problem);
    PostgresResult lost(PostgresProblem &problem);
    PostgresResult timedOut(PostgresProblem &problem);
    static void noticed(void *session, const PGresult *notice);

    PGconn *m_connection;
    bool m_usable = true;
    // Where it is connected, to hear when that server stops answering.
    std::shared_ptr<PostgresServers> m_servers;
    std::size_t m_server = 0;
    std::uint64_t m_stamp = 0;
    // What the server said before closing the connection on its own.
    std::string m_farewell;
};

// libpq's messages span lines ("...failed: ...\n\tIs the server running...");
// the log and the refusal to start take one.
std::string oneLine(const char *message);

} // namespace parlonda
