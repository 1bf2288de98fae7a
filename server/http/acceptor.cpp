#include "server/http/acceptor.h"

#include "server/request_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace parlonda {
namespace {

// Out of file descriptors with no reserve to shed a connection on, a
// listener stays readable: accepting again at once would spin. Connections
// wait in the backlog meanwhile.
constexpr int kPauseWhenOutOfDescriptorsMs = 100;
// Connections taken from one listener before the others and the stop
// signal get their turn.
constexpr int kAcceptsPerTurn = 16;

long long steadySecond()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// On "::" serving IPv4 too, an IPv4 client comes as ::ffff:a.b.c.d. The
// limits and the log know it by its IPv4 address: as IPv6, every IPv4
// client would fall into one /64.
void unmapIpv4(AcceptedSocket &socket)
{
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(socket.peer);
    if (socket.peer.ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
        return;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = v6.sin6_port;
    std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], sizeof v4.sin_addr);
    socket.peer = {};
    std::memcpy(&socket.peer, &v4, sizeof v4);
    socket.peerLength = sizeof v4;
}

} // namespace

Acceptor::Acceptor(std::vector<Listener> listeners, Handler handler, RequestLog &log)
    : m_listeners(std::move(listeners)), m_handler(std::move(handler)), m_log(log)
{
}

Acceptor::~Acceptor()
{
    stop();
}

bool Acceptor::start(std::string &error)
{
    // Sockets passed in by systemd may be blocking: a connection reset
    // between poll() and accept() would then hold this thread.
    for (const Listener &listener : m_listeners) {
        const int flags = ::fcntl(listener.fd, F_GETFL);
        if (flags < 0 || ::fcntl(listener.fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            error = "cannot make socket " + std::to_string(listener.fd) +
                    " non-blocking: " + std::strerror(errno);
            return false;
        }
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) {
        error = std::string("cannot make an eventfd: ") + std::strerror(errno);
        return false;
    }
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_thread = std::thread([this] { run(); });
    return true;
}

void Acceptor::stop()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    for (int *fd : {&m_wake, &m_reserve}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    for (Listener &listener : m_listeners) {
        if (listener.fd >= 0)
            ::close(listener.fd);
        listener.fd = -1;
    }
}

void Acceptor::run()
{
    std::vector<pollfd> watched;
    watched.push_back({m_wake, POLLIN, 0});
    for (const Listener &listener : m_listeners)
        watched.push_back({listener.fd, POLLIN, 0});
    bool paused = false;
    bool more = false;
    for (;;) {
        // While paused only the wake-up is watched, for a short while; with
        // connections left over from the last turn, nothing is waited for.
        const nfds_t count = paused ? 1 : static_cast<nfds_t>(watched.size());
        const int ready = ::poll(watched.data(), count,
                                 paused ? kPauseWhenOutOfDescriptorsMs
                                 : more ? 0
                                        : -1);
        if (ready < 0 && errno != EINTR) {
            problem(std::string("cannot wait for connections: ") + std::strerror(errno));
            return;
        }
        if (ready > 0 && watched[0].revents != 0)
            return;
        paused = false;
        more = false;
        for (nfds_t i = 1; ready > 0 && i < count; ++i) {
            if (watched[i].revents == 0)
                continue;
            switch (acceptSome(watched[i].fd)) {
            case Turn::Done:
                break;
            case Turn::More:
                more = true;
                break;
            case Turn::Pause:
                paused = true;
                break;
            }
        }
    }
}

Acceptor::Turn Acceptor::acceptSome(int listener)
{
    for (int taken = 0; taken < kAcceptsPerTurn; ++taken) {
        AcceptedSocket socket;
        socket.peerLength = sizeof socket.peer;
        socket.fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&socket.peer),
                              &socket.peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket.fd >= 0) {
            socket.accepted = std::chrono::steady_clock::now();
            unmapIpv4(socket);
            m_handler(socket);
            continue;
        }
        switch (errno) {
        case EAGAIN:
            return Turn::Done;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM: // a firewall said no
            continue;
        case EMFILE:
        case ENFILE:
            if (refuseOne(listener))
                continue;
            problem(std::string("cannot accept connections for now: ") + std::strerror(errno));
            return Turn::Pause;
        case ENOBUFS:
        case ENOMEM:
            problem(std::string("cannot accept connections for now: ") + std::strerror(errno));
            return Turn::Pause;
        default:
            problem(std::string("cannot accept a connection: ") + std::strerror(errno));
            return Turn::Pause;
        }
    }
    return Turn::More;
}

bool Acceptor::refuseOne(int listener)
{
    if (m_reserve < 0)
        return false;
    const int outOf = errno;
    ::close(m_reserve);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int acceptError = errno;
    if (fd >= 0)
        ::close(fd);
    // Taken back at once; should another thread have taken the room
    // meanwhile, the next time out of descriptors pauses instead.
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    errno = outOf;
    if (fd >= 0) {
        problem(std::string("closed a new connection at once, out of file descriptors (") +
                std::strerror(outOf) + ")");
        return true;
    }
    return acceptError == EAGAIN || acceptError == EINTR || acceptError == ECONNABORTED;
}

// Out of descriptors, this would speak ten times a second: once a second is
// enough, with a count of the others.
void Acceptor::problem(const std::string &text)
{
    const long long second = steadySecond();
    if (second == m_lastProblemSecond) {
        ++m_problemsLeftOut;
        return;
    }
    if (m_problemsLeftOut > 0)
        m_log.problem(std::to_string(m_problemsLeftOut) + " more such problems left out");
    m_lastProblemSecond = second;
    m_problemsLeftOut = 0;
    m_log.problem(text);
}

} // namespace parlonda
