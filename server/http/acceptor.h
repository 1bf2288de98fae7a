#pragma once

#include "server/http/listeners.h"

#include <chrono>
#include <functional>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace parlonda {

class RequestLog;

// A connection just accepted: a non-blocking socket and its peer's address
// (an IPv4 client on a dual-stack socket as IPv4, not ::ffff:a.b.c.d).
struct AcceptedSocket
{
    int fd = -1;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    // Every time-out that counts from the start of a connection counts from here.
    std::chrono::steady_clock::time_point accepted{};
};

// Accepts connections on every listening socket the service owns, on one
// small thread of its own, and passes each to a handler. The handler is the
// place to decide about a connection before any HTTP is read: it owns the
// socket from then on, and either hands it to the HTTP daemon
// (HttpDaemon::addConnection) with the address the limits and the log
// should know the client by, keeps it for a while (to read something first,
// without blocking this thread), or closes it.
//
// Listeners are served in turn, a few connections each, and the stop
// signal is looked at between turns: a flood on one listener holds up
// neither another nor stop(). Out of file descriptors, a connection is
// still accepted, on a descriptor kept in reserve for it, and closed at
// once, rather than left to wait in the backlog while accept() fails again
// and again.
class Acceptor
{
public:
    using Handler = std::function<void(AcceptedSocket)>;

    // Takes the listeners; they are closed by stop().
    Acceptor(std::vector<Listener> listeners, Handler handler, RequestLog &log);
    ~Acceptor();
    Acceptor(const Acceptor &) = delete;
    Acceptor &operator=(const Acceptor &) = delete;

    const std::vector<Listener> &listeners() const { return m_listeners; }

    // Starts accepting; false with the reason in `error`.
    bool start(std::string &error);
    // Stops accepting and closes the listening sockets; connections already
    // handed on are not touched. Returns at once.
    void stop();

private:
    enum class Turn { Done, More, Pause };

    void run();
    // Accepts a few of the connections waiting on one listener.
    Turn acceptSome(int listener);
    // Out of descriptors: takes the next waiting connection on the
    // reserve descriptor and closes it; false when there is no reserve.
    bool refuseOne(int listener);
    void problem(const std::string &text);

    std::vector<Listener> m_listeners;
    Handler m_handler;
    RequestLog &m_log;
    int m_wake = -1;    // an eventfd: written to stop
    int m_reserve = -1; // /dev/null, closed to make room for one accept()
    std::thread m_thread;
    long long m_lastProblemSecond = -1;
    int m_problemsLeftOut = 0;
};

} // namespace parlonda
