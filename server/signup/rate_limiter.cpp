#include "server/signup/rate_limiter.h"

#include "server/http/client_address.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace parlonda {

RateLimiter::RateLimiter(unsigned perMinute, unsigned burst)
    : m_perSecond(perMinute / 60.0), m_burst(std::max(1u, burst))
{
}

void RateLimiter::setRate(unsigned perMinute, unsigned burst)
{
    const std::lock_guard lock(m_mutex);
    m_perSecond = perMinute / 60.0;
    m_burst = std::max(1u, burst);
}

std::chrono::seconds RateLimiter::take(const sockaddr *address, Clock::time_point now)
{
    const std::lock_guard lock(m_mutex);
    if (m_perSecond <= 0)
        return std::chrono::seconds(0);
    if (now - m_lastSweep > std::chrono::seconds(60)) {
        forgetFullBuckets(now);
        m_lastSweep = now;
    }
    const auto [it, added] = m_buckets.try_emplace(clientKey(address), Bucket{m_burst, now});
    Bucket &bucket = it->second;
    const double elapsed = std::chrono::duration<double>(now - bucket.updated).count();
    bucket.tokens = std::min(m_burst, bucket.tokens + elapsed * m_perSecond);
    bucket.updated = now;
    if (bucket.tokens >= 1.0) {
        bucket.tokens -= 1.0;
        return std::chrono::seconds(0);
    }
    const double wait = (1.0 - bucket.tokens) / m_perSecond;
    return std::chrono::seconds(std::max<long long>(1, std::llround(std::ceil(wait))));
}

void RateLimiter::forgetFullBuckets(Clock::time_point now)
{
    std::erase_if(m_buckets, [&](const auto &entry) {
        const double elapsed = std::chrono::duration<double>(now - entry.second.updated).count();
        return entry.second.tokens + elapsed * m_perSecond >= m_burst;
    });
}

} // namespace parlonda
