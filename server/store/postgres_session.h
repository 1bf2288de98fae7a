#pragma once

#include <chrono>
#include <functional>
#include <libpq-fe.h>
#include <memory>
#include <span>
#include <string>
#include <string_view>

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

// One libpq connection whose every call returns by its deadline, however
// the server or the network behaves: libpq is driven without blocking and
// the waiting is ours. Used by one thread at a time.
class PostgresSession
{
public:
    // `uri` goes to libpq untouched (so do PGPASSFILE and the PG* variables);
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
    // anything at all then, and `problem` says why. Nothing has been sent
    // then, so a new session can safely do the work.
    bool stillOpen(PostgresProblem &problem);

    // False after a call that lost the connection or ran out of time: the
    // server may still be working on it, so the session must go.
    bool usable() const { return m_usable; }

private:
    explicit PostgresSession(PGconn *connection) : m_connection(connection) {}
    PostgresResult finish(Deadline deadline, PostgresProblem &problem);
    PostgresResult lost(PostgresProblem &problem);
    PostgresResult timedOut(PostgresProblem &problem);
    static void noticed(void *session, const PGresult *notice);

    PGconn *m_connection;
    bool m_usable = true;
    // What the server said before closing the connection on its own.
    std::string m_farewell;
};

// libpq's messages span lines ("...failed: ...\n\tIs the server running...");
// the log and the refusal to start take one.
std::string oneLine(const char *message);

} // namespace parlonda
