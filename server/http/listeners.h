#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

namespace parlonda {

// A listening TCP socket, bound by the service itself or passed in by
// systemd, as the acceptor serves it.
struct Listener
{
    int fd = -1;
    std::string address; // numeric, as the socket is bound: "127.0.0.1", "::"
    std::uint16_t port = 0;
};

// Binds and listens on a numeric IPv4 or IPv6 address; port 0 takes a free
// one. Addresses in TIME_WAIT are reused (SO_REUSEADDR), so that the
// service starts again at once after a stop under traffic; a port another
// socket listens on is still refused, as SO_REUSEPORT would not. "::" also
// serves IPv4 unless `ipv6Only`. Null listener (fd -1) with the reason in
// `error`.
Listener openListener(const std::string &address, std::uint16_t port, bool ipv6Only,
                      std::string &error);

// What a socket passed in is bound to; fd -1 with the reason in `error`
// when it is not a listening TCP socket.
Listener describeListener(int fd, std::string &error);

// A process running this same program that holds a TCP socket listening
// on `port`: the service's own running copy, which --check must not take
// for a stranger. 0 when there is none, or none this process may see.
pid_t thisProgramListeningOn(std::uint16_t port);

// A numeric address as text ("-" for anything but IPv4 and IPv6).
std::string addressText(const sockaddr *address);

// "127.0.0.1:8080", "[::1]:8080".
std::string hostAndPort(const Listener &listener);

} // namespace parlonda
