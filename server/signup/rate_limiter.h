#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

struct sockaddr;

namespace parlonda {

// Sign-up attempts per client address: a token bucket that holds `burst`
// attempts and refills `perMinute` of them a minute. IPv6 clients are counted
// by their /64, which one subscriber usually gets whole.
class RateLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    // perMinute 0: no limit.
    RateLimiter(unsigned perMinute, unsigned burst);

    // Takes one attempt for `address`. Zero when there was one to take;
    // otherwise how long until there is (at least one second).
    std::chrono::seconds take(const sockaddr *address, Clock::time_point now);

    // New figures from now on (SIGHUP); the buckets keep what they hold.
    void setRate(unsigned perMinute, unsigned burst);

private:
    struct Bucket
    {
        double tokens;
        Clock::time_point updated;
    };

    // Forgets the addresses whose bucket has filled up again: they would
    // start full anyway. Bounds the table by the addresses seen lately.
    void forgetFullBuckets(Clock::time_point now);

    double m_perSecond;
    double m_burst;
    std::mutex m_mutex;
    std::unordered_map<std::string, Bucket> m_buckets;
    Clock::time_point m_lastSweep{};
};

} // namespace parlonda
