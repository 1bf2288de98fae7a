#include "server/http/connection_intake.h"

#include "server/http/listeners.h"
#include "server/http/proxy_header.h"
#include "server/request_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace parlonda {
namespace {

constexpr int kRefusalsLoggedPerSecond = 5;
// Enough to tell any header, and to take a version 2 one with its extensions.
constexpr std::size_t kLookBytes = std::max(kProxyV1MaxBytes, kProxyV2MaxBytes);

} // namespace

ConnectionIntake::ConnectionIntake(std::string name, AddressRanges trusted, unsigned maxConnections,
                                   unsigned maxPerClient,
                                   std::chrono::milliseconds firstBytesTimeout, Serve serve,
                                   RequestLog &log)
    : m_name(std::move(name)), m_trusted(std::move(trusted)), m_maxConnections(maxConnections),
      m_maxPerClient(maxPerClient), m_firstBytesTimeout(firstBytesTimeout),
      m_serve(std::move(serve)), m_log(log)
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
    event.data.fd = m_wake;
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
    return m_decided.wait_until(lock, deadline, [this] { return m_pending.empty(); });
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
    for (const auto &[fd, pending] : m_pending) {
        closed(reinterpret_cast<const sockaddr *>(&pending.peer));
        ::close(fd);
    }
    m_pending.clear();
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
    // Counted from the start, also while it sends nothing.
    switch (admit(address, trusted)) {
    case Admission::Admitted:
        break;
    case Admission::AllInUse:
        refuse(fd, "at the limit of " + std::to_string(m_maxConnections) + ", from", address);
        return;
    case Admission::TooManyFromClient:
        refuse(fd, "too many connections from", address);
        return;
    }
    std::unique_lock lock(m_mutex);
    if (m_stopping) {
        lock.unlock();
        closed(address);
        ::close(fd);
        return;
    }
    const std::uint64_t serial = ++m_nextSerial;
    m_pending.emplace(fd,
                      Pending{socket.peer, socket.peerLength, trusted, socket.accepted, serial});
    // Edge-triggered: looked at again only when more bytes came, since
    // bytes only peeked at keep a socket readable.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.fd = fd;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        m_pending.erase(fd);
        if (m_pending.empty())
            m_decided.notify_all();
        lock.unlock();
        closed(address);
        ::close(fd);
        return;
    }
    // The thread waits for the first deadline, which comes before this
    // one; with none, it waits for ever and must be told.
    const bool first = m_deadlines.empty();
    m_deadlines.push_back({socket.accepted + m_firstBytesTimeout, fd, serial});
    // Connections decided long before their deadline leave entries behind.
    if (m_deadlines.size() > 2 * m_pending.size() + 64)
        std::erase_if(m_deadlines, [this](const Deadline &deadline) {
            const auto it = m_pending.find(deadline.fd);
            return it == m_pending.end() || it->second.serial != deadline.serial;
        });
    lock.unlock();
    if (first)
        wake();
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
            const int fd = events[i].data.fd;
            if (fd == m_wake) {
                std::uint64_t count = 0;
                while (::read(m_wake, &count, sizeof count) < 0 && errno == EINTR) {
                }
                continue;
            }
            // Only this thread closes a pending socket, so it stays open
            // while looked at outside the lock.
            std::unique_lock lock(m_mutex);
            const auto it = m_pending.find(fd);
            if (it == m_pending.end())
                continue;
            Pending pending = it->second;
            lock.unlock();
            decide(fd, pending);
        }
    }
}

int ConnectionIntake::expire()
{
    std::vector<std::pair<int, Pending>> silent;
    int timeoutMs = -1;
    {
        const std::lock_guard lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        while (!m_deadlines.empty()) {
            const Deadline deadline = m_deadlines.front();
            const auto it = m_pending.find(deadline.fd);
            if (it == m_pending.end() || it->second.serial != deadline.serial) {
                m_deadlines.pop_front(); // decided before
                continue;
            }
            if (deadline.when > now) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.when - now);
                timeoutMs = int(std::min<long long>(left.count(), 24 * 3600 * 1000));
                break;
            }
            silent.emplace_back(deadline.fd, it->second);
            m_pending.erase(it);
            m_deadlines.pop_front();
        }
        if (!silent.empty() && m_pending.empty())
            m_decided.notify_all();
    }
    const std::string why =
        "nothing to go by after " + std::to_string(m_firstBytesTimeout.count() / 1000) + " s from";
    for (const auto &[fd, pending] : silent) {
        // Counted out before the client can see the close and come again.
        const auto *peer = reinterpret_cast<const sockaddr *>(&pending.peer);
        closed(peer);
        refuse(fd, why, peer); // closing it takes it out of the epoll set
    }
    return timeoutMs;
}

bool ConnectionIntake::decide(int fd, Pending &pending)
{
    const auto *peer = reinterpret_cast<const sockaddr *>(&pending.peer);
    char bytes[kLookBytes];
    const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (n <= 0) { // gone before saying anything
        forget(fd);
        closed(peer);
        ::close(fd);
        return true;
    }
    const ProxyHeader header = parseProxyHeader(std::string_view(bytes, std::size_t(n)));
    switch (header.status) {
    case ProxyHeader::Status::NeedMore:
        return false;
    case ProxyHeader::Status::Absent:
        forget(fd);
        finish(fd, peer, pending.peerLength, pending.accepted);
        return true;
    case ProxyHeader::Status::Malformed:
        forget(fd);
        closed(peer);
        refuse(fd, "malformed PROXY header from", peer);
        return true;
    case ProxyHeader::Status::Proxied:
    case ProxyHeader::Status::Local:
        break;
    }
    forget(fd);
    if (!pending.peerTrusted) {
        closed(peer);
        refuse(fd, "PROXY header from untrusted", peer);
        return true;
    }
    // Takes the header off; it is all there, since it was just seen.
    if (::recv(fd, bytes, header.length, 0) != ssize_t(header.length)) {
        closed(peer);
        ::close(fd);
        return true;
    }
    if (header.status == ProxyHeader::Status::Local) {
        finish(fd, peer, pending.peerLength, pending.accepted);
        return true;
    }
    // Counted in all under the balancer, from now on also for its client.
    const auto *client = reinterpret_cast<const sockaddr *>(&header.source);
    if (!m_trusted.contains(client) && !count(client)) {
        closed(peer);
        refuse(fd, "too many connections from", client);
        return true;
    }
    finish(fd, client,
           header.source.ss_family == AF_INET ? socklen_t(sizeof(sockaddr_in))
                                              : socklen_t(sizeof(sockaddr_in6)),
           pending.accepted);
    return true;
}

void ConnectionIntake::finish(int fd, const sockaddr *client, socklen_t length,
                              std::chrono::steady_clock::time_point accepted)
{
    // Counted connections are released by closed(), which the server calls
    // for every connection it took; one it did not take is released here.
    if (!m_serve(fd, client, length, accepted))
        closed(client);
}

void ConnectionIntake::forget(int fd)
{
    const std::lock_guard lock(m_mutex);
    m_pending.erase(fd);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    if (m_pending.empty())
        m_decided.notify_all();
}

ConnectionIntake::Admission ConnectionIntake::admit(const sockaddr *peer, bool peerTrusted)
{
    const std::lock_guard lock(m_countMutex);
    if (m_open >= m_maxConnections)
        return Admission::AllInUse;
    if (!peerTrusted && !countClient(peer))
        return Admission::TooManyFromClient;
    ++m_open;
    return Admission::Admitted;
}

bool ConnectionIntake::count(const sockaddr *client)
{
    const std::lock_guard lock(m_countMutex);
    return countClient(client);
}

bool ConnectionIntake::countClient(const sockaddr *client)
{
    unsigned &open = m_perClient[clientKey(client)];
    if (open >= m_maxPerClient)
        return false;
    ++open;
    return true;
}

void ConnectionIntake::closed(const sockaddr *client)
{
    const std::lock_guard lock(m_countMutex);
    if (m_open > 0 && --m_open == 0)
        m_allClosed.notify_all();
    // A trusted client was never counted, and so has no count: asked by
    // the count rather than the ranges, which a reload may have changed
    // since the connection was counted.
    const auto it = m_perClient.find(clientKey(client));
    if (it != m_perClient.end() && --it->second == 0)
        m_perClient.erase(it);
}

unsigned ConnectionIntake::open()
{
    const std::lock_guard lock(m_countMutex);
    return m_open;
}

unsigned ConnectionIntake::waitUntilAllClosed(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_countMutex);
    m_allClosed.wait_until(lock, deadline, [this] { return m_open == 0; });
    return m_open;
}

void ConnectionIntake::refuse(int fd, const std::string &why, const sockaddr *client)
{
    if (fd >= 0)
        ::close(fd);
    const std::lock_guard lock(m_refusalMutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - m_refusalSecond >= std::chrono::seconds(1)) {
        if (m_refusalsLeftOut > 0)
            m_log.problem(std::to_string(m_refusalsLeftOut) + " more closed " + m_name +
                          "s left out");
        m_refusalSecond = now;
        m_refusalsThisSecond = 0;
        m_refusalsLeftOut = 0;
    }
    if (++m_refusalsThisSecond <= kRefusalsLoggedPerSecond)
        m_log.problem("closed a " + m_name + ": " + why + ' ' + addressText(client));
    else
        ++m_refusalsLeftOut;
}

} // namespace parlonda
