// parlonda-regnick: the stand-in registration service. Parses the options,
// checks that it can work, wires the parts of the parlonda_regnick library
// together and runs them until told to stop.
#include "server/http/acceptor.h"
#include "server/http/http_daemon.h"
#include "server/http/listeners.h"
#include "server/http/tls_files.h"
#include "server/request_log.h"
#include "server/service_options.h"
#include "server/service_signals.h"
#include "server/signup/hash_pool.h"
#include "server/signup/rate_limiter.h"
#include "server/signup/regnick_service.h"
#include "server/store/account_store.h"
#include "server/systemd.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sodium.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace parlonda;

// Stopping must take at most 2 s; the process still has to exit after this.
constexpr std::chrono::milliseconds kStopBudget{1500};
// File descriptors beyond the connections: the database, its journal, the
// log, the listening sockets, epoll and the library's wake-up pipe.
constexpr rlim_t kSpareDescriptors = 64;

int refuse(const std::string &why)
{
    std::cerr << "parlonda-regnick: " << why << '\n';
    return 1;
}

// Every connection is a socket. The usual soft limit (1024) is below the
// default connection limit, so raise it as far as the hard limit allows.
bool enoughDescriptors(unsigned maxConnections, std::string &error)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return true;
    const rlim_t needed = maxConnections + kSpareDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
            error = "--max-connections " + std::to_string(maxConnections) + " needs " +
                    std::to_string(needed) + " file descriptors, but the limit is " +
                    std::to_string(limit.rlim_max) + " (ulimit -Hn)";
            return false;
        }
        limit.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return true;
}

// "::", every address of this machine, serves IPv4 too, unless an IPv4
// address is listened on as well: that one would then be taken twice.
bool ipv6Only(const std::string &address, const std::vector<std::string> &all)
{
    in6_addr v6{};
    in_addr v4{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1 || !IN6_IS_ADDR_UNSPECIFIED(&v6))
        return false;
    for (const std::string &other : all) {
        if (inet_pton(AF_INET, other.c_str(), &v4) == 1)
            return true;
    }
    return false;
}

// The sockets systemd passed in, or else those of --listen, bound here.
// Empty after saying why on standard error.
std::vector<Listener> openListeners(const ServiceOptions &options)
{
    std::vector<Listener> listeners;
    std::string error;
    const auto fail = [&](const std::string &why) {
        refuse(why);
        for (const Listener &listener : listeners)
            ::close(listener.fd);
        return std::vector<Listener>{};
    };
    if (const std::vector<int> passed = socketsFromSystemd(); !passed.empty()) {
        for (const int fd : passed) {
            const Listener listener = describeListener(fd, error);
            if (listener.fd < 0)
                return fail("cannot serve on a socket from systemd: " + error);
            listeners.push_back(listener);
            if (!plainHttpAllowed(options, listener.address))
                return fail("not serving on " + hostAndPort(listener));
        }
        return listeners;
    }
    auto port = static_cast<std::uint16_t>(options.port);
    for (const std::string &address : options.listen) {
        const Listener listener =
            openListener(address, port, ipv6Only(address, options.listen), error);
        if (listener.fd < 0)
            return fail("cannot listen on " + hostAndPort({-1, address, port}) + ": " + error);
        // With port 0, the others take the port the kernel gave the first.
        port = listener.port;
        listeners.push_back(listener);
    }
    return listeners;
}

// SIGHUP: a new log file after rotation, a renewed certificate. Whatever
// fails is logged, and the service goes on as it was.
void reload(const ServiceOptions &options, RequestLog &log, TlsCredentials &credentials)
{
    std::string error;
    if (!options.log.empty()) {
        if (log.reopenFile(options.log, error))
            log.notice("opened the log " + options.log + " again");
        else
            log.problem("logging on to the file open before: " + error);
    }
    if (!options.tls())
        return;
    if (credentials.load(options.tlsCertificate, options.tlsKey, error))
        log.notice("reloaded the TLS certificate " + options.tlsCertificate + " and key " +
                   options.tlsKey);
    else
        log.problem("keeping the TLS certificate loaded before: " + error);
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    blockServiceSignals();
    // A client that goes away while its answer is being written must not
    // take the service with it.
    std::signal(SIGPIPE, SIG_IGN);

    const std::optional<ServiceOptions> options = parseServiceOptions(argc, argv);
    if (!options) {
        std::cerr << "Try 'parlonda-regnick --help'.\n";
        return 2;
    }
    if (options->help) {
        std::cout << serviceUsage();
        return 0;
    }

    if (sodium_init() < 0)
        return refuse("cannot initialise libsodium");
    std::string error;

    TlsCredentials credentials;
    if (options->tls() && !credentials.load(options->tlsCertificate, options->tlsKey, error))
        return refuse(error);
    if (!enoughDescriptors(options->limits.maxConnections, error))
        return refuse(error);

    int logFd = STDERR_FILENO;
    if (!options->log.empty() && (logFd = RequestLog::openFile(options->log, error)) < 0)
        return refuse(error);
    const std::unique_ptr<int, void (*)(int *)> logCloser(logFd == STDERR_FILENO ? nullptr : &logFd,
                                                          [](int *fd) { ::close(*fd); });
    RequestLog log(logFd, goesToJournal(logFd));

    const std::unique_ptr<AccountStore> store = AccountStore::open(options->db, error);
    if (!store)
        return refuse(error);

    std::vector<Listener> listeners = openListeners(*options);
    if (listeners.empty())
        return 1;

    HashPool hashing(options->hashWorkers);
    RateLimiter attempts(options->ratePerMinute, options->rateBurst);
    RegnickService service(*store, hashing, attempts, log);
    HttpDaemon daemon({service.route()}, log);
    const HttpTls tls{options->tls() ? &credentials : nullptr, options->tlsPriorities};
    if (!daemon.start(options->limits, tls, error)) {
        for (const Listener &listener : listeners)
            ::close(listener.fd);
        return refuse("cannot serve HTTP: " + error);
    }
    // Every connection goes to the HTTP daemon under its peer's address.
    Acceptor acceptor(
        std::move(listeners), [&daemon](AcceptedSocket socket) { daemon.addConnection(socket); },
        log);
    if (!acceptor.start(error))
        return refuse(error);

    // Scripts and tests wait for these lines to learn the port, one per
    // listening socket; in the log first: once a line is out, a request may
    // be logged.
    std::string status;
    for (const Listener &listener : acceptor.listeners()) {
        const std::string line = std::string("listening on ") +
                                 (options->tls() ? "https://" : "http://") + hostAndPort(listener);
        log.notice(line);
        std::cout << line << '\n';
        status += (status.empty() ? "" : ", ") + line.substr(std::strlen("listening on "));
    }
    std::cout << std::flush;
    status = "READY=1\nSTATUS=Serving on " + status;
    tellSystemd(status);

    int signal = 0;
    while ((signal = waitForServiceSignal()) == SIGHUP) {
        tellSystemd("RELOADING=1");
        reload(*options, log, credentials);
        tellSystemd(status);
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopBudget;
    tellSystemd("STOPPING=1\nSTATUS=Stopping");
    log.notice(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    acceptor.stop();
    // Sign-ups still waiting for a worker get no answer; those being hashed
    // finish, and their answers get the rest of the time to go out.
    if (!hashing.stop(deadline) || !daemon.waitForSuspended(deadline)) {
        // A sign-up stuck in the database: its transaction either committed
        // or rolls back (when the file is next opened, or when the server
        // sees the connection close), and its client gets no answer either way.
        log.problem("stopping without waiting any longer for sign-ups in progress");
        std::_Exit(0);
    }
    daemon.stop();
    return 0;
}
