// parlonda-regnick: the stand-in registration service. Parses the options,
// checks that it can work, wires the parts of the parlonda_regnick library
// together and runs them until told to stop.
#include "server/http/http_daemon.h"
#include "server/http/tls_files.h"
#include "server/metrics.h"
#include "server/request_log.h"
#include "server/service_options.h"
#include "server/signup/hash_pool.h"
#include "server/signup/password_hash.h"
#include "server/signup/rate_limiter.h"
#include "server/signup/regnick_service.h"
#include "server/stop_signals.h"
#include "server/store/account_store.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sodium.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace parlonda;

// Stopping must take at most 2 s; the process still has to exit after this.
constexpr std::chrono::milliseconds kStopBudget{1500};
// File descriptors beyond the connections: the database, its journal, the
// log, the listening socket, epoll and the library's wake-up pipe.
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

// An IPv6 address needs brackets in a URL.
std::string urlHost(const std::string &address)
{
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    blockStopSignals();
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

    HttpEndpoint endpoint;
    endpoint.address = options->listen;
    endpoint.port = static_cast<std::uint16_t>(options->port);
    if (options->tls()) {
        std::optional<TlsFiles> files =
            loadTlsFiles(options->tlsCertificate, options->tlsKey, error);
        if (!files)
            return refuse(error);
        endpoint.certificatePem = std::move(files->certificatePem);
        endpoint.keyPem = std::move(files->keyPem);
    }
    if (!enoughDescriptors(options->limits.maxConnections, error))
        return refuse(error);

    int logFd = STDERR_FILENO;
    if (!options->log.empty() && (logFd = RequestLog::openFile(options->log, error)) < 0)
        return refuse(error);
    const std::unique_ptr<int, void (*)(int *)> logCloser(logFd == STDERR_FILENO ? nullptr : &logFd,
                                                          [](int *fd) { ::close(*fd); });
    RequestLog log(logFd);

    const std::unique_ptr<AccountStore> store = AccountStore::open(options->db, error);
    if (!store)
        return refuse(error);

    // One hash now, so that the first burst is measured against what a hash
    // takes on this machine rather than a guess.
    const auto beforeHash = std::chrono::steady_clock::now();
    hashPassword("a first hash, timed");
    HashPool hashing(options->hashWorkers, std::chrono::steady_clock::now() - beforeHash);
    RateLimiter attempts(options->ratePerMinute, options->rateBurst);
    Metrics metrics;
    metrics.setQueueDepth([&hashing] { return hashing.queued(); });
    RegnickService service(*store, hashing, attempts, log, metrics,
                           std::chrono::seconds(options->maxWaitSeconds));
    HttpDaemon daemon({service.route(), service.healthRoute()}, log, &metrics);
    daemon.trustProxies(options->trustedProxies);
    if (!daemon.start(endpoint, options->limits, error))
        return refuse("cannot listen on " + urlHost(options->listen) + ':' +
                      std::to_string(options->port) + ": " + error);

    // Apart from the public listener, so that no client can read it.
    HttpDaemon metricsDaemon({{"/metrics", "GET",
                               [&metrics](HttpRequest &request) {
                                   request.reply(200, metrics.exposition(),
                                                 {{"Content-Type", "text/plain; version=0.0.4"}});
                               }}},
                             log);
    if (!options->metricsAddress.empty()) {
        HttpEndpoint metricsEndpoint;
        metricsEndpoint.address = options->metricsAddress;
        metricsEndpoint.port = static_cast<std::uint16_t>(options->metricsPort);
        HttpLimits metricsLimits;
        metricsLimits.maxConnections = 16;
        metricsLimits.idleTimeoutSeconds = 10;
        metricsLimits.requestTimeoutSeconds = 10;
        if (!metricsDaemon.start(metricsEndpoint, metricsLimits, error))
            return refuse("cannot serve metrics on " + urlHost(options->metricsAddress) + ':' +
                          std::to_string(options->metricsPort) + ": " + error);
    }

    // Scripts and tests wait for exactly this line to learn the port.
    const std::string listening = std::string("listening on ") +
                                  (options->tls() ? "https://" : "http://") +
                                  urlHost(options->listen) + ':' + std::to_string(daemon.port());
    // In the log first: once the line is out, a request may be logged.
    std::string metricsAt;
    if (!options->metricsAddress.empty()) {
        metricsAt = "metrics on http://" + urlHost(options->metricsAddress) + ':' +
                    std::to_string(metricsDaemon.port()) + "/metrics";
        log.notice(metricsAt);
    }
    log.notice(listening);
    std::cout << listening << std::endl;
    if (!metricsAt.empty())
        std::cout << metricsAt << std::endl;

    const int signal = waitForStopSignal();
    const auto deadline = std::chrono::steady_clock::now() + kStopBudget;
    log.notice(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    daemon.stopAccepting();
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
    metricsDaemon.stop();
    return 0;
}
