#pragma once

#include "server/http/acceptor.h"
#include "server/http/client_address.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;

namespace parlonda {

class HttpDaemon;
class Metrics;
class RequestLog;

// What the service bounds for every client, all set together at start.
struct HttpLimits
{
    // Both kept by whoever hands connections in (ConnectionIntake), from
    // accept to close; the daemon itself never refuses one.
    unsigned maxConnections = 1000;
    unsigned maxConnectionsPerAddress = 16;
    // Closes a connection on which nothing came or went for this long.
    unsigned idleTimeoutSeconds = 60;
    // A request must be in whole (line, headers, body) this long after its
    // connection was accepted; 0: no limit. The idle time-out alone would
    // let a client that sends a byte now and then keep its connection for
    // ever.
    unsigned requestTimeoutSeconds = 60;
    // Everything a connection keeps of its request: the request line, every
    // header and the read buffer. A request whose headers do not fit is
    // answered by the HTTP library itself, with no handler called.
    std::size_t connectionMemoryBytes = 32 * 1024;
    // Bodies are gathered up to this; a longer one gets 413. The routes'
    // owner sets it: the HTTP layer has no opinion of its own.
    std::size_t maxBodyBytes = 0;
};

class TlsCredentials;

// TLS for every connection (no credentials: plain HTTP).
struct HttpTls
{
    // Replaceable while serving (TlsCredentials::load); must outlive the daemon.
    TlsCredentials *credentials = nullptr;
    std::string priorities; // GnuTLS priority string
};

// One request, from its first byte to its answer. Handlers get it once the
// body is in, and either reply() at once or suspend() the connection and
// resume() it later from another thread.
class HttpRequest
{
public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    const std::string &method() const { return m_method; }
    const std::string &path() const { return m_path; }
    const std::string &body() const { return m_body; }
    // The client's address as text, for the log.
    const std::string &client() const { return m_client; }
    // The client's address: the peer's, or the one a trusted reverse proxy
    // named in X-Forwarded-For.
    const sockaddr *clientAddress() const;
    // When its headers were in.
    std::chrono::steady_clock::time_point arrived() const { return m_arrived; }
    // Empty when the request has no such header. Only while handling.
    std::string header(const char *name) const;

    // What the log line says besides the status: the nick, and a word for
    // the outcome ("registered", "refused:whitespace").
    void note(std::string nick, std::string outcome);

    // The answer; every answer closes the connection.
    void reply(int status, std::string text, Headers headers = {});

    // Only while handling: the connection waits, its idle time-out stopped,
    // until resume() or resumeWithoutAnswer() is called from any thread,
    // exactly once.
    void suspend();
    void resume(int status, std::string text, Headers headers = {});
    // Closes the connection with no answer at all: the client learns
    // nothing, so nothing it did counts as acknowledged.
    void resumeWithoutAnswer(std::string outcome);

private:
    friend class HttpDaemon;
    friend struct HttpDaemonCallbacks;
    struct Reply
    {
        int status;
        std::string text;
        Headers headers;
    };
    enum class Stage { Receiving, Suspended, Answering };

    HttpRequest(HttpDaemon &daemon, MHD_Connection *connection, std::string method,
                std::string path);

    HttpDaemon &m_daemon;
    MHD_Connection *m_connection;
    std::chrono::steady_clock::time_point m_arrived = std::chrono::steady_clock::now();
    std::optional<sockaddr_storage> m_forwardedFor;
    std::string m_method;
    std::string m_path;
    std::string m_client;
    std::string m_body;
    std::size_t m_received = 0;
    Stage m_stage = Stage::Receiving;
    bool m_suspendedOnce = false;
    std::optional<Reply> m_reply;
    int m_status = 0; // sent, for the log; 0 for none
    std::string m_nick;
    std::string m_outcome;
};

// An HTTP(S) server on GNU libmicrohttpd: one thread waits for every socket
// (a slow client holds no thread), handlers run on it and must not block.
// It listens on nothing itself: connections come from an Acceptor through
// addConnection().
// Requests go to a table of routes; anything else gets 404 or 405. One line
// per request goes to the log once its connection is done.
class HttpDaemon
{
public:
    using Handler = std::function<void(HttpRequest &)>;
    struct Route
    {
        std::string path;
        std::string method;
        Handler handler;
    };

    // `metrics`, when given, counts answers and connections.
    HttpDaemon(std::vector<Route> routes, RequestLog &log, Metrics *metrics = nullptr);
    // stop(): no connection may be suspended any more.
    ~HttpDaemon();
    HttpDaemon(const HttpDaemon &) = delete;
    HttpDaemon &operator=(const HttpDaemon &) = delete;

    // HTTP reverse proxies whose X-Forwarded-For names the client. Before start().
    // From the next request on; from any thread.
    void trustProxies(AddressRanges proxies) { m_trustedProxies.replace(std::move(proxies)); }
    // Told the id of every connection served once it closes, also of one
    // the library dropped before it started. Before start().
    void whenClosed(std::function<void(std::uint64_t)> closed) { m_closed = std::move(closed); }
    // Told the id of every connection once its whole request is in, before
    // a route sees it. Before start().
    void whenRequestIn(std::function<void(std::uint64_t)> in) { m_requestIn = std::move(in); }

    // Starts serving. False with the library's own reason in `error`.
    bool start(const HttpLimits &limits, const HttpTls &tls, std::string &error);

    // Serves one more connection, known to the caller as `id`, accepted at
    // `accepted`, whose client the limits and the log know by `address`;
    // from one thread at a time. The daemon owns the socket from then on.
    // False when the library could not take it (it closed the socket then);
    // otherwise whenClosed() is told once it closes. The library never
    // refuses one for its own connection limit: the caller counts
    // connections (see ConnectionIntake), and the library's limit is set far
    // above --max-connections, since libmicrohttpd 0.9.75 wedges for good
    // when it refuses, on its own thread, a connection handed to it at that
    // limit.
    bool addConnection(int fd, const sockaddr *address, socklen_t addressLength,
                       std::chrono::steady_clock::time_point accepted, std::uint64_t id);
    // Closes connection `id` if its request is not in yet (silent,
    // trickling, in its TLS handshake), to make room for a new one; false
    // when it is in, or the connection is gone. whenClosed() is told later,
    // and its request, should it be in by then, is never served. From any thread.
    bool giveWay(std::uint64_t id);
    // Waits until every suspended request has been resumed and its answer,
    // if any, handed to its client, or until `deadline`.
    bool waitForSuspended(std::chrono::steady_clock::time_point deadline);
    // Closes every connection at once. No connection may be suspended.
    void stop();

private:
    friend class HttpRequest;
    friend struct HttpDaemonCallbacks; // the library's callbacks

    void dispatch(HttpRequest &request);
    // The 413 answer's text, naming the limit.
    std::string bodyTooLarge() const;
    // On a thread of its own: shuts the sockets of connections whose
    // request is late, which the library then closes as if the client had.
    void closeLateRequests();
    // False when the connection was closed meanwhile for being late or to
    // make room: its request is not to be served.
    bool requestIsIn(MHD_Connection *connection);
    // The library dropped the oldest connection handed to it and not yet
    // started ("Failed to start serving new connection").
    void droppedBeforeStart();

    std::vector<Route> m_routes;
    RequestLog &m_log;
    Metrics *m_metrics;
    ReplaceableAddressRanges m_trustedProxies;
    std::function<void(std::uint64_t)> m_closed;
    std::function<void(std::uint64_t)> m_requestIn;
    HttpLimits m_limits;
    std::string m_priorities;
    TlsCredentials *m_credentials = nullptr;
    MHD_Daemon *m_daemon = nullptr;
    // Messages from the library while starting, for start()'s error.
    std::atomic<bool> m_starting{false};
    std::string m_startMessages; // under m_messageMutex
    // The library's own messages, thinned out (see libraryMessage).
    std::mutex m_messageMutex;
    std::chrono::steady_clock::time_point m_messageSecond{};
    int m_messagesThisSecond = 0;
    int m_messagesDropped = 0;
    // Connections whose request is not in yet, by id: their socket (-1
    // until the library starts them) and by when it must be in. The library
    // tells when a connection closes before it closes the socket, so a
    // socket found here under the mutex is open.
    struct Arriving
    {
        int socket = -1;
        std::chrono::steady_clock::time_point deadline;
        bool closeAtStart = false; // late, or making room, before it started
    };
    std::mutex m_arrivingMutex;
    std::condition_variable m_arrivingWake;
    std::unordered_map<std::uint64_t, Arriving> m_arriving;
    // Connections handed to the library and not yet started there, in the
    // order handed, which is the order it starts them in: one passed over
    // when a later one starts was dropped by the library. Under m_arrivingMutex.
    struct Handed
    {
        int socket;
        std::uint64_t id;
    };
    std::deque<Handed> m_handed;
    // When closeLateRequests() looks next; under m_arrivingMutex.
    std::chrono::steady_clock::time_point m_nextLateCheck{};
    bool m_stopping = false;
    std::thread m_lateRequests;
    // Requests suspended and not yet done with.
    std::mutex m_suspendedMutex;
    std::condition_variable m_allResumed;
    int m_suspended = 0;
};

} // namespace parlonda
