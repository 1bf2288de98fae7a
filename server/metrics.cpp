#include "server/metrics.h"

#include <algorithm>
#include <cstdio>

namespace parlonda {
namespace {

constexpr const char *kSignupLabels[] = {
    "registered", "taken", "refused_nick", "rate_limited", "shed", "database_error", "repeated"};

// Bounds as Prometheus writes them: "0.005", "1", "+Inf".
std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void describe(std::string &out, const char *name, const char *type, const char *help)
{
    out += std::string("# HELP ") + name + ' ' + help + '\n';
    out += std::string("# TYPE ") + name + ' ' + type + '\n';
}

} // namespace

void Histogram::observe(double seconds)
{
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
        if (seconds <= kBounds[i])
            ++m_buckets[i];
    }
    ++m_count;
    m_sumMicroseconds += static_cast<std::uint64_t>(seconds > 0 ? seconds * 1e6 : 0);
}

std::string Histogram::exposition(const std::string &name) const
{
    // The count first: a scrape that races an observation then never shows
    // a bucket above the total.
    const std::uint64_t count = m_count;
    std::string out;
    for (std::size_t i = 0; i < kBounds.size(); ++i)
        out += name + "_bucket{le=\"" + number(kBounds[i]) + "\"} " +
               std::to_string(std::min<std::uint64_t>(m_buckets[i], count)) + '\n';
    out += name + "_bucket{le=\"+Inf\"} " + std::to_string(count) + '\n';
    out += name + "_sum " + number(static_cast<double>(m_sumMicroseconds) / 1e6) + '\n';
    out += name + "_count " + std::to_string(count) + '\n';
    return out;
}

void Metrics::signup(Signup outcome)
{
    ++m_signups[static_cast<std::size_t>(outcome)];
}

void Metrics::response(int status)
{
    const std::lock_guard lock(m_statusMutex);
    ++m_responses[status];
}

std::string Metrics::exposition() const
{
    std::string out;
    describe(out, "parlonda_signups_total", "counter", "Sign-ups by how they ended.");
    for (std::size_t i = 0; i < m_signups.size(); ++i)
        out += std::string("parlonda_signups_total{outcome=\"") + kSignupLabels[i] + "\"} " +
               std::to_string(m_signups[i]) + '\n';

    describe(out, "parlonda_http_responses_total", "counter", "Answers sent, by HTTP status.");
    {
        const std::lock_guard lock(m_statusMutex);
        for (const auto &[status, count] : m_responses)
            out += "parlonda_http_responses_total{status=\"" + std::to_string(status) + "\"} " +
                   std::to_string(count) + '\n';
    }

    describe(out, "parlonda_connections_open", "gauge", "Client connections open now.");
    out += "parlonda_connections_open " +
           std::to_string(m_connectionsOpen ? m_connectionsOpen() : 0) + '\n';
    describe(out, "parlonda_connections_evicted_total", "counter",
             "Connections closed before their request was in, to make room for new ones.");
    out += "parlonda_connections_evicted_total " +
           std::to_string(m_connectionsGaveWay ? m_connectionsGaveWay() : 0) + '\n';

    describe(out, "parlonda_hash_queue_depth", "gauge",
             "Sign-ups waiting for a password hashing worker.");
    out += "parlonda_hash_queue_depth " + std::to_string(m_queueDepth ? m_queueDepth() : 0) + '\n';

    describe(out, "parlonda_hash_seconds", "histogram", "Time to hash one password.");
    out += m_hashTime.exposition("parlonda_hash_seconds");
    describe(out, "parlonda_answer_seconds", "histogram",
             "Time from a request's arrival to its answer.");
    out += m_answerTime.exposition("parlonda_answer_seconds");
    return out;
}

} // namespace parlonda
