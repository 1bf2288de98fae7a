#include "server/store/postgres_session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <string_view>

namespace parlonda {
namespace {

// Waits until the socket is ready for `events`; false at the deadline. An
// error on the socket counts as ready: libpq then says what it is.
bool waitFor(int socket, short events, Deadline deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        pollfd descriptor{socket, events, 0};
        const int ready = ::poll(&descriptor, 1, timeout);
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return true;
    }
}

// Whether a statement failed because of where the database is rather than
// what was asked: the connection (class 08), a server shutting down,
// starting or cancelling (57), out of connections or disk (53), a server
// that became a read-only standby after a fail-over (25006), or a
// transaction the server gave up to break a deadlock (40).
bool meansUnavailable(const PGresult *result)
{
    const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (!state)
        return true; // an error of libpq's own: the connection is gone
    const std::string_view code(state);
    return code.starts_with("08") || code.starts_with("57") || code.starts_with("53") ||
           code.starts_with("40") || code == "25006";
}

} // namespace

std::string oneLine(const char *message)
{
    std::string line;
    bool space = false;
    for (const char *c = message ? message : ""; *c; ++c) {
        if (*c == '\n' || *c == '\t' || *c == '\r' || *c == ' ') {
            space = true;
            continue;
        }
        if (space && !line.empty())
            line += ' ';
        space = false;
        line += *c;
    }
    return line;
}

std::unique_ptr<PostgresSession> PostgresSession::connect(const std::string &uri, Deadline deadline,
                                                          PostgresProblem &problem)
{
    problem.unavailable = true;
    // The URI is expanded first, so that the encoding given after it holds
    // whatever the URI says: every text this program handles is UTF-8.
    const char *const keywords[] = {"dbname", "client_encoding", "fallback_application_name",
                                    nullptr};
    const char *const values[] = {uri.c_str(), "UTF8", "parlonda-regnick", nullptr};
    std::unique_ptr<PostgresSession> session(
        new PostgresSession(PQconnectStartParams(keywords, values, 1)));
    PGconn *connection = session->m_connection;
    if (!connection) {
        problem.text = "out of memory";
        return nullptr;
    }
    // Notices such as "relation already exists, skipping" would go to
    // standard error; the only one worth keeping is a farewell.
    PQsetNoticeReceiver(connection, &PostgresSession::noticed, session.get());

    // libpq's own connect_timeout is for blocking connections only.
    PostgresPollingStatusType polling =
        PQstatus(connection) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (polling != PGRES_POLLING_OK) {
        if (polling == PGRES_POLLING_FAILED) {
            problem.text = oneLine(PQerrorMessage(connection));
            return nullptr;
        }
        if (!waitFor(PQsocket(connection), polling == PGRES_POLLING_READING ? POLLIN : POLLOUT,
                     deadline)) {
            problem.text = "no answer in time";
            return nullptr;
        }
        polling = PQconnectPoll(connection);
    }
    if (PQsetnonblocking(connection, 1) != 0) {
        problem.text = oneLine(PQerrorMessage(connection));
        return nullptr;
    }
    // A database in another encoding would refuse (or, as SQL_ASCII,
    // garble) the letters beyond its own set.
    const char *encoding = PQparameterStatus(connection, "server_encoding");
    if (!encoding || std::string_view(encoding) != "UTF8") {
        problem.text =
            std::string("the database's encoding is ") + (encoding ? encoding : "?") + ", not UTF8";
        problem.unavailable = false;
        return nullptr;
    }
    problem.unavailable = false;
    return session;
}

PostgresSession::~PostgresSession()
{
    PQfinish(m_connection);
}

bool PostgresSession::prepare(std::span<const PreparedStatement> statements, Deadline deadline,
                              PostgresProblem &problem)
{
    for (const PreparedStatement &statement : statements) {
        if (!PQsendPrepare(m_connection, statement.name, statement.sql, statement.parameters,
                           nullptr)) {
            lost(problem);
            return false;
        }
        if (!finish(deadline, problem))
            return false;
    }
    return true;
}

PostgresResult PostgresSession::execute(const char *sql, Deadline deadline,
                                        PostgresProblem &problem)
{
    if (!PQsendQuery(m_connection, sql))
        return lost(problem);
    return finish(deadline, problem);
}

PostgresResult PostgresSession::run(const char *name, std::span<const char *const> parameters,
                                    Deadline deadline, PostgresProblem &problem)
{
    if (!PQsendQueryPrepared(m_connection, name, static_cast<int>(parameters.size()),
                             parameters.data(), nullptr, nullptr, 0))
        return lost(problem);
    return finish(deadline, problem);
}

PostgresResult PostgresSession::finish(Deadline deadline, PostgresProblem &problem)
{
    const int socket = PQsocket(m_connection);
    for (;;) {
        const int flushed = PQflush(m_connection);
        if (flushed == 0)
            break;
        if (flushed < 0)
            return lost(problem);
        // The server may be sending while we send: read that, or both stall.
        if (!waitFor(socket, POLLIN | POLLOUT, deadline))
            return timedOut(problem);
        if (!PQconsumeInput(m_connection))
            return lost(problem);
    }

    PostgresResult last(nullptr, &PQclear);
    PostgresResult failure(nullptr, &PQclear);
    for (;;) {
        while (PQisBusy(m_connection)) {
            if (!waitFor(socket, POLLIN, deadline))
                return timedOut(problem);
            if (!PQconsumeInput(m_connection))
                return lost(problem);
        }
        PostgresResult result(PQgetResult(m_connection), &PQclear);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE) {
            if (!failure)
                failure = std::move(result);
        } else {
            last = std::move(result);
        }
    }
    if (failure) {
        problem.text = oneLine(PQresultErrorMessage(failure.get()));
        problem.unavailable = meansUnavailable(failure.get());
        if (problem.unavailable || PQstatus(m_connection) != CONNECTION_OK)
            m_usable = false;
        return PostgresResult(nullptr, &PQclear);
    }
    return last;
}

PostgresResult PostgresSession::lost(PostgresProblem &problem)
{
    m_usable = false;
    problem.unavailable = true;
    problem.text = m_farewell.empty() ? oneLine(PQerrorMessage(m_connection)) : m_farewell;
    if (problem.text.empty())
        problem.text = "the connection was lost";
    return PostgresResult(nullptr, &PQclear);
}

PostgresResult PostgresSession::timedOut(PostgresProblem &problem)
{
    m_usable = false;
    problem.unavailable = true;
    problem.text = "no answer in time";
    return PostgresResult(nullptr, &PQclear);
}

bool PostgresSession::stillOpen(PostgresProblem &problem)
{
    if (!m_usable || PQstatus(m_connection) != CONNECTION_OK) {
        lost(problem);
        return false;
    }
    pollfd descriptor{PQsocket(m_connection), POLLIN, 0};
    if (::poll(&descriptor, 1, 0) == 0)
        return true; // the usual case: an idle server says nothing
    // It says something only to take leave, and not always FATAL: a server
    // shut down at once (or one whose sibling crashed) sends a WARNING, and
    // the end of the connection may come after this read. Reading it hands
    // the notice to noticed(); whatever it was, the session goes.
    PQconsumeInput(m_connection);
    PQisBusy(m_connection);
    lost(problem);
    return false;
}

void PostgresSession::noticed(void *session, const PGresult *notice)
{
    const char *severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    const char *state = PQresultErrorField(notice, PG_DIAG_SQLSTATE);
    if ((severity &&
         (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0)) ||
        (state && std::string_view(state).starts_with("57")))
        static_cast<PostgresSession *>(session)->m_farewell = oneLine(PQresultErrorMessage(notice));
}

PostgresResult PostgresSession::query(const char *sql, std::span<const char *const> parameters,
                                      Deadline deadline, PostgresProblem &problem)
{
    if (!PQsendQueryParams(m_connection, sql, static_cast<int>(parameters.size()), nullptr,
                           parameters.data(), nullptr, nullptr, 0))
        return lost(problem);
    return finish(deadline, problem);
}

bool PostgresSession::stream(const char *sql, std::span<const char *const> parameters,
                             std::chrono::milliseconds quiet,
                             const std::function<bool(const PGresult *)> &row,
                             PostgresProblem &problem)
{
    if (!PQsendQueryParams(m_connection, sql, static_cast<int>(parameters.size()), nullptr,
                           parameters.data(), nullptr, nullptr, 0) ||
        !PQsetSingleRowMode(m_connection)) {
        lost(problem);
        return false;
    }
    const int socket = PQsocket(m_connection);
    bool reading = true;
    PostgresResult failure(nullptr, &PQclear);
    for (;;) {
        while (PQisBusy(m_connection)) {
            if (!waitFor(socket, POLLIN, std::chrono::steady_clock::now() + quiet)) {
                timedOut(problem);
                return false;
            }
            if (!PQconsumeInput(m_connection)) {
                lost(problem);
                return false;
            }
        }
        PostgresResult result(PQgetResult(m_connection), &PQclear);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_SINGLE_TUPLE) {
            if (reading)
                reading = row(result.get());
        } else if (status != PGRES_TUPLES_OK && !failure) {
            failure = std::move(result);
        }
    }
    if (failure) {
        problem.text = oneLine(PQresultErrorMessage(failure.get()));
        problem.unavailable = meansUnavailable(failure.get());
        m_usable = m_usable && !problem.unavailable && PQstatus(m_connection) == CONNECTION_OK;
        return false;
    }
    return true;
}

bool PostgresSession::beginCopy(const char *sql, std::chrono::milliseconds quiet,
                                PostgresProblem &problem)
{
    if (!PQsendQuery(m_connection, sql)) {
        lost(problem);
        return false;
    }
    const int socket = PQsocket(m_connection);
    // The server answers COPY IN, or an error.
    while (PQflush(m_connection) > 0 || PQisBusy(m_connection)) {
        if (!waitFor(socket, POLLIN | POLLOUT, std::chrono::steady_clock::now() + quiet)) {
            timedOut(problem);
            return false;
        }
        if (!PQconsumeInput(m_connection)) {
            lost(problem);
            return false;
        }
    }
    PostgresResult started(PQgetResult(m_connection), &PQclear);
    if (PQresultStatus(started.get()) == PGRES_COPY_IN)
        return true;
    problem.text = oneLine(PQresultErrorMessage(started.get()));
    problem.unavailable = !started || meansUnavailable(started.get());
    // The rest of the results, up to the end of the statement.
    while (PostgresResult(PQgetResult(m_connection), &PQclear)) {
    }
    return false;
}

bool PostgresSession::putCopy(std::string_view data, std::chrono::milliseconds quiet,
                              PostgresProblem &problem)
{
    const int socket = PQsocket(m_connection);
    int put = 0;
    while ((put = PQputCopyData(m_connection, data.data(), static_cast<int>(data.size()))) == 0) {
        if (!waitFor(socket, POLLOUT, std::chrono::steady_clock::now() + quiet)) {
            timedOut(problem);
            return false;
        }
    }
    if (put < 0) {
        lost(problem);
        return false;
    }
    return true;
}

bool PostgresSession::endCopy(std::chrono::milliseconds quiet, PostgresProblem &problem)
{
    const int socket = PQsocket(m_connection);
    int ended = 0;
    while ((ended = PQputCopyEnd(m_connection, nullptr)) == 0) {
        if (!waitFor(socket, POLLOUT, std::chrono::steady_clock::now() + quiet)) {
            timedOut(problem);
            return false;
        }
    }
    if (ended < 0) {
        lost(problem);
        return false;
    }
    return finish(std::chrono::steady_clock::now() + quiet, problem) != nullptr;
}

} // namespace parlonda
