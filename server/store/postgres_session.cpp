#include "server/store/postgres_session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
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

namespace {

// libpq's lists of hosts, addresses and ports: commas, nothing escaped.
std::vector<std::string> listOf(const char *value)
{
    std::vector<std::string> items;
    for (std::string_view rest = value ? value : ""; value;) {
        const auto comma = rest.find(',');
        items.emplace_back(rest.substr(0, comma));
        if (comma == rest.npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return items;
}

const char *orEnvironment(const char *value, const char *variable)
{
    return value ? value : std::getenv(variable);
}

} // namespace

std::shared_ptr<PostgresServers> PostgresServers::from(const std::string &uri)
{
    std::shared_ptr<PostgresServers> servers(new PostgresServers());
    char *message = nullptr;
    const std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
        PQconninfoParse(uri.c_str(), &message), &PQconninfoFree);
    if (!options) {
        servers->m_unreadable = message ? oneLine(message) : "out of memory";
        PQfreemem(message);
        return servers;
    }
    std::vector<std::pair<std::string, std::string>> common;
    const char *host = nullptr;
    const char *hostaddr = nullptr;
    const char *port = nullptr;
    const char *timeout = nullptr;
    for (const PQconninfoOption *option = options.get(); option->keyword; ++option) {
        const std::string_view keyword(option->keyword);
        if (!option->val || keyword == "client_encoding")
            continue;
        if (keyword == "host")
            host = option->val;
        else if (keyword == "hostaddr")
            hostaddr = option->val;
        else if (keyword == "port")
            port = option->val;
        else
            common.emplace_back(option->keyword, option->val);
        if (keyword == "connect_timeout")
            timeout = option->val;
    }
    // Every text this program handles is UTF-8, whatever the URI says.
    common.emplace_back("client_encoding", "UTF8");
    if (std::none_of(common.begin(), common.end(),
                     [](const auto &p) { return p.first == "application_name"; }))
        common.emplace_back("fallback_application_name", "parlonda-regnick");

    // What the URI leaves out comes from the environment, as libpq does it.
    host = orEnvironment(host, "PGHOST");
    hostaddr = orEnvironment(hostaddr, "PGHOSTADDR");
    port = orEnvironment(port, "PGPORT");
    timeout = orEnvironment(timeout, "PGCONNECT_TIMEOUT");
    servers->m_serverTime = kServerTime;
    if (timeout) {
        // As libpq counts it: whole seconds, at least 2; 0 or less is none.
        const long seconds = std::strtol(timeout, nullptr, 10);
        servers->m_serverTime =
            seconds > 0 ? std::chrono::seconds(std::max(seconds, 2L)) : Clock::duration::zero();
    }

    const std::vector<std::string> hosts = listOf(host);
    const std::vector<std::string> addresses = listOf(hostaddr);
    const std::vector<std::string> ports = listOf(port);
    const std::size_t count = std::max(hosts.size(), addresses.size());
    const bool matched = (hosts.empty() || hosts.size() == count) &&
                         (addresses.empty() || addresses.size() == count) &&
                         (ports.size() <= 1 || ports.size() == count);
    if (count <= 1 || !matched) {
        // One server, or lists that do not match, which libpq refuses in
        // its own words.
        Server server{host ? host : (hostaddr ? hostaddr : ""), common};
        for (const auto &[keyword, value] :
             {std::pair{"host", host}, std::pair{"hostaddr", hostaddr}, std::pair{"port", port}})
            if (value)
                server.parameters.emplace_back(keyword, value);
        servers->m_servers.push_back(std::move(server));
        return servers;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Server server{{}, common};
        const std::string none;
        const std::string &name = i < hosts.size() ? hosts[i] : none;
        const std::string &address = i < addresses.size() ? addresses[i] : none;
        const std::string &number = ports.empty() ? none : ports[ports.size() == 1 ? 0 : i];
        server.name = name.empty() ? address : name;
        if (!number.empty())
            server.name += ":" + number;
        for (const auto &[keyword, value] :
             {std::pair{"host", &name}, std::pair{"hostaddr", &address},
              std::pair{"port", &number}})
            if (!value->empty())
                server.parameters.emplace_back(keyword, *value);
        servers->m_servers.push_back(std::move(server));
    }
    return servers;
}

std::unique_ptr<PostgresSession> PostgresServers::connect(Deadline deadline,
                                                          PostgresProblem &problem)
{
    problem.unavailable = true;
    if (!m_unreadable.empty()) {
        problem.text = m_unreadable;
        problem.unavailable = false;
        return nullptr;
    }
    // Those that stopped answering lately go last, in their own order.
    std::vector<std::size_t> order;
    {
        const std::lock_guard lock(m_mutex);
        const Clock::time_point now = Clock::now();
        for (const bool silent : {false, true})
            for (std::size_t i = 0; i < m_servers.size(); ++i)
                if ((m_servers[i].silentUntil > now) == silent)
                    order.push_back(i);
    }
    const bool several = m_servers.size() > 1;
    std::string said;
    const auto tell = [&](const Server &server, const std::string &text) {
        if (!said.empty())
            said += "; ";
        said += several ? server.name + ": " + text : text;
    };
    for (const std::size_t index : order) {
        const Server &server = m_servers[index];
        if (Clock::now() >= deadline) {
            tell(server, "no answer in time");
            continue;
        }
        std::vector<const char *> keywords;
        std::vector<const char *> values;
        for (const auto &[keyword, value] : server.parameters) {
            keywords.push_back(keyword.c_str());
            values.push_back(value.c_str());
        }
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        std::uint64_t stamp = 0;
        {
            const std::lock_guard lock(m_mutex);
            stamp = m_silences;
        }
        std::unique_ptr<PostgresSession> session(
            new PostgresSession(PQconnectStartParams(keywords.data(), values.data(), 0)));
        const Deadline serverDeadline =
            m_serverTime == Clock::duration::zero()
                ? deadline
                : std::min(deadline, Deadline(Clock::now() + m_serverTime));
        PostgresProblem tried;
        const PostgresSession::Outcome outcome = session->establish(serverDeadline, tried);
        if (outcome == PostgresSession::Outcome::TimedOut)
            stoppedAnswering(index);
        if (outcome != PostgresSession::Outcome::Ready) {
            tell(server, tried.text);
            continue;
        }
        {
            const std::lock_guard lock(m_mutex);
            m_servers[index].silentUntil = {};
        }
        session->m_servers = shared_from_this();
        session->m_server = index;
        session->m_stamp = stamp;
        // A database in another encoding would refuse (or, as SQL_ASCII,
        // garble) the letters beyond its own set.
        const char *encoding = PQparameterStatus(session->m_connection, "server_encoding");
        if (!encoding || std::string_view(encoding) != "UTF8") {
            problem.text = std::string("the database's encoding is ") +
                           (encoding ? encoding : "?") + ", not UTF8";
            problem.unavailable = false;
            return nullptr;
        }
        problem.unavailable = false;
        return session;
    }
    problem.text = said.empty() ? "no server to connect to" : said;
    return nullptr;
}

void PostgresServers::stoppedAnswering(std::size_t server)
{
    const std::lock_guard lock(m_mutex);
    m_servers[server].silencedAt = ++m_silences;
    m_servers[server].silentUntil = Clock::now() + kSilentFor;
}

bool PostgresServers::silencedSince(std::size_t server, std::uint64_t stamp)
{
    const std::lock_guard lock(m_mutex);
    return m_servers[server].silencedAt > stamp;
}

std::unique_ptr<PostgresSession> PostgresSession::connect(const std::string &uri, Deadline deadline,
                                                          PostgresProblem &problem)
{
    return PostgresServers::from(uri)->connect(deadline, problem);
}

PostgresSession::Outcome PostgresSession::establish(Deadline deadline, PostgresProblem &problem)
{
    problem.unavailable = true;
    if (!m_connection) {
        problem.text = "out of memory";
        return Outcome::Failed;
    }
    // Notices such as "relation already exists, skipping" would go to
    // standard error; the only one worth keeping is a farewell.
    PQsetNoticeReceiver(m_connection, &PostgresSession::noticed, this);

    // libpq's own connect_timeout is for blocking connections only.
    PostgresPollingStatusType polling =
        PQstatus(m_connection) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (polling != PGRES_POLLING_OK) {
        if (polling == PGRES_POLLING_FAILED) {
            problem.text = oneLine(PQerrorMessage(m_connection));
            return Outcome::Failed;
        }
        if (!waitFor(PQsocket(m_connection), polling == PGRES_POLLING_READING ? POLLIN : POLLOUT,
                     deadline)) {
            problem.text = "no answer in time";
            return Outcome::TimedOut;
        }
        polling = PQconnectPoll(m_connection);
    }
    if (PQsetnonblocking(m_connection, 1) != 0) {
        problem.text = oneLine(PQerrorMessage(m_connection));
        return Outcome::Failed;
    }
    return Outcome::Ready;
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
        if (!awaitResult(
                socket, false, [deadline] { return deadline; }, problem))
            return PostgresResult(nullptr, &PQclear);
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
        failed(failure.get(), problem);
        return PostgresResult(nullptr, &PQclear);
    }
    return last;
}

bool PostgresSession::awaitResult(int socket, bool flushing,
                                  const std::function<Deadline()> &deadline,
                                  PostgresProblem &problem)
{
    while ((flushing && PQflush(m_connection) > 0) || PQisBusy(m_connection)) {
        if (!waitFor(socket, flushing ? POLLIN | POLLOUT : POLLIN, deadline())) {
            timedOut(problem);
            return false;
        }
        if (!PQconsumeInput(m_connection)) {
            lost(problem);
            return false;
        }
    }
    return true;
}

void PostgresSession::failed(const PGresult *failure, PostgresProblem &problem)
{
    problem.text = oneLine(PQresultErrorMessage(failure));
    problem.unavailable = meansUnavailable(failure);
    if (problem.unavailable || PQstatus(m_connection) != CONNECTION_OK)
        m_usable = false;
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
    if (m_servers)
        m_servers->stoppedAnswering(m_server);
    problem.unavailable = true;
    problem.text = "no answer in time";
    return PostgresResult(nullptr, &PQclear);
}

bool PostgresSession::stillOpen(PostgresProblem &problem)
{
    if (m_servers && m_servers->silencedSince(m_server, m_stamp)) {
        m_usable = false;
        problem.unavailable = true;
        problem.text = "its server stopped answering";
        return false;
    }
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
    const auto quietFromNow = [quiet] { return std::chrono::steady_clock::now() + quiet; };
    for (;;) {
        if (!awaitResult(socket, false, quietFromNow, problem))
            return false;
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
        failed(failure.get(), problem);
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
    if (!awaitResult(
            socket, true, [quiet] { return std::chrono::steady_clock::now() + quiet; }, problem))
        return false;
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
