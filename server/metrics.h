#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace parlonda {

// A Prometheus histogram: counts of observations at or below each bound (in
// seconds), their sum and their count. Safe from any thread.
class Histogram
{
public:
    static constexpr std::array<double, 12> kBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                       0.5,   1,    2.5,   5,    10,  30};
    void observe(double seconds);
    // The text of its samples, named `name`.
    std::string exposition(const std::string &name) const;

private:
    std::array<std::atomic<std::uint64_t>, kBounds.size()> m_buckets{};
    std::atomic<std::uint64_t> m_count{0};
    // In microseconds, so that it can be added to without a lock.
    std::atomic<std::uint64_t> m_sumMicroseconds{0};
};

// What the service counts for its operator, served in the Prometheus text
// format (version 0.0.4) on --metrics-listen. Safe from any thread.
class Metrics
{
public:
    // How a sign-up ended. Repeated: the same sign-up again after its
    // answer was lost, answered "OK" and not stored twice.
    enum class Signup {
        Registered,
        Taken,
        RefusedNick,
        RateLimited,
        Shed,
        DatabaseError,
        Repeated
    };

    void signup(Signup outcome);
    void response(int status);
    Histogram &hashTime() { return m_hashTime; }
    Histogram &answerTime() { return m_answerTime; }
    // Asked at every scrape.
    void setQueueDepth(std::function<std::size_t()> depth) { m_queueDepth = std::move(depth); }
    // Every connection accepted and not yet closed, whatever stage it is in.
    void setConnectionsOpen(std::function<unsigned()> open) { m_connectionsOpen = std::move(open); }
    // Connections closed, their request not in, to make room for new ones.
    void setConnectionsGaveWay(std::function<std::uint64_t()> gaveWay)
    {
        m_connectionsGaveWay = std::move(gaveWay);
    }

    std::string exposition() const;

private:
    std::array<std::atomic<std::uint64_t>, 7> m_signups{};
    mutable std::mutex m_statusMutex;
    std::map<int, std::uint64_t> m_responses;
    std::function<unsigned()> m_connectionsOpen;
    std::function<std::uint64_t()> m_connectionsGaveWay;
    std::function<std::size_t()> m_queueDepth;
    Histogram m_hashTime;
    Histogram m_answerTime;
};

} // namespace parlonda
