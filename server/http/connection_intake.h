#pragma once

#include "server/http/acceptor.h"
#include "server/http/client_address.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <vector>

namespace parlonda {

class RequestLog;

// Between accepting a connection and serving it: learns who the client is
// and whether it may have one more connection. It is the one owner of the
// connection counts: a connection counts from accept until the HTTP daemon
// says it closed (closed()), in the waiting room and served alike.
//
// It looks at the first bytes a connection sends without taking them
// (MSG_PEEK), on a thread of its own that waits for every socket at once, so
// a peer that is slow to send them holds no thread:
// - from a trusted load balancer, a PROXY protocol header (version 1 or 2)
//   is taken off, and the connection is served under the client it names;
//   without one, under the balancer's own address;
// - from anyone else, a PROXY header closes the connection unanswered, as
//   does a malformed header from anyone;
// - a connection that sends nothing to decide by within `firstBytesTimeout`
//   of its accept is closed then, also while no other connection stirs.
// A connection is closed at accept when `maxConnections` are open, or when
// its client (an IPv4 address, or an IPv6 /64) has `maxPerClient` open.
// Connections served under a trusted balancer's own address count in all,
// but not per client: the balancer bounds them.
class ConnectionIntake
{
public:
    // Hands a connection on to be served under `client`; false when it was
    // not taken (the socket is closed then). From the intake's threads.
    using Serve = std::function<bool(int fd, const sockaddr *client, socklen_t length,
                                     std::chrono::steady_clock::time_point accepted)>;

    // `name` is what the log calls one: "connection", "metrics connection".
    ConnectionIntake(std::string name, AddressRanges trusted, unsigned maxConnections,
                     unsigned maxPerClient, std::chrono::milliseconds firstBytesTimeout,
                     Serve serve, RequestLog &log);
    ~ConnectionIntake();
    ConnectionIntake(const ConnectionIntake &) = delete;
    ConnectionIntake &operator=(const ConnectionIntake &) = delete;

    bool start(std::string &error);
    // Waits until every connection taken has been decided (served or
    // closed), or until `deadline`; false then. Once nothing more comes in,
    // so that a client that connected just before it stopped still gets
    // served.
    bool waitUntilDecided(std::chrono::steady_clock::time_point deadline);
    // Closes the connections still being looked at. Returns once its thread ended.
    void stop();

    // A connection just accepted, non-blocking; the intake owns it. From any thread.
    void take(const AcceptedSocket &socket);
    // A connection served under `client` has closed. From any thread.
    void closed(const sockaddr *client);

    std::shared_ptr<const AddressRanges> trusted() const { return m_trusted.current(); }
    // From the next connection on (SIGHUP); from any thread.
    void trust(AddressRanges ranges) { m_trusted.replace(std::move(ranges)); }
    // Connections counted now, waiting and served.
    unsigned open();
    // Waits until every connection counted has closed, or until `deadline`.
    // Those still open then.
    unsigned waitUntilAllClosed(std::chrono::steady_clock::time_point deadline);

private:
    struct Pending
    {
        sockaddr_storage peer;
        socklen_t peerLength;
        bool peerTrusted;
        std::chrono::steady_clock::time_point accepted;
        std::uint64_t serial; // tells a socket from a later one on the same descriptor
    };
    struct Deadline
    {
        std::chrono::steady_clock::time_point when;
        int fd;
        std::uint64_t serial;
    };
    enum class Admission { Admitted, AllInUse, TooManyFromClient };

    void run();
    // Closes what waited too long; the milliseconds to the next deadline, or -1.
    int expire();
    // Looks at what `fd` sent so far; true when it is decided (served or closed).
    bool decide(int fd, Pending &pending);
    void finish(int fd, const sockaddr *client, socklen_t length,
                std::chrono::steady_clock::time_point accepted);
    // Counts a new connection in all and, unless trusted, for its peer.
    Admission admit(const sockaddr *peer, bool peerTrusted);
    // Counts one more connection for `client` unless that is one too many.
    bool count(const sockaddr *client);
    // The same, m_countMutex held.
    bool countClient(const sockaddr *client);
    void forget(int fd);
    void wake();
    void refuse(int fd, const std::string &why, const sockaddr *client);

    std::string m_name;
    ReplaceableAddressRanges m_trusted;
    unsigned m_maxConnections;
    unsigned m_maxPerClient;
    std::chrono::milliseconds m_firstBytesTimeout;
    Serve m_serve;
    RequestLog &m_log;
    int m_epoll = -1;
    int m_wake = -1; // an eventfd: written when there is a first deadline, and to stop
    std::thread m_thread;
    bool m_stopping = false; // under m_mutex
    std::mutex m_mutex;
    std::condition_variable m_decided;
    std::unordered_map<int, Pending> m_pending; // under m_mutex
    // Every connection waits as long, so deadlines come in the order of
    // their accept: the first is the nearest. Entries of connections decided
    // before are skipped when they come up. Under m_mutex.
    std::deque<Deadline> m_deadlines;
    std::uint64_t m_nextSerial = 0; // under m_mutex
    std::mutex m_countMutex;
    unsigned m_open = 0;                                   // under m_countMutex
    std::condition_variable m_allClosed;                   // m_open is 0
    std::unordered_map<std::string, unsigned> m_perClient; // under m_countMutex
    // Refusals are logged a few a second at most, with a count of the others.
    std::mutex m_refusalMutex;
    std::chrono::steady_clock::time_point m_refusalSecond{};
    int m_refusalsThisSecond = 0;
    int m_refusalsLeftOut = 0;
};

} // namespace parlonda
