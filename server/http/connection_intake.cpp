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

ConnectionIntake::ConnectionIntake(AddressRanges trusted, unsigned maxPerClient,
                                   unsigned maxWaiting, std::chrono::milliseconds firstBytesTimeout,
                                   Serve serve, RequestLog &log)
    : m_trusted(std::move(trusted)), m_maxPerClient(maxPerClient), m_maxWaiting(maxWaiting),
      m_firstBytesTimeout(firstBytesTimeout), m_serve(std::move(serve)), m_log(log)
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
        const std::uint64_t one = 1;
        while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    const std::lock_guard lock(m_mutex);
    for (const auto &[fd, pending] : m_pending) {
        if (!pending.peerTrusted)
            closed(reinterpret_cast<const sockaddr *>(&pending.peer));
        ::close(fd);
    }
    m_pending.clear();
    for (int *fd : {&m_epoll, &m_wake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ConnectionIntake::take(int fd, const sockaddr_storage &peer, socklen_t peerLength)
{
    const auto *address = reinterpret_cast<const sockaddr *>(&peer);
    Pending pending{peer, peerLength, m_trusted.contains(address),
                    std::chrono::steady_clock::now() + m_firstBytesTimeout};
    // A stranger counts from the start, also while it sends nothing.
    if (!pending.peerTrusted && !count(address)) {
        refuse(fd, "too many connections from", address);
        return;
    }
    std::unique_lock lock(m_mutex);
    if (m_stopping || m_pending.size() >= m_maxWaiting) {
        const bool stopping = m_stopping;
        lock.unlock();
        if (!pending.peerTrusted)
            closed(address);
        if (stopping)
            ::close(fd);
        else
            refuse(fd, "too many connections not yet heard from; the last from", address);
        return;
    }
    m_pending.emplace(fd, pending);
    // Edge-triggered: looked at again only when more bytes came, since
    // bytes only peeked at keep a socket readable.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.fd = fd;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        m_pending.erase(fd);
        if (!pending.peerTrusted)
            closed(address);
        ::close(fd);
    }
}

void ConnectionIntake::run()
{
    std::vector<epoll_event> events(64);
    for (;;) {
        int timeoutMs = -1;
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            const auto now = std::chrono::steady_clock::now();
            for (auto it = m_pending.begin(); it != m_pending.end();) {
                if (it->second.deadline <= now) {
                    const int fd = it->first;
                    if (!it->second.peerTrusted)
                        closed(reinterpret_cast<const sockaddr *>(&it->second.peer));
                    it = m_pending.erase(it);
                    ::close(fd);
                    if (m_pending.empty())
                        m_decided.notify_all();
                    continue;
                }
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(it->second.deadline - now);
                timeoutMs =
                    timeoutMs < 0 ? int(left.count()) : std::min(timeoutMs, int(left.count()));
                ++it;
            }
        }
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeoutMs);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_wake)
                return;
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

bool ConnectionIntake::decide(int fd, Pending &pending)
{
    const auto *peer = reinterpret_cast<const sockaddr *>(&pending.peer);
    char bytes[kLookBytes];
    const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (n <= 0) { // gone before saying anything
        forget(fd);
        if (!pending.peerTrusted)
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
        finish(fd, peer, pending.peerLength);
        return true;
    case ProxyHeader::Status::Malformed:
        forget(fd);
        if (!pending.peerTrusted)
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
        ::close(fd);
        return true;
    }
    if (header.status == ProxyHeader::Status::Local) {
        finish(fd, peer, pending.peerLength);
        return true;
    }
    const auto *client = reinterpret_cast<const sockaddr *>(&header.source);
    if (!m_trusted.contains(client) && !count(client)) {
        refuse(fd, "too many connections from", client);
        return true;
    }
    finish(fd, client,
           header.source.ss_family == AF_INET ? socklen_t(sizeof(sockaddr_in))
                                              : socklen_t(sizeof(sockaddr_in6)));
    return true;
}

void ConnectionIntake::finish(int fd, const sockaddr *client, socklen_t length)
{
    // Counted connections are released by closed(), which the server calls
    // for every connection it took; one it did not take is released here.
    if (!m_serve(fd, client, length) && !m_trusted.contains(client))
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

bool ConnectionIntake::count(const sockaddr *client)
{
    const std::lock_guard lock(m_countMutex);
    unsigned &open = m_perClient[clientKey(client)];
    if (open >= m_maxPerClient)
        return false;
    ++open;
    return true;
}

void ConnectionIntake::closed(const sockaddr *client)
{
    if (m_trusted.contains(client))
        return;
    const std::lock_guard lock(m_countMutex);
    const auto it = m_perClient.find(clientKey(client));
    if (it != m_perClient.end() && --it->second == 0)
        m_perClient.erase(it);
}

void ConnectionIntake::refuse(int fd, const char *why, const sockaddr *client)
{
    ::close(fd);
    const std::lock_guard lock(m_refusalMutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - m_refusalSecond >= std::chrono::seconds(1)) {
        if (m_refusalsLeftOut > 0)
            m_log.problem(std::to_string(m_refusalsLeftOut) + " more refused connections left out");
        m_refusalSecond = now;
        m_refusalsThisSecond = 0;
        m_refusalsLeftOut = 0;
    }
    if (++m_refusalsThisSecond <= kRefusalsLoggedPerSecond)
        m_log.problem(std::string("closed a connection: ") + why + ' ' + addressText(client));
    else
        ++m_refusalsLeftOut;
}

} // namespace parlonda
