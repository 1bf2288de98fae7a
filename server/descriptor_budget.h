#pragma once

#include <cstddef>
#include <string>
#include <sys/resource.h>

namespace parlonda {

struct ServiceOptions;

// Connections the metrics listener takes at once.
constexpr unsigned kMetricsConnections = 16;

// The file descriptors the service may hold at once at its limits: every
// connection it counts (waiting to be read and served alike, see
// ConnectionIntake), the metrics connections, the database's connections
// (one per hash worker and one for look-ups, each up to three files: an
// SQLite database in WAL mode, its -wal and its -shm), the listening
// sockets, its own (standard streams, the log, epoll sets, wake-ups, the
// acceptors' reserves) and some to spare (a log opened again beside the old
// one, certificates read on SIGHUP, the libraries' own).
struct DescriptorBudget
{
    rlim_t connections = 0;
    rlim_t metrics = 0;
    rlim_t database = 0;
    rlim_t listeners = 0;
    rlim_t own = 0;

    rlim_t total() const { return connections + metrics + database + listeners + own; }
    // "1075 file descriptors (1000 connections, 17 for metrics, ...)"
    std::string text() const;
};

DescriptorBudget descriptorBudget(const ServiceOptions &options, std::size_t listeners);

// Raises the soft limit on open files to the budget, or, when the hard
// limit is below it, says so in `error` with both figures.
bool fitDescriptorLimit(const ServiceOptions &options, const DescriptorBudget &budget,
                        std::string &error);

} // namespace parlonda
