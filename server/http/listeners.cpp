#include "server/http/listeners.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace parlonda {
namespace {

// Connections waiting to be accepted. The kernel caps it at somaxconn.
constexpr int kBacklog = 4096;

std::string reason(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

std::uint16_t portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
}

// The inodes of the TCP sockets listening on `port`, from the kernel's tables.
std::set<std::string> listeningInodes(std::uint16_t port)
{
    std::set<std::string> inodes;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line); // the heading
        while (std::getline(lines, line)) {
            // sl local_address rem_address st tx:rx tr:when retransmits uid timeout inode
            std::istringstream fields(line);
            std::string slot, local, remote, state, skip, inode;
            fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >>
                inode;
            const auto colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port)
                inodes.insert("socket:[" + inode + "]");
        }
    }
    return inodes;
}

std::string programOf(const std::string &process)
{
    char path[4096];
    const ssize_t length = ::readlink((process + "/exe").c_str(), path, sizeof path - 1);
    std::string program(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    // A program replaced by an upgrade while it runs.
    if (program.ends_with(" (deleted)"))
        program.resize(program.size() - 10);
    return program;
}

} // namespace

pid_t thisProgramListeningOn(std::uint16_t port)
{
    const std::set<std::string> inodes = listeningInodes(port);
    const std::string self = programOf("/proc/self");
    if (inodes.empty() || self.empty())
        return 0;
    const std::unique_ptr<DIR, int (*)(DIR *)> processes(::opendir("/proc"), &::closedir);
    while (processes) {
        const dirent *entry = ::readdir(processes.get());
        if (!entry)
            break;
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        const std::string process = std::string("/proc/") + entry->d_name;
        if (pid <= 0 || pid == ::getpid() || programOf(process) != self)
            continue;
        const std::unique_ptr<DIR, int (*)(DIR *)> files(::opendir((process + "/fd").c_str()),
                                                         &::closedir);
        while (files) {
            const dirent *file = ::readdir(files.get());
            if (!file)
                break;
            char target[64];
            const ssize_t length =
                ::readlinkat(::dirfd(files.get()), file->d_name, target, sizeof target - 1);
            if (length > 0 && inodes.contains(std::string(target, std::size_t(length))))
                return pid;
        }
    }
    return 0;
}

std::string addressText(const sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = "-";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text,
                  sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text,
                  sizeof text);
    return text;
}

std::string hostAndPort(const Listener &listener)
{
    const bool v6 = listener.address.find(':') != std::string::npos;
    return (v6 ? "[" + listener.address + "]" : listener.address) + ':' +
           std::to_string(listener.port);
}

Listener openListener(const std::string &address, std::uint16_t port, bool ipv6Only,
                      std::string &error)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        length = sizeof *in4;
    } else if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
    } else {
        error = address + " is not a numeric IPv4 or IPv6 address";
        return {};
    }

    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = reason("cannot open a socket");
        return {};
    }
    const int on = 1;
    const int v6only = ipv6Only ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (storage.ss_family == AF_INET6 &&
         ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0)) {
        error = reason("cannot set up the socket");
        ::close(fd);
        return {};
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&storage), length) != 0) {
        error = reason("cannot bind");
        ::close(fd);
        return {};
    }
    if (::listen(fd, kBacklog) != 0) {
        error = reason("cannot listen");
        ::close(fd);
        return {};
    }
    Listener listener = describeListener(fd, error);
    if (listener.fd < 0)
        ::close(fd);
    return listener;
}

Listener describeListener(int fd, std::string &error)
{
    int type = 0;
    int listening = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
        (size = sizeof listening,
         ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) ||
        !listening) {
        error = "socket " + std::to_string(fd) + " is not a listening stream socket";
        return {};
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0 ||
        (bound.ss_family != AF_INET && bound.ss_family != AF_INET6)) {
        error = "socket " + std::to_string(fd) + " is not an IPv4 or IPv6 socket";
        return {};
    }
    return {fd, addressText(reinterpret_cast<const sockaddr *>(&bound)), portOf(bound)};
}

} // namespace parlonda
