#include "server/http/http_daemon.h"

#include "server/http/client_address.h"
#include "server/http/listeners.h"
#include "server/http/tls_files.h"
#include "server/metrics.h"
#include "server/request_log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace parlonda {
namespace {

// A body over the limit is still read, and dropped, up to here, so that a
// client that sends it whole gets to see the 413 instead of a connection
// reset by unread data. Past it the connection is simply closed.
constexpr std::size_t kDrainLimitBytes = 1024 * 1024;

constexpr int kLibraryMessagesPerSecond = 10;

std::string_view outcomeFor(int status)
{
    switch (status) {
    case 400:
        return "rejected";
    case 404:
        return "not-found";
    case 405:
        return "wrong-method";
    case 413:
        return "too-large";
    case 415:
        return "wrong-type";
    case 429:
        return "rate-limited";
    case 500:
        return "failed";
    case 503:
        return "unavailable";
    default:
        return status < 400 ? "answered" : "refused";
    }
}

std::optional<unsigned long long> contentLength(MHD_Connection *connection)
{
    const char *value =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!value)
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const unsigned long long length = std::strtoull(value, &end, 10);
    if (errno != 0 || end == value)
        return std::nullopt;
    return length;
}

} // namespace

// The library's callbacks, which reach into both classes.
struct HttpDaemonCallbacks
{
    static MHD_Result access(void *cls, MHD_Connection *connection, const char *url,
                             const char *method, const char * /*version*/, const char *uploadData,
                             std::size_t *uploadDataSize, void **requestContext)
    {
        auto &daemon = *static_cast<HttpDaemon *>(cls);
        auto *request = static_cast<HttpRequest *>(*requestContext);

        if (!request) {
            // Made on the first call, once the headers are in; freed in
            // completed(), which the library calls for every request it
            // calls this for.
            request = new HttpRequest(daemon, connection, method, url);
            *requestContext = request;
            // Announced far over the limit: not worth reading at all.
            if (const auto length = contentLength(connection);
                length && *length > kDrainLimitBytes) {
                if (!daemon.requestIsIn(connection))
                    return MHD_NO;
                request->m_stage = HttpRequest::Stage::Answering;
                request->reply(MHD_HTTP_CONTENT_TOO_LARGE, daemon.bodyTooLarge());
                return send(*request);
            }
            return MHD_YES;
        }

        if (*uploadDataSize > 0) {
            request->m_received += *uploadDataSize;
            if (request->m_received <= daemon.m_limits.maxBodyBytes)
                request->m_body.append(uploadData, *uploadDataSize);
            *uploadDataSize = 0;
            if (request->m_received > kDrainLimitBytes) {
                request->note({}, "too-large");
                return MHD_NO;
            }
            return MHD_YES;
        }

        switch (request->m_stage) {
        case HttpRequest::Stage::Receiving:
            // Closed for being late, or to make room, just before it came
            // in: never served, and so never half served.
            if (!daemon.requestIsIn(connection))
                return MHD_NO;
            request->m_stage = HttpRequest::Stage::Answering;
            daemon.dispatch(*request);
            // The handler suspended the connection: called again once resumed.
            if (request->m_stage == HttpRequest::Stage::Suspended)
                return MHD_YES;
            return send(*request);
        case HttpRequest::Stage::Suspended:
            request->m_stage = HttpRequest::Stage::Answering;
            return send(*request);
        case HttpRequest::Stage::Answering:
            break;
        }
        return MHD_NO;
    }

    static MHD_Result send(HttpRequest &request)
    {
        if (!request.m_reply)
            return MHD_NO; // closes the connection without an answer
        HttpRequest::Reply &reply = *request.m_reply;
        MHD_Response *response = MHD_create_response_from_buffer(
            reply.text.size(), reply.text.data(), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        // Plain text unless the handler named its own type.
        const bool typed =
            std::any_of(reply.headers.begin(), reply.headers.end(), [](const auto &header) {
                return strcasecmp(header.first.c_str(), MHD_HTTP_HEADER_CONTENT_TYPE) == 0;
            });
        if (!typed)
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                    "text/plain; charset=utf-8");
        // One request per connection: the client sends one per sign-up, and
        // an early answer can leave unread body bytes behind that must never
        // be taken for a next request.
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        for (const auto &[name, value] : reply.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        const MHD_Result queued =
            MHD_queue_response(request.m_connection, static_cast<unsigned>(reply.status), response);
        MHD_destroy_response(response);
        if (queued == MHD_YES) {
            request.m_status = reply.status;
            if (Metrics *metrics = request.m_daemon.m_metrics) {
                metrics->response(reply.status);
                metrics->answerTime().observe(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                  request.m_arrived)
                        .count());
            }
        }
        return queued;
    }

    static void completed(void *cls, MHD_Connection *, void **requestContext,
                          MHD_RequestTerminationCode why)
    {
        auto &daemon = *static_cast<HttpDaemon *>(cls);
        auto *request = static_cast<HttpRequest *>(*requestContext);
        if (!request)
            return;
        *requestContext = nullptr;
        std::string outcome = request->m_outcome;
        if (outcome.empty() && request->m_status > 0)
            outcome = outcomeFor(request->m_status);
        else if (outcome.empty())
            outcome = why == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED ? "timed-out" : "closed";
        else if (request->m_status > 0 && why != MHD_REQUEST_TERMINATED_COMPLETED_OK)
            outcome += "-unsent"; // the answer was queued, but did not reach the client
        daemon.m_log.request(request->m_client, request->m_method, request->m_path, request->m_nick,
                             outcome, request->m_status);
        if (request->m_suspendedOnce) {
            const std::lock_guard lock(daemon.m_suspendedMutex);
            if (--daemon.m_suspended == 0)
                daemon.m_allResumed.notify_all();
        }
        // The body holds a password.
        explicit_bzero(request->m_body.data(), request->m_body.size());
        delete request;
    }

    static void connectionEvent(void *cls, MHD_Connection *connection, void **socketContext,
                                MHD_ConnectionNotificationCode what)
    {
        auto &daemon = *static_cast<HttpDaemon *>(cls);
        if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
            // The session is freed by now; its address still names the
            // credentials its handshake was given.
            if (daemon.m_credentials) {
                if (const MHD_ConnectionInfo *tls =
                        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION))
                    daemon.m_credentials->release(tls->tls_session);
            }
            const auto id = reinterpret_cast<std::uintptr_t>(*socketContext);
            {
                const std::lock_guard lock(daemon.m_arrivingMutex);
                daemon.m_arriving.erase(id);
            }
            if (id != 0 && daemon.m_closed)
                daemon.m_closed(id);
            return;
        }
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info)
            return;
        // Started in the order handed: those handed before this one and
        // not started were dropped by the library, which says nothing else.
        std::vector<std::uint64_t> dropped;
        {
            const std::lock_guard lock(daemon.m_arrivingMutex);
            auto &handed = daemon.m_handed;
            const auto it =
                std::find_if(handed.begin(), handed.end(), [&](const HttpDaemon::Handed &h) {
                    return h.socket == info->connect_fd;
                });
            if (it == handed.end())
                return;
            for (auto before = handed.begin(); before != it; ++before) {
                dropped.push_back(before->id);
                daemon.m_arriving.erase(before->id);
            }
            const std::uint64_t id = it->id;
            handed.erase(handed.begin(), std::next(it));
            *socketContext = reinterpret_cast<void *>(std::uintptr_t(id));
            if (const auto arriving = daemon.m_arriving.find(id);
                arriving != daemon.m_arriving.end()) {
                arriving->second.socket = info->connect_fd;
                if (arriving->second.closeAtStart) {
                    ::shutdown(info->connect_fd, SHUT_RDWR);
                    daemon.m_arriving.erase(arriving);
                } else if (arriving->second.deadline < daemon.m_nextLateCheck) {
                    daemon.m_arrivingWake.notify_all();
                }
            }
        }
        for (const std::uint64_t id : dropped) {
            if (daemon.m_closed)
                daemon.m_closed(id);
        }
    }

    static void libraryMessage(void *cls, const char *format, va_list arguments)
    {
        auto &daemon = *static_cast<HttpDaemon *>(cls);
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        std::string message(text);
        // The one word of a connection dropped on the library's own thread
        // before it started (its memory pool could not be had, say).
        if (message.starts_with("Failed to start serving new connection"))
            daemon.droppedBeforeStart();
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        const std::lock_guard lock(daemon.m_messageMutex);
        if (daemon.m_starting) {
            if (!daemon.m_startMessages.empty())
                daemon.m_startMessages += "; ";
            daemon.m_startMessages += message;
            return;
        }
        // The library speaks up for every connection it refuses and every
        // malformed request: a client could otherwise fill the disk with
        // them. A few a second get through, and a count of the others.
        const auto now = std::chrono::steady_clock::now();
        if (now - daemon.m_messageSecond >= std::chrono::seconds(1)) {
            if (daemon.m_messagesDropped > 0)
                daemon.m_log.problem(std::to_string(daemon.m_messagesDropped) +
                                     " more messages from the HTTP library left out");
            daemon.m_messageSecond = now;
            daemon.m_messagesThisSecond = 0;
            daemon.m_messagesDropped = 0;
        }
        if (++daemon.m_messagesThisSecond <= kLibraryMessagesPerSecond)
            daemon.m_log.problem(message);
        else
            ++daemon.m_messagesDropped;
    }
};

HttpRequest::HttpRequest(HttpDaemon &daemon, MHD_Connection *connection, std::string method,
                         std::string path)
    : m_daemon(daemon), m_connection(connection), m_method(std::move(method)),
      m_path(std::move(path))
{
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(m_connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info && m_daemon.m_trustedProxies.contains(info->client_addr)) {
        // Every X-Forwarded-For header, in order, as one list.
        std::string forwarded;
        MHD_get_connection_values(
            m_connection, MHD_HEADER_KIND,
            [](void *list, MHD_ValueKind, const char *key, const char *value) {
                if (strcasecmp(key, "X-Forwarded-For") == 0) {
                    auto &text = *static_cast<std::string *>(list);
                    text += (text.empty() ? "" : ",") + std::string(value ? value : "");
                }
                return MHD_YES;
            },
            &forwarded);
        m_forwardedFor = forwardedClient(forwarded, *m_daemon.m_trustedProxies.current());
    }
    m_client = addressText(clientAddress());
}

const sockaddr *HttpRequest::clientAddress() const
{
    if (m_forwardedFor)
        return reinterpret_cast<const sockaddr *>(&*m_forwardedFor);
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(m_connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? info->client_addr : nullptr;
}

std::string HttpRequest::header(const char *name) const
{
    const char *value = MHD_lookup_connection_value(m_connection, MHD_HEADER_KIND, name);
    return value ? value : "";
}

void HttpRequest::note(std::string nick, std::string outcome)
{
    if (!nick.empty())
        m_nick = std::move(nick);
    m_outcome = std::move(outcome);
}

void HttpRequest::reply(int status, std::string text, Headers headers)
{
    m_reply = Reply{status, std::move(text), std::move(headers)};
}

void HttpRequest::suspend()
{
    m_stage = Stage::Suspended;
    m_suspendedOnce = true;
    {
        const std::lock_guard lock(m_daemon.m_suspendedMutex);
        ++m_daemon.m_suspended;
    }
    MHD_suspend_connection(m_connection);
}

void HttpRequest::resume(int status, std::string text, Headers headers)
{
    reply(status, std::move(text), std::move(headers));
    MHD_resume_connection(m_connection);
}

void HttpRequest::resumeWithoutAnswer(std::string outcome)
{
    m_outcome = std::move(outcome);
    MHD_resume_connection(m_connection);
}

HttpDaemon::HttpDaemon(std::vector<Route> routes, RequestLog &log, Metrics *metrics)
    : m_routes(std::move(routes)), m_log(log), m_metrics(metrics)
{
}

HttpDaemon::~HttpDaemon()
{
    stop();
}

bool HttpDaemon::start(const HttpLimits &limits, const HttpTls &tls, std::string &error)
{
    m_limits = limits;
    m_priorities = tls.priorities;
    m_credentials = tls.credentials;

    // No listening socket: the acceptor hands connections in, from its own
    // thread, and the wake-up channel (ITC) lets this thread see them at once.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET |
                     MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (tls.credentials)
        flags |= MHD_USE_TLS;

    std::vector<MHD_OptionItem> options = {
        // First, so that even the library's earliest complaints come here.
        {MHD_OPTION_EXTERNAL_LOGGER,
         reinterpret_cast<intptr_t>(&HttpDaemonCallbacks::libraryMessage), this},
        // Never reached: connections are counted, in all and per client,
        // before they come here (see ConnectionIntake and addConnection()),
        // by the address a trusted balancer names, and per /64 for IPv6,
        // which the library cannot.
        {MHD_OPTION_CONNECTION_LIMIT,
         static_cast<intptr_t>(2 * static_cast<std::size_t>(limits.maxConnections) + 64), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits.idleTimeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits.connectionMemoryBytes),
         nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpDaemonCallbacks::completed),
         this},
        {MHD_OPTION_NOTIFY_CONNECTION,
         reinterpret_cast<intptr_t>(&HttpDaemonCallbacks::connectionEvent), this},
    };
    if (tls.credentials) {
        // Asked at every handshake, so that a reload counts from the next one.
        options.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0,
                           reinterpret_cast<void *>(&TlsCredentials::retrieve)});
        options.push_back(
            {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(m_priorities.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});

    m_starting = true;
    m_startMessages.clear();
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpDaemonCallbacks::access, this,
                                MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    m_starting = false;
    if (!m_daemon) {
        const std::lock_guard lock(m_messageMutex);
        error = m_startMessages.empty() ? "the HTTP library could not start" : m_startMessages;
        return false;
    }
    if (limits.requestTimeoutSeconds > 0)
        m_lateRequests = std::thread([this] { closeLateRequests(); });
    return true;
}

bool HttpDaemon::addConnection(int fd, const sockaddr *address, socklen_t addressLength,
                               std::chrono::steady_clock::time_point accepted, std::uint64_t id)
{
    // The request time-out counts from accept, the wait before the
    // hand-over included.
    const auto deadline = m_limits.requestTimeoutSeconds > 0
                              ? accepted + std::chrono::seconds(m_limits.requestTimeoutSeconds)
                              : std::chrono::steady_clock::time_point::max();
    {
        const std::lock_guard lock(m_arrivingMutex);
        m_handed.push_back({fd, id});
        m_arriving[id] = {-1, deadline, false};
    }
    // Refused (no memory, stopping): the library closes the socket and
    // says why through libraryMessage.
    if (MHD_add_connection(m_daemon, fd, address, addressLength) == MHD_YES)
        return true;
    const std::lock_guard lock(m_arrivingMutex);
    std::erase_if(m_handed, [id](const Handed &handed) { return handed.id == id; });
    m_arriving.erase(id);
    return false;
}

void HttpDaemon::droppedBeforeStart()
{
    std::uint64_t id = 0;
    {
        const std::lock_guard lock(m_arrivingMutex);
        if (m_handed.empty())
            return;
        id = m_handed.front().id;
        m_handed.pop_front();
        m_arriving.erase(id);
    }
    if (m_closed)
        m_closed(id);
}

bool HttpDaemon::giveWay(std::uint64_t id)
{
    const std::lock_guard lock(m_arrivingMutex);
    const auto it = m_arriving.find(id);
    if (it == m_arriving.end())
        return false;
    if (it->second.socket < 0) {
        it->second.closeAtStart = true;
        return true;
    }
    // The library sees the client gone, closes the socket and tells.
    ::shutdown(it->second.socket, SHUT_RDWR);
    m_arriving.erase(it);
    return true;
}

bool HttpDaemon::requestIsIn(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    const auto id = info ? reinterpret_cast<std::uintptr_t>(info->socket_context) : 0;
    if (id == 0)
        return true; // not one handed in: nothing counts it
    {
        const std::lock_guard lock(m_arrivingMutex);
        if (m_arriving.erase(id) == 0)
            return false;
    }
    if (m_requestIn)
        m_requestIn(id);
    return true;
}

void HttpDaemon::closeLateRequests()
{
    std::unique_lock lock(m_arrivingMutex);
    // Wakes for the nearest deadline, or when a nearer one comes in.
    while (!m_stopping) {
        const auto now = std::chrono::steady_clock::now();
        m_nextLateCheck = now + std::chrono::hours(1);
        int closed = 0;
        for (auto it = m_arriving.begin(); it != m_arriving.end();) {
            if (it->second.deadline > now || it->second.closeAtStart) {
                if (!it->second.closeAtStart)
                    m_nextLateCheck = std::min(m_nextLateCheck, it->second.deadline);
                ++it;
                continue;
            }
            ++closed;
            if (it->second.socket < 0) {
                it->second.closeAtStart = true;
                ++it;
                continue;
            }
            ::shutdown(it->second.socket, SHUT_RDWR);
            it = m_arriving.erase(it);
        }
        if (closed > 0) {
            lock.unlock();
            m_log.problem("closed " + std::to_string(closed) +
                          " connections whose request was not in " +
                          std::to_string(m_limits.requestTimeoutSeconds) + " s after accept");
            lock.lock();
            continue;
        }
        m_arrivingWake.wait_until(lock, m_nextLateCheck);
    }
}

bool HttpDaemon::waitForSuspended(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_suspendedMutex);
    return m_allResumed.wait_until(lock, deadline, [this] { return m_suspended == 0; });
}

void HttpDaemon::stop()
{
    if (m_lateRequests.joinable()) {
        {
            const std::lock_guard lock(m_arrivingMutex);
            m_stopping = true;
        }
        m_arrivingWake.notify_all();
        m_lateRequests.join();
    }
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
}

std::string HttpDaemon::bodyTooLarge() const
{
    return "Body over " + std::to_string(m_limits.maxBodyBytes / 1024) + " KiB\n";
}

void HttpDaemon::dispatch(HttpRequest &request)
{
    const Route *samePath = nullptr;
    for (const Route &route : m_routes) {
        if (route.path != request.path())
            continue;
        if (route.method != request.method()) {
            samePath = &route;
            continue;
        }
        if (request.m_received > m_limits.maxBodyBytes)
            request.reply(MHD_HTTP_CONTENT_TOO_LARGE, bodyTooLarge());
        else
            route.handler(request);
        return;
    }
    if (samePath)
        request.reply(MHD_HTTP_METHOD_NOT_ALLOWED,
                      "Only " + samePath->method + " is allowed here\n",
                      {{MHD_HTTP_HEADER_ALLOW, samePath->method}});
    else
        request.reply(MHD_HTTP_NOT_FOUND, "Not found\n");
}

} // namespace parlonda
