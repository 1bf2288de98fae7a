#include "server/descriptor_budget.h"

#include "server/service_options.h"

namespace parlonda {
namespace {

// A database connection: an SQLite file with its -wal and -shm, or one
// socket to PostgreSQL.
constexpr rlim_t kPerDatabaseConnection = 3;
// Standard streams, the log, and for each of the two listeners' sets an
// acceptor (wake-up, reserve), an intake (epoll, wake-up) and an HTTP daemon
// (epoll, wake-up).
constexpr rlim_t kOwn = 3 + 1 + 2 * 6;
constexpr rlim_t kSpare = 32;

} // namespace

std::string DescriptorBudget::text() const
{
    return std::to_string(total()) + " file descriptors (" + std::to_string(connections) +
           " connections, " + std::to_string(metrics) + " for metrics, " +
           std::to_string(database) + " for the database, " + std::to_string(listeners) +
           " listening, " + std::to_string(own) + " of its own and spare)";
}

DescriptorBudget descriptorBudget(const ServiceOptions &options, std::size_t listeners)
{
    DescriptorBudget budget;
    budget.connections = options.limits.maxConnections;
    const bool metrics = !options.metricsAddress.empty();
    budget.metrics = metrics ? kMetricsConnections + 1 : 0; // and its listener
    // One connection for each hash worker, and one for the reader.
    budget.database = (rlim_t(options.hashWorkers) + 1) * kPerDatabaseConnection;
    budget.listeners = listeners;
    budget.own = kOwn + kSpare;
    return budget;
}

bool fitDescriptorLimit(const ServiceOptions &options, const DescriptorBudget &budget,
                        std::string &error)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return true;
    const rlim_t needed = budget.total();
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        error = "--max-connections " + std::to_string(options.limits.maxConnections) + " with " +
                std::to_string(options.hashWorkers) + " hash workers needs " + budget.text() +
                ", but the hard limit is " + std::to_string(limit.rlim_max) +
                " (ulimit -Hn): raise it (LimitNOFILE= under systemd) or lower "
                "--max-connections";
        return false;
    }
    limit.rlim_cur = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        error = "cannot raise the limit on open files to " + std::to_string(needed);
        return false;
    }
    return true;
}

} // namespace parlonda
