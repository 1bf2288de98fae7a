#pragma once

#include "server/http/acceptor.h"
#include "server/http/client_address.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace parlonda {

class RequestLog;

// Between accepting a connection and serving it: learns who the client is
// and whether it may have one more connection. It is the one owner of the
// connection counts: a connection counts from accept until the HTTP daemon
// says it closed (closed()), in the waiting room and served alike. Each
// connection has an id, in the order of accept, by which the daemon tells
// of it, so that no connection is counted out twice or left counted.
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
//
// When `maxConnections` are open, a new connection takes the place of one
// whose whole request is not in yet, as nginx reuses idle connections when
// it runs out: the oldest of those that have sent nothing, else the oldest
// of those whose request is on its way (trickling, in its TLS handshake);
// at each of these steps, one of the client with the most connections open
// first.
// When its client (an IPv4 address, or an IPv6 /64) has `maxPerClient`
// open, one of that client's own gives way, chosen alike. Only when none
// can (every one is being served) is the new connection closed at accept.
// Connections served under a trusted balancer's own address count in all,
// but not per client: the balancer bounds them.
class ConnectionIntake
{
public:
    // Hands connection `id` on to be served under `client`; false when it
    // was not taken (the socket is closed then). From the intake's threads.
    using Serve =
        std::function<bool(int fd, const sockaddr *client, socklen_t length,
                           std::chrono::steady_clock::time_point accepted, std::uint64_t id)>;
    // Closes connection `id`, handed on and its request not yet in, to make
    // room; false when that is no longer so (its request came in, it
    // closed). It must not call back into the intake. Its closed() comes later.
    using GiveWay = std::function<bool(std::uint64_t id)>;

    // `name` is what the log calls one: "connection", "metrics connection".
    ConnectionIntake(std::string name, AddressRanges trusted, unsigned maxConnections,
                     unsigned maxPerClient, std::chrono::milliseconds firstBytesTimeout,
                     Serve serve, GiveWay giveWay, RequestLog &log);
    ~ConnectionIntake();
    ConnectionIntake(const ConnectionIntake &) = delete;
    ConnectionIntake &operator=(const ConnectionIntake &) = delete;

    // Once no connection has been open for a second, hands the memory freed
    // since back to the system (malloc_trim): the allocator keeps what
    // closed connections used otherwise. Before start().
    void trimMemoryWhenIdle() { m_trimWhenIdle = true; }
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
    // Connection `id` has its whole request in: from now on it is served,
    // and gives way to no one. From any thread.
    void requestIn(std::uint64_t id);
    // Connection `id` has closed. From any thread.
    void closed(std::uint64_t id);

    std::shared_ptr<const AddressRanges> trusted() const { return m_trusted.current(); }
    // From the next connection on (SIGHUP); from any thread.
    void trust(AddressRanges ranges) { m_trusted.replace(std::move(ranges)); }
    // Connections open now, waiting and served, and those closed to make
    // room whose socket the daemon has yet to close.
    unsigned open();
    // Connections closed so far to make room for new ones.
    std::uint64_t gaveWay();
    // Waits until every connection counted has closed, or until `deadline`.
    // Those still open then.
    unsigned waitUntilAllClosed(std::chrono::steady_clock::time_point deadline);

private:
    struct Connection
    {
        sockaddr_storage peer;
        socklen_t peerLength;
        bool peerTrusted;
        std::chrono::steady_clock::time_point accepted;
        // The key of the client it counts under (clientKey()); empty for a
        // trusted balancer's own connection, which counts in all only.
        std::string client;
        int fd = -1;          // while the intake looks at it; -1 once handed on
        bool handing = false; // being handed on: the daemon does not know it yet
    };
    struct Deadline
    {
        std::chrono::steady_clock::time_point when;
        std::uint64_t id;
    };

    void run();
    // Closes what waited too long, logs and trims when due; the
    // milliseconds to the next such moment, or -1.
    int expire();
    // Looks at what connection `id` sent so far; true when it is decided
    // (handed on or closed).
    bool decide(std::uint64_t id);
    void finish(int fd, const sockaddr *client, socklen_t length,
                std::chrono::steady_clock::time_point accepted, std::uint64_t id);
    // Closes the oldest connection whose request is not in, of `client`
    // (of anyone when empty, the busiest client's first) and not `except`;
    // false when there is none. m_mutex held.
    bool makeRoom(const std::string &client, std::uint64_t except);
    // One pass of makeRoom(), over `waiting` (`silentOnly`: skipping those
    // with unread bytes).
    bool closeOneWaiting(std::set<std::uint64_t> &waiting, bool silentOnly,
                         const std::string &client, std::uint64_t except);
    // Counts connection `id` out, in all and for its client. m_mutex held.
    void countOut(std::map<std::uint64_t, Connection>::iterator it);
    // Once none is open: wakes those waiting for that, and trims soon. m_mutex held.
    void noneOpenMaybe();
    void wake();
    void refuse(int fd, const std::string &why, const sockaddr *client);

    std::string m_name;
    ReplaceableAddressRanges m_trusted;
    unsigned m_maxConnections;
    unsigned m_maxPerClient;
    std::chrono::milliseconds m_firstBytesTimeout;
    Serve m_serve;
    GiveWay m_giveWay;
    RequestLog &m_log;
    bool m_trimWhenIdle = false;
    int m_epoll = -1;
    int m_wake = -1; // an eventfd: written when there is a first deadline, and to stop
    std::thread m_thread;
    std::mutex m_mutex;
    bool m_stopping = false;             // under m_mutex, as is everything below
    std::condition_variable m_decided;   // no connection is being looked at
    std::condition_variable m_allClosed; // m_connections and m_leaving are empty
    // Every connection counted, by id: in the order of accept.
    std::map<std::uint64_t, Connection> m_connections;
    std::uint64_t m_nextId = 0;
    unsigned m_lookedAt = 0;           // those with an fd, being looked at
    std::set<std::uint64_t> m_silent;  // those looked at here: nothing to go by yet
    std::set<std::uint64_t> m_waiting; // those handed on whose request is not in
    std::unordered_map<std::string, unsigned> m_perClient;
    // Handed on and closed to make room, their sockets not yet closed by
    // the daemon: no longer counted, but holding a descriptor each.
    std::unordered_set<std::uint64_t> m_leaving;
    // Every connection waits as long, so deadlines come in the order of
    // their accept: the first is the nearest. Entries of connections decided
    // before are skipped when they come up.
    std::deque<Deadline> m_deadlines;
    std::uint64_t m_gaveWay = 0;
    unsigned m_gaveWayUnlogged = 0;
    std::optional<std::chrono::steady_clock::time_point> m_gaveWayLogDue;
    std::optional<std::chrono::steady_clock::time_point> m_trimDue;
};

} // namespace parlonda
