// parlonda-regnick: the stand-in registration service. Parses the options,
// checks that it can work, wires the parts of the parlonda_regnick library
// together and runs them until told to stop.
#include "server/accounts/accounts_command.h"
#include "server/descriptor_budget.h"
#include "server/http/acceptor.h"
#include "server/http/connection_intake.h"
#include "server/http/http_daemon.h"
#include "server/http/listeners.h"
#include "server/http/tls_files.h"
#include "server/http/tls_priorities.h"
#include "server/metrics.h"
#include "server/request_log.h"
#include "server/service_options.h"
#include "server/service_signals.h"
#include "server/signup/hash_pool.h"
#include "server/signup/password_hash.h"
#include "server/signup/rate_limiter.h"
#include "server/signup/regnick_service.h"
#include "server/signup/reserved_nicks.h"
#include "server/store/account_store.h"
#include "server/store/database_inspection.h"
#include "server/store/database_reader.h"
#include "server/systemd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <optional>
#include <sodium.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace parlonda;

// After --stop-timeout: for the hashes under way to finish and their
// answers to go out. The process exits after this whatever happens.
constexpr std::chrono::milliseconds kLastAnswersBudget{1500};
// A client that has just connected when the service stops gets this long to
// send its first bytes (the request, a TLS ClientHello) and be served.
constexpr std::chrono::milliseconds kFirstBytesGrace{500};

int refuse(const std::string &why)
{
    std::cerr << "parlonda-regnick: " << why << '\n';
    return 1;
}

// Every socket a start listens on: those systemd passed in, or else those
// of --listen, bound here; and the metrics socket.
struct Listening
{
    std::vector<Listener> listeners;
    std::optional<Listener> metrics;

    void close()
    {
        for (const Listener &listener : listeners)
            ::close(listener.fd);
        if (metrics)
            ::close(metrics->fd);
        listeners.clear();
        metrics.reset();
    }
};

// Binds `address` and `port` as openListener() does. For --check (with
// `notes`), a port that this program's running copy holds is taken as the
// service's own, and not bound again: the check goes on.
Listener bindOrNote(const std::string &address, std::uint16_t port, bool ipv6Only,
                    std::vector<std::string> *notes, bool &skipped, std::string &error)
{
    skipped = false;
    const Listener listener = openListener(address, port, ipv6Only, error);
    if (listener.fd >= 0 || !notes || !error.ends_with(std::strerror(EADDRINUSE)))
        return listener;
    if (const pid_t running = thisProgramListeningOn(port); running > 0) {
        skipped = true;
        notes->push_back(hostAndPort({-1, address, port}) +
                         " is held by the running service (pid " + std::to_string(running) +
                         "): not bound again");
    }
    return listener;
}

// False with the reason in `error`, nothing left open. With `notes`, for
// --check: what was not bound, and why.
bool openListeners(const ServiceOptions &options, Listening &open, std::string &error,
                   std::vector<std::string> *notes = nullptr)
{
    const auto fail = [&](const std::string &why) {
        error = why;
        open.close();
        return false;
    };
    bool skipped = false;
    const char *mainPid = std::getenv("MAINPID");
    if (const std::vector<int> passed = socketsFromSystemd(); !passed.empty()) {
        for (const int fd : passed) {
            const Listener listener = describeListener(fd, error);
            if (listener.fd < 0)
                return fail("cannot serve on a socket from systemd: " + error);
            open.listeners.push_back(listener);
            if (!plainHttpAllowed(options, listener.address, error))
                return fail(error + "; not serving on " + hostAndPort(listener));
        }
        if (notes)
            notes->push_back("the " + std::to_string(passed.size()) +
                             " sockets systemd passed in are not bound again");
    } else if (notes && mainPid && *mainPid) {
        // systemctl reload: the running service keeps the sockets it has,
        // which may be the socket unit's rather than --listen's.
        notes->push_back("the listening sockets stay those of the running service (pid " +
                         std::string(mainPid) + "); --listen and --port take a restart");
    } else {
        auto port = static_cast<std::uint16_t>(options.port);
        for (const std::string &address : options.listen) {
            const Listener listener =
                bindOrNote(address, port, ipv6Only(address, options.listen), notes, skipped, error);
            if (skipped)
                continue;
            if (listener.fd < 0)
                return fail("cannot listen on " + hostAndPort({-1, address, port}) + ": " + error);
            // With port 0, the others take the port the kernel gave the first.
            port = listener.port;
            open.listeners.push_back(listener);
        }
    }
    if (!options.metricsAddress.empty() && notes && mainPid && *mainPid) {
        // systemctl reload: the running service keeps its metrics listener,
        // and the check cannot see that process under the unit to tell.
        notes->push_back("the metrics listener stays that of the running service (pid " +
                         std::string(mainPid) + "); --metrics-listen takes a restart");
    } else if (!options.metricsAddress.empty()) {
        const auto port = static_cast<std::uint16_t>(options.metricsPort);
        const Listener listener =
            bindOrNote(options.metricsAddress, port, true, notes, skipped, error);
        if (listener.fd < 0 && !skipped)
            return fail("cannot serve metrics on " +
                        hostAndPort({-1, options.metricsAddress, port}) + ": " + error);
        if (listener.fd >= 0)
            open.metrics = listener;
    }
    return true;
}

// One hash on each worker at once, as a busy service hashes: so that the
// first burst is measured against what a hash takes here, processors and
// memory shared, rather than a guess. The slowest counts.
std::chrono::nanoseconds timeHashes(unsigned workers)
{
    std::vector<std::chrono::nanoseconds> took(workers);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; ++i)
        threads.emplace_back([&took, i] {
            const auto start = std::chrono::steady_clock::now();
            hashPassword("a first hash, timed");
            took[i] = std::chrono::steady_clock::now() - start;
        });
    for (std::thread &thread : threads)
        thread.join();
    return *std::max_element(took.begin(), took.end());
}

// The same in a child process, so that the hashes' memory (64 MiB each)
// goes with it: the service's own peak stays what its sign-ups make it.
// Called before any thread exists. In the process itself if that fails.
std::chrono::nanoseconds timeHashesApart(unsigned workers)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return timeHashes(workers);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        const std::chrono::nanoseconds::rep took = timeHashes(workers).count();
        const bool written = ::write(pipeFds[1], &took, sizeof took) == sizeof took;
        ::_exit(written ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::chrono::nanoseconds::rep took = 0;
    ssize_t got = -1;
    if (child > 0) {
        while ((got = ::read(pipeFds[0], &took, sizeof took)) < 0 && errno == EINTR) {
        }
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(pipeFds[0]);
    if (got != static_cast<ssize_t>(sizeof took) || took <= 0)
        return timeHashes(workers);
    return std::chrono::nanoseconds(took);
}

// How long a new connection may take to send the bytes that tell whether
// it starts with a PROXY header: as long as it may stay idle, and no longer
// than its whole request may take.
std::chrono::milliseconds firstBytesTimeout(const HttpLimits &limits)
{
    unsigned seconds = 3600;
    for (const unsigned limit : {limits.idleTimeoutSeconds, limits.requestTimeoutSeconds}) {
        if (limit > 0)
            seconds = std::min(seconds, limit);
    }
    return std::chrono::seconds(seconds);
}

// The connections of one HTTP daemon, counted by one intake from accept
// until the daemon says they closed; those whose request is in are served
// and give way to no new one.
void ownConnections(ConnectionIntake &intake, HttpDaemon &daemon)
{
    daemon.whenClosed([&intake](std::uint64_t id) { intake.closed(id); });
    daemon.whenRequestIn([&intake](std::uint64_t id) { intake.requestIn(id); });
}

// What a start reads and opens before it listens; --check reads the same
// and opens the database read-only.
struct Prepared
{
    TlsCredentials credentials;
    std::shared_ptr<const ReservedNicks> reserved;
    std::unique_ptr<AccountStore> store;
    DatabaseInspection database; // --check
};

std::shared_ptr<const ReservedNicks> readReservedNicks(const ServiceOptions &options,
                                                       std::string &error)
{
    std::optional<ReservedNicks> reserved =
        options.reservedNicks.empty() ? ReservedNicks::builtIn()
                                      : ReservedNicks::fromFile(options.reservedNicks, error);
    return reserved ? std::make_shared<const ReservedNicks>(std::move(*reserved)) : nullptr;
}

// False with the reason in `error`.
bool prepare(const ServiceOptions &options, Prepared &prepared, std::string &error)
{
    if (options.tls() &&
        (!prepared.credentials.load(options.tlsCertificate, options.tlsKey, error) ||
         !checkTlsPriorities(options.tlsPriorities, error)))
        return false;
    // The listeners systemd may pass in are counted again once they are open.
    if (!fitDescriptorLimit(options, descriptorBudget(options, options.listen.size()), error))
        return false;
    if (!(prepared.reserved = readReservedNicks(options, error)))
        return false;
    if (options.check)
        return inspectDatabase(options.db, prepared.database, error);
    prepared.store = AccountStore::open(options.db, error);
    if (prepared.store)
        prepared.store->setNickCooldown(std::chrono::days(options.nickCooldownDays));
    return prepared.store != nullptr;
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Whether RequestLog::openFile() would open `path`, asked without creating it.
bool logWritable(const std::string &path, std::vector<std::string> &notes, std::string &error)
{
    const bool exists = ::access(path.c_str(), F_OK) == 0;
    if ((exists ? ::access(path.c_str(), W_OK) : ::access(folderOf(path).c_str(), W_OK | X_OK)) !=
        0) {
        error = "cannot open the log " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!exists)
        notes.push_back("a start would create the log " + path);
    return true;
}

// --check: what a start would use, checked as the start checks it, and
// nothing changed: no file created, the database opened read-only, every
// listening socket bound and closed again (but a port the running service
// holds, which a reload keeps). Before a reload or a restart, so that a
// bad renewal is found while the old files still serve.
int check(const ServiceOptions &options)
{
    Prepared prepared;
    std::string error;
    std::vector<std::string> notes;
    Listening listening;
    if (!prepare(options, prepared, error) ||
        (!options.log.empty() && !logWritable(options.log, notes, error)) ||
        !openListeners(options, listening, error, &notes))
        return refuse(error);
    listening.close();
    // The database by its kind only: a PostgreSQL URI may hold a password.
    std::cout << "parlonda-regnick: good to start: the options"
              << (options.config.empty() ? "" : " and " + options.config)
              << (options.tls() ? ", the TLS certificate, key and priorities" : "")
              << (options.log.empty() ? "" : ", the log file")
              << ", the reserved nicks, the listening sockets and the database\n";
    notes.push_back(databasePlan(prepared.database, false));
    notes.push_back("SIGHUP (systemctl reload) applies " + reloadableOptionNames() +
                    "; any other option takes a restart");
    for (const std::string &note : notes)
        std::cout << "parlonda-regnick: " << note << '\n';
    return 0;
}

// --init-db: what a start does to the database, and no more.
int initDatabase(const ServiceOptions &options)
{
    DatabaseInspection found;
    std::string error;
    if (!inspectDatabase(options.db, found, error) || !AccountStore::open(options.db, error))
        return refuse(error);
    std::cout << "parlonda-regnick: " << databasePlan(found, true) << '\n';
    return 0;
}

// What SIGHUP may change while the service runs, and the parts that hold it.
struct Reloadable
{
    RequestLog &log;
    TlsCredentials &credentials;
    RateLimiter &attempts;
    RegnickService &service;
    ConnectionIntake &intake;
    HttpDaemon &daemon;
};

// The checks of a start, for what a reload would apply.
bool checkReload(const ServiceOptions &next, const ServiceOptions &current,
                 std::shared_ptr<const ReservedNicks> &reserved, std::string &error)
{
    if (next.tls() && (!loadTlsFiles(next.tlsCertificate, next.tlsKey, error) ||
                       !checkTlsPriorities(next.tlsPriorities, error)))
        return false;
    if (!(reserved = readReservedNicks(next, error)))
        return false;
    if (!next.log.empty() && next.log != current.log) {
        const int fd = RequestLog::openFile(next.log, error);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

// SIGUSR1, and SIGHUP first: the log file opened again by its name, after
// rotation.
void reopenLog(const ServiceOptions &current, RequestLog &log)
{
    std::string error;
    if (current.log.empty())
        return;
    if (log.reopenFile(current.log, error))
        log.notice("opened the log " + current.log + " again");
    else
        log.problem("logging on to the file open before: " + error);
}

// SIGHUP: the log opened again; the command line and the configuration file
// read again, checked as a start checks them, and what can change while
// running applied, all or nothing. `current` is what is in effect, and
// becomes the new one.
void reload(int argc, char **argv, ServiceOptions &current, const Reloadable &parts)
{
    RequestLog &log = parts.log;
    std::string error;
    reopenLog(current, log);
    std::optional<ServiceOptions> next = parseServiceOptions(argc, argv, error);
    std::shared_ptr<const ReservedNicks> reserved;
    if (!next || !checkReload(*next, current, reserved, error)) {
        log.problem("not reloaded, every setting stays as it was: " + error);
        return;
    }
    std::vector<std::string> applied;
    for (const std::string &name : changedOptions(current, *next)) {
        if (reloadApplies(name, current, *next))
            applied.push_back(name);
        else
            log.warning(name + " changed, which takes a restart (systemctl restart "
                               "parlonda-regnick); it stays as it was until then");
    }
    if (!next->log.empty() && !current.log.empty() && next->log != current.log) {
        if (!log.reopenFile(next->log, error)) {
            log.problem("not reloaded, every setting stays as it was: " + error);
            return;
        }
        current.log = next->log;
    }
    if (next->tls() && current.tls()) {
        if (parts.credentials.load(next->tlsCertificate, next->tlsKey, error)) {
            log.notice("reloaded the TLS certificate " + next->tlsCertificate + " and key " +
                       next->tlsKey);
            current.tlsCertificate = next->tlsCertificate;
            current.tlsKey = next->tlsKey;
        } else {
            log.problem("keeping the TLS certificate loaded before: " + error);
        }
    }
    parts.attempts.setRate(next->ratePerMinute, next->rateBurst);
    parts.service.setWaits(std::chrono::seconds(next->maxWaitSeconds),
                           std::chrono::seconds(next->repeatWindowSeconds));
    parts.service.setReservedNicks(std::move(reserved));
    parts.intake.trust(next->trustedProxies);
    parts.daemon.trustProxies(next->trustedProxies);
    current.ratePerMinute = next->ratePerMinute;
    current.rateBurst = next->rateBurst;
    current.maxWaitSeconds = next->maxWaitSeconds;
    current.repeatWindowSeconds = next->repeatWindowSeconds;
    current.stopTimeoutSeconds = next->stopTimeoutSeconds;
    current.reservedNicks = next->reservedNicks;
    current.trustedProxies = next->trustedProxies;
    current.trustedProxyList = next->trustedProxyList;
    std::string names;
    for (const std::string &name : applied)
        names += (names.empty() ? "" : ", ") + name;
    log.notice("reloaded the configuration" + (names.empty()
                                                   ? std::string(": nothing it can apply changed")
                                                   : "; changed: " + names));
}

// Scripts and tests wait for these lines to learn the port, one per
// listening socket; in the log first: once a line is out, a request may be
// logged. On standard output too, unless that is where the log goes (the
// journal, under systemd), which would show each twice. The status for
// systemd.
std::string announceListening(const ServiceOptions &options, const Acceptor &acceptor,
                              const std::string &metricsAt, RequestLog &log, int logFd)
{
    struct stat out
    {
    };
    struct stat logged
    {
    };
    const bool sameStream = ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(logFd, &logged) == 0 &&
                            out.st_dev == logged.st_dev && out.st_ino == logged.st_ino;
    std::string status;
    for (const Listener &listener : acceptor.listeners()) {
        const std::string line = std::string("listening on ") +
                                 (options.tls() ? "https://" : "http://") + hostAndPort(listener);
        log.notice(line);
        if (!sameStream)
            std::cout << line << '\n';
        status += (status.empty() ? "" : ", ") + line.substr(std::strlen("listening on "));
    }
    if (!metricsAt.empty() && !sameStream)
        std::cout << metricsAt << '\n';
    log.flush(std::chrono::steady_clock::now() + RequestLog::kStopFlush);
    std::cout << std::flush;
    return "READY=1\nSTATUS=Serving on " + status;
}

// SIGTERM or SIGINT. No more connections are accepted: under systemd they
// wait on its socket for the next process. Every connection taken in is
// served: its TLS handshake and request finish, sign-ups waiting for a hash
// get one, all until --stop-timeout. Sign-ups still waiting then are
// answered 503 with Retry-After; connections whose request is still not in
// are closed.
void stopServing(const ServiceOptions &options, Acceptor &acceptor, ConnectionIntake &intake,
                 DatabaseReader &reader, HashPool &hashing, HttpDaemon &daemon, RequestLog &log)
{
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(options.stopTimeoutSeconds);
    acceptor.stop();
    intake.waitUntilDecided(std::min(deadline, start + kFirstBytesGrace));
    intake.stop();
    const unsigned unfinished = intake.waitUntilAllClosed(deadline);
    const auto last = std::max(deadline, std::chrono::steady_clock::now()) + kLastAnswersBudget;
    // Look-ups still queued are answered as sign-ups still waiting for a
    // hash are; the one under way goes on to a hash, which finds the pool
    // stopped, or to its answer.
    reader.stop();
    if (!hashing.stop(last) || !daemon.waitForSuspended(last)) {
        // A sign-up stuck in the database: its transaction either committed
        // or rolls back (when the file is next opened, or when the server
        // sees the connection close), and its client gets no answer either way.
        log.problem("stopping without waiting any longer for sign-ups in progress");
        log.flush(std::chrono::steady_clock::now() + RequestLog::kStopFlush);
        std::_Exit(0);
    }
    if (unfinished > 0)
        log.notice("stopped waiting after " + std::to_string(options.stopTimeoutSeconds) +
                   " s (--stop-timeout) for " + std::to_string(unfinished) +
                   " connections; sign-ups among them answered 503, the others closed");
    daemon.stop();
}

// `parlonda-regnick accounts`: the service's own options, parsed as a start
// parses them.
SharedOptions sharedOptions()
{
    const auto parse = [](const std::vector<std::string> &arguments) {
        std::vector<std::string> copies = arguments;
        std::vector<char *> argv = {const_cast<char *>("parlonda-regnick")};
        for (std::string &argument : copies)
            argv.push_back(argument.data());
        std::string error;
        const std::optional<ServiceOptions> options =
            parseServiceOptions(static_cast<int>(argv.size()), argv.data(), error);
        if (!options)
            std::cerr << "parlonda-regnick: " << error << '\n';
        return options ? std::optional<AccountsSettings>(
                             {options->db, std::chrono::days(options->nickCooldownDays)})
                       : std::nullopt;
    };
    return {serviceOptionTakesValue, parse};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string_view(argv[1]) == "accounts")
        return runAccountsCommand(argc - 1, argv + 1, sharedOptions());

    // Before any thread exists, so that every thread inherits the mask.
    blockServiceSignals();
    // A client that goes away while its answer is being written must not
    // take the service with it.
    std::signal(SIGPIPE, SIG_IGN);
    // Each password hash maps and fills 64 MiB, holding the process's memory
    // map lock meanwhile, and the allocator's heap grows under that same
    // lock: growing it in steps of 16 MiB rather than a page or so keeps a
    // burst of connections from waiting behind the hashes at each step.
    // Untouched, the padding takes no memory, and the trim once idle gives
    // back what was touched.
    mallopt(M_TOP_PAD, 16 << 20);
    cerrLinesAreErrors();

    std::string error;
    std::optional<ServiceOptions> options = parseServiceOptions(argc, argv, error);
    if (!options) {
        std::cerr << "parlonda-regnick: " << error << "\nTry 'parlonda-regnick --help'.\n";
        return 2;
    }
    if (options->help) {
        std::cout << serviceUsage();
        return 0;
    }
    if (options->printConfig) {
        std::cout << configFileText(*options);
        return 0;
    }

    if (sodium_init() < 0)
        return refuse("cannot initialise libsodium");
    if (options->check)
        return check(*options);
    if (options->initDb)
        return initDatabase(*options);

    Prepared prepared;
    if (!prepare(*options, prepared, error))
        return refuse(error);
    TlsCredentials &credentials = prepared.credentials;
    AccountStore &store = *prepared.store;

    int logFd = STDERR_FILENO;
    if (!options->log.empty() && (logFd = RequestLog::openFile(options->log, error)) < 0)
        return refuse(error);
    const std::unique_ptr<int, void (*)(int *)> logCloser(logFd == STDERR_FILENO ? nullptr : &logFd,
                                                          [](int *fd) { ::close(*fd); });
    // In a child process, so before any thread exists: the log's writer is one.
    const std::chrono::nanoseconds hashTime = timeHashesApart(options->hashWorkers);
    RequestLog log(logFd, goesToJournal(logFd));
    // Errors and warnings where the supervisor looks: under systemd, the journal.
    if (logFd != STDERR_FILENO)
        log.copyErrorsTo(STDERR_FILENO, goesToJournal(STDERR_FILENO));

    Listening listening;
    if (!openListeners(*options, listening, error))
        return refuse(error);
    std::vector<Listener> &listeners = listening.listeners;
    if (!fitDescriptorLimit(*options, descriptorBudget(*options, listeners.size()), error)) {
        listening.close();
        return refuse(error);
    }

    HashPool hashing(options->hashWorkers, hashTime);
    RateLimiter attempts(options->ratePerMinute, options->rateBurst);
    Metrics metrics;
    metrics.setQueueDepth([&hashing] { return hashing.queued(); });
    metrics.setLogLinesDropped([&log] { return log.dropped(); });
    DatabaseReader reader(store, log);
    RegnickService service(store, reader, prepared.reserved, hashing, attempts, log, metrics,
                           std::chrono::seconds(options->maxWaitSeconds),
                           std::chrono::seconds(options->repeatWindowSeconds));

    // Before the daemon, which tells it of every connection that closes, to
    // the end.
    HttpDaemon *serving = nullptr;
    ConnectionIntake intake(
        "connection", options->trustedProxies, options->limits.maxConnections,
        options->limits.maxConnectionsPerAddress, firstBytesTimeout(options->limits),
        [&serving](int fd, const sockaddr *client, socklen_t length,
                   std::chrono::steady_clock::time_point accepted, std::uint64_t id) {
            return serving->addConnection(fd, client, length, accepted, id);
        },
        [&serving](std::uint64_t id) { return serving->giveWay(id); }, log);
    intake.trimMemoryWhenIdle();
    metrics.setConnectionsOpen([&intake] { return intake.open(); });
    metrics.setConnectionsGaveWay([&intake] { return intake.gaveWay(); });
    HttpDaemon daemon({service.route(), service.healthRoute(), service.liveRoute()}, log, &metrics);
    serving = &daemon;
    daemon.countNotLog(std::string(RegnickService::kHealthPath), metrics);
    daemon.countNotLog(std::string(RegnickService::kLivePath), metrics);
    daemon.trustProxies(options->trustedProxies);
    ownConnections(intake, daemon);
    const HttpTls tls{options->tls() ? &credentials : nullptr, options->tlsPriorities};
    if (!daemon.start(options->limits, tls, error) || !intake.start(error)) {
        listening.close();
        return refuse("cannot serve HTTP: " + error);
    }
    // Every connection goes through the intake, which learns its client.
    Acceptor acceptor(
        std::move(listeners), [&intake](AcceptedSocket socket) { intake.take(socket); }, log);
    if (!acceptor.start(error))
        return refuse(error);

    // Apart from the public listeners, so that no client can read it.
    HttpLimits metricsLimits;
    metricsLimits.maxConnections = kMetricsConnections;
    metricsLimits.maxConnectionsPerAddress = kMetricsConnections;
    metricsLimits.idleTimeoutSeconds = 10;
    metricsLimits.requestTimeoutSeconds = 10;
    HttpDaemon *metricsServing = nullptr;
    ConnectionIntake metricsIntake(
        "metrics connection", {}, metricsLimits.maxConnections,
        metricsLimits.maxConnectionsPerAddress, firstBytesTimeout(metricsLimits),
        [&metricsServing](int fd, const sockaddr *client, socklen_t length,
                          std::chrono::steady_clock::time_point accepted, std::uint64_t id) {
            return metricsServing->addConnection(fd, client, length, accepted, id);
        },
        [&metricsServing](std::uint64_t id) { return metricsServing->giveWay(id); }, log);
    HttpDaemon metricsDaemon({{"/metrics", "GET",
                               [&metrics](HttpRequest &request) {
                                   request.reply(200, metrics.exposition(),
                                                 {{"Content-Type", "text/plain; version=0.0.4"}});
                               }}},
                             log);
    metricsServing = &metricsDaemon;
    metricsDaemon.countNotLog("/metrics", metrics);
    ownConnections(metricsIntake, metricsDaemon);
    std::optional<Acceptor> metricsAcceptor;
    std::string metricsAt;
    if (listening.metrics) {
        const Listener listener = *listening.metrics;
        metricsAt = "metrics on http://" + hostAndPort(listener) + "/metrics";
        metricsAcceptor.emplace(
            std::vector<Listener>{listener},
            [&metricsIntake](AcceptedSocket socket) { metricsIntake.take(socket); }, log);
        if (!metricsDaemon.start(metricsLimits, HttpTls{}, error) || !metricsIntake.start(error) ||
            !metricsAcceptor->start(error))
            return refuse("cannot serve metrics: " + error);
        // In the log before the lines below, which tests and scripts wait for.
        log.notice(metricsAt);
    }

    const std::string status = announceListening(*options, acceptor, metricsAt, log, logFd);
    tellSystemd(status);

    int signal = 0;
    const Reloadable reloadable{log, credentials, attempts, service, intake, daemon};
    while ((signal = waitForServiceSignal()) == SIGHUP || signal == SIGUSR1) {
        if (signal == SIGUSR1) {
            reopenLog(*options, log);
            continue;
        }
        tellSystemd("RELOADING=1");
        reload(argc, argv, *options, reloadable);
        tellSystemd(status);
    }
    tellSystemd("STOPPING=1\nSTATUS=Stopping");
    log.notice(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    if (metricsAcceptor)
        metricsAcceptor->stop();
    metricsIntake.stop();
    stopServing(*options, acceptor, intake, reader, hashing, daemon, log);
    metricsDaemon.stop();
    return 0;
}
