#include "server/http/connection_intake.h"

#include "server/http/listeners.h"
#include "server/http/proxy_header.h"
#include "server/request_log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace parlonda {
namespace {

// The epoll entry of the wake-up; connections are known by their id, from 1.
constexpr std::uint64_t kWakeId = 0;
// Connections closed to make room whose sockets the daemon has not closed
// yet: each holds a descriptor meanwhile, taken from what the descriptor
// budget keeps to spare. Past this, a new connection is closed at accept
// instead (one that sent nothing still makes room at once).
constexpr std::size_t kMaxLeaving = 16;
// How long no connection must be open before memory is handed back.
constexpr std::chrono::seconds kIdleBeforeTrim{1};
// Enough to tell any header, and to take a version 2 one with its extensions.
constexpr std::size_t kLookBytes = std::max(kProxyV1MaxBytes, kProxyV2MaxBytes);

} // namespace

ConnectionIntake::ConnectionIntake(std::string name, AddressRanges trusted, unsigned maxConnections,
                                   unsigned maxPerClient,
                                   std::chrono::milliseconds firstBytesTimeout, Serve serve,
                                   GiveWay giveWay, RequestLog &log)
    : m_name(std::move(name)), m_trusted(std::move(trusted)), m_maxConnections(maxConnections),
      m_maxPerClient(maxPerClient), m_firstBytesTimeout(firstBytesTimeout),
      m_serve(std::move(serve)), m_giveWay(std::move(giveWay)), m_log(log)
{
}

ConnectionIntake::~ConnectionIntake()
{
    stop();
}

bool ConnectionIntake::start(std::string &error)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeId;
    if (m_epoll < 0 || m_wake < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event) != 0) {
        error = std::string("cannot wait for new connections: ") + std::strerror(errno);
        return false;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

bool ConnectionIntake::waitUntilDecided(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    return m_decided.wait_until(lock, deadline, [this] { return m_lookedAt == 0; });
}

void ConnectionIntake::stop()
{
    if (m_thread.joinable()) {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        wake();
        m_thread.join();
    }
    const std::lock_guard lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        const auto next = std::next(it);
        if (it->second.fd >= 0) {
            ::close(it->second.fd);
            countOut(it);
        }
        it = next;
    }
    m_deadlines.clear();
    for (int *fd : {&m_epoll, &m_wake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ConnectionIntake::wake()
{
    const std::uint64_t one = 1;
    while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void ConnectionIntake::take(const AcceptedSocket &socket)
{
    const int fd = socket.fd;
    const auto *address = reinterpret_cast<const sockaddr *>(&socket.peer);
    const bool trusted = m_trusted.contains(address);
    const std::string client = trusted ? std::string() : clientKey(address);
    std::unique_lock lock(m_mutex);
    if (m_stopping) {
        lock.unlock();
        ::close(fd);
        return;
    }
    // Counted from the start, also while it sends nothing. At a limit, a
    // connection that has not sent its request makes room: one of the same
    // client's at its own limit (which frees one in all too), else anyone's.
    const auto perClient = m_perClient.find(client);
    if (!client.empty() && perClient != m_perClient.end() && perClient->second >= m_maxPerClient) {
        if (!makeRoom(client, 0)) {
            lock.unlock();
            refuse(fd, "too many connections from", address);
            return;
        }
    } else if (m_connections.size() >= m_maxConnections && !makeRoom({}, 0)) {
        lock.unlock();
        refuse(fd, "at the limit of " + std::to_string(m_maxConnections) + ", from", address);
        return;
    }
    const std::uint64_t id = ++m_nextId;
    Connection &connection = m_connections[id];
    connection.peer = socket.peer;
    connection.peerLength = socket.peerLength;
    connection.peerTrusted = trusted;
    connection.accepted = socket.accepted;
    connection.client = client;
    connection.fd = fd;
    if (!client.empty())
        ++m_perClient[client];
    m_silent.insert(id);
    ++m_lookedAt;
    m_trimDue.reset();
    // Edge-triggered: looked at again only when more bytes came, since
    // bytes only peeked at keep a socket readable.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.u64 = id;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        countOut(m_connections.find(id));
        lock.unlock();
        ::close(fd);
        return;
    }
    // The thread waits for the first deadline, which comes before this
    // one; with none, it waits for ever and must be told.
    const bool first = m_deadlines.empty();
    m_deadlines.push_back({socket.accepted + m_firstBytesTimeout, id});
    // Connections decided long before their deadline leave entries behind.
    if (m_deadlines.size() > 2 * std::size_t(m_lookedAt) + 64)
        std::erase_if(m_deadlines, [this](const Deadline &deadline) {
            const auto it = m_connections.find(deadline.id);
            return it == m_connections.end() || it->second.fd < 0;
        });
    lock.unlock();
    if (first)
        wake();
}

bool ConnectionIntake::makeRoom(const std::string &client, std::uint64_t except)
{
    // Making room among all, each pass looks first among the connections
    // of the client with the most open, when one has more than one: a few
    // addresses with many connections then cannot push out one with few.
    std::string busiest;
    unsigned most = 1;
    if (client.empty()) {
        for (const auto &[key, count] : m_perClient) {
            if (count > most) {
                most = count;
                busiest = key;
            }
        }
    }
    // Those that sent nothing yet go first, then those whose request is on
    // its way (handed on, or with bytes not yet looked at): a client that
    // sent its first bytes never gives way to connections that only stay
    // silent.
    const std::pair<std::array<std::set<std::uint64_t> *, 2>, bool> stages[] = {
        {{&m_silent, nullptr}, true}, {{&m_waiting, &m_silent}, false}};
    for (const auto &[sets, silentOnly] : stages) {
        for (const std::string *of : std::array<const std::string *, 2>{&busiest, &client}) {
            if (of == &busiest && busiest.empty())
                continue;
            for (std::set<std::uint64_t> *waiting : sets) {
                if (waiting && closeOneWaiting(*waiting, silentOnly, *of, except))
                    return true;
            }
        }
    }
    return false;
}

bool ConnectionIntake::closeOneWaiting(std::set<std::uint64_t> &waiting, bool silentOnly,
                                       const std::string &client, std::uint64_t except)
{
    for (auto next = waiting.begin(); next != waiting.end();) {
        const std::uint64_t id = *next;
        const auto it = m_connections.find(id);
        Connection &connection = it->second;
        int unread = 0;
        if (id == except || connection.handing ||
            (!client.empty() && connection.client != client) ||
            (silentOnly && ::ioctl(connection.fd, FIONREAD, &unread) == 0 && unread > 0)) {
            ++next;
            continue;
        }
        if (connection.fd >= 0) {
            // Still looked at here: closed at once.
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, connection.fd, nullptr);
            ::close(connection.fd);
        } else if (m_leaving.size() >= kMaxLeaving) {
            ++next;
            continue;
        } else if (m_giveWay(id)) {
            m_leaving.insert(id);
        } else {
            // Its request came in meanwhile, or it closed.
            next = waiting.erase(next);
            continue;
        }
        countOut(it);
        ++m_gaveWay;
        if (m_gaveWayUnlogged++ == 0 && !m_gaveWayLogDue) {
            m_gaveWayLogDue = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            wake();
        }
        return true;
    }
    return false;
}

void ConnectionIntake::countOut(std::map<std::uint64_t, Connection>::iterator it)
{
    const Connection &connection = it->second;
    if (!connection.client.empty()) {
        const auto client = m_perClient.find(connection.client);
        if (client != m_perClient.end() && --client->second == 0)
            m_perClient.erase(client);
    }
    if (connection.fd >= 0 && --m_lookedAt == 0)
        m_decided.notify_all();
    m_silent.erase(it->first);
    m_waiting.erase(it->first);
    m_connections.erase(it);
    noneOpenMaybe();
}

void ConnectionIntake::noneOpenMaybe()
{
    if (!m_connections.empty() || !m_leaving.empty())
        return;
    m_allClosed.notify_all();
    if (m_trimWhenIdle && !m_stopping) {
        m_trimDue = std::chrono::steady_clock::now() + kIdleBeforeTrim;
        wake();
    }
}

void ConnectionIntake::run()
{
    std::vector<epoll_event> events(64);
    for (;;) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        const int timeoutMs = expire();
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeoutMs);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u64 == kWakeId) {
                std::uint64_t count = 0;
                while (::read(m_wake, &count, sizeof count) < 0 && errno == EINTR) {
                }
                continue;
            }
            decide(events[i].data.u64);
        }
    }
}

int ConnectionIntake::expire()
{
    std::vector<std::pair<int, sockaddr_storage>> silent;
    std::optional<std::chrono::steady_clock::time_point> next;
    unsigned gaveWay = 0;
    bool trim = false;
    const auto now = std::chrono::steady_clock::now();
    {
        const std::lock_guard lock(m_mutex);
        while (!m_deadlines.empty()) {
            const Deadline deadline = m_deadlines.front();
            const auto it = m_connections.find(deadline.id);
            if (it == m_connections.end() || it->second.fd < 0) {
                m_deadlines.pop_front(); // decided before
                continue;
            }
            if (deadline.when > now) {
                next = deadline.when;
                break;
            }
            // Counted out before the client can see the close and come again.
            silent.emplace_back(it->second.fd, it->second.peer);
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second.fd, nullptr);
            it->second.fd = -1;
            if (--m_lookedAt == 0)
                m_decided.notify_all();
            countOut(it);
            m_deadlines.pop_front();
        }
        if (m_gaveWayLogDue && *m_gaveWayLogDue <= now) {
            gaveWay = m_gaveWayUnlogged;
            m_gaveWayUnlogged = 0;
            m_gaveWayLogDue.reset();
        }
        if (m_trimDue && *m_trimDue <= now) {
            trim = m_connections.empty() && m_leaving.empty();
            m_trimDue.reset();
        }
        for (const auto &due : {m_gaveWayLogDue, m_trimDue}) {
            if (due && (!next || *due < *next))
                next = *due;
        }
    }
    const std::string why =
        "nothing to go by after " + std::to_string(m_firstBytesTimeout.count() / 1000) + " s from";
    for (const auto &[fd, peer] : silent)
        refuse(fd, why, reinterpret_cast<const sockaddr *>(&peer));
    if (gaveWay > 0)
        m_log.problem("closed " + std::to_string(gaveWay) + ' ' + m_name +
                      "s whose request was not in, to make room for new ones");
    if (trim)
        ::malloc_trim(0);
    if (!next)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return int(std::min<long long>(left.count(), 24 * 3600 * 1000));
}

bool ConnectionIntake::decide(std::uint64_t id)
{
    std::unique_lock lock(m_mutex);
    const auto it = m_connections.find(id);
    if (it == m_connections.end() || it->second.fd < 0)
        return true; // closed to make room, or decided before
    Connection &connection = it->second;
    const int fd = connection.fd;
    const auto *peer = reinterpret_cast<const sockaddr *>(&connection.peer);
    // Peeked at under the lock, so that no one closes it meanwhile.
    char bytes[kLookBytes];
    const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    const ProxyHeader header =
        n <= 0 ? ProxyHeader{} : parseProxyHeader(std::string_view(bytes, std::size_t(n)));
    if (n > 0 && header.status == ProxyHeader::Status::NeedMore)
        return false;
    // Decided: no longer looked at here, nor silent.
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    connection.fd = -1;
    m_silent.erase(id);
    m_waiting.insert(id);
    if (--m_lookedAt == 0)
        m_decided.notify_all();
    const sockaddr_storage peerCopy = connection.peer;
    peer = reinterpret_cast<const sockaddr *>(&peerCopy);
    const auto closeIt = [&](const char *why) {
        countOut(it);
        lock.unlock();
        if (why)
            refuse(fd, why, peer);
        else
            ::close(fd);
        return true;
    };
    if (n <= 0) // gone before saying anything
        return closeIt(nullptr);
    switch (header.status) {
    case ProxyHeader::Status::NeedMore:
    case ProxyHeader::Status::Absent: {
        connection.handing = true;
        const socklen_t length = connection.peerLength;
        const auto accepted = connection.accepted;
        lock.unlock();
        finish(fd, peer, length, accepted, id);
        return true;
    }
    case ProxyHeader::Status::Malformed:
        return closeIt("malformed PROXY header from");
    case ProxyHeader::Status::Proxied:
    case ProxyHeader::Status::Local:
        break;
    }
    if (!connection.peerTrusted)
        return closeIt("PROXY header from untrusted");
    // Takes the header off; it is all there, since it was just seen.
    if (::recv(fd, bytes, header.length, 0) != ssize_t(header.length))
        return closeIt(nullptr);
    const auto accepted = connection.accepted;
    if (header.status == ProxyHeader::Status::Local) {
        connection.handing = true;
        const socklen_t length = connection.peerLength;
        lock.unlock();
        finish(fd, peer, length, accepted, id);
        return true;
    }
    // Counted in all under the balancer, from now on also for its client.
    const auto *client = reinterpret_cast<const sockaddr *>(&header.source);
    if (!m_trusted.contains(client)) {
        const std::string key = clientKey(client);
        const auto perClient = m_perClient.find(key);
        if (perClient != m_perClient.end() && perClient->second >= m_maxPerClient &&
            !makeRoom(key, id)) {
            countOut(it);
            lock.unlock();
            refuse(fd, "too many connections from", client);
            return true;
        }
        connection.client = key;
        ++m_perClient[key];
    }
    connection.handing = true;
    lock.unlock();
    finish(fd, client,
           header.source.ss_family == AF_INET ? socklen_t(sizeof(sockaddr_in))
                                              : socklen_t(sizeof(sockaddr_in6)),
           accepted, id);
    return true;
}

void ConnectionIntake::finish(int fd, const sockaddr *client, socklen_t length,
                              std::chrono::steady_clock::time_point accepted, std::uint64_t id)
{
    // Counted connections are released by closed(), which the server calls
    // for every connection it took; one it did not take is released here.
    const bool served = m_serve(fd, client, length, accepted, id);
    const std::lock_guard lock(m_mutex);
    const auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    if (served)
        it->second.handing = false;
    else
        countOut(it);
}

void ConnectionIntake::requestIn(std::uint64_t id)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_connections.find(id);
    if (it != m_connections.end())
        m_waiting.erase(id);
}

void ConnectionIntake::closed(std::uint64_t id)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_connections.find(id);
    if (it != m_connections.end())
        countOut(it);
    else if (m_leaving.erase(id) > 0)
        noneOpenMaybe();
}

unsigned ConnectionIntake::open()
{
    const std::lock_guard lock(m_mutex);
    return unsigned(m_connections.size() + m_leaving.size());
}

std::uint64_t ConnectionIntake::gaveWay()
{
    const std::lock_guard lock(m_mutex);
    return m_gaveWay;
}

unsigned ConnectionIntake::waitUntilAllClosed(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    m_allClosed.wait_until(lock, deadline,
                           [this] { return m_connections.empty() && m_leaving.empty(); });
    return unsigned(m_connections.size() + m_leaving.size());
}

void ConnectionIntake::refuse(int fd, const std::string &why, const sockaddr *client)
{
    if (fd >= 0)
        ::close(fd);
    // A few a second, and a count of the others once the burst is over.
    m_log.thinned(RequestLog::Priority::Error, "closed " + m_name + "s",
                  "closed a " + m_name + ": " + why + ' ' + addressText(client));
}

} // namespace parlonda
