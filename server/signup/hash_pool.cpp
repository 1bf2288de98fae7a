#include "server/signup/hash_pool.h"

#include <algorithm>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace parlonda {
namespace {

constexpr int kWorkerNiceness = 5;

} // namespace

unsigned processorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

HashPool::HashPool(unsigned workers, std::chrono::nanoseconds firstJobTime)
    : m_recentJob(firstJobTime.count())
{
    for (unsigned i = 0; i < workers; ++i)
        m_threads.emplace_back([this] { work(); });
}

HashPool::~HashPool()
{
    stop(std::chrono::steady_clock::time_point::max());
    for (std::thread &thread : m_threads)
        thread.join();
}

bool HashPool::submit(Job job)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        m_queue.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

std::size_t HashPool::queued()
{
    const std::lock_guard lock(m_mutex);
    return m_queue.size();
}

std::chrono::nanoseconds HashPool::expectedWait()
{
    return recentJobTime() * static_cast<long>(queued()) / static_cast<long>(workers());
}

void HashPool::jobTook(std::chrono::nanoseconds took)
{
    // A moving average over roughly the last four jobs, quick to follow a
    // machine that got busy; two workers that race here lose one of their
    // figures, which an average can spare.
    const auto recent = m_recentJob.load();
    m_recentJob = recent + (took.count() - recent) / 4;
}

bool HashPool::stop(std::chrono::steady_clock::time_point deadline)
{
    std::deque<Job> cancelled;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        cancelled.swap(m_queue);
    }
    m_wake.notify_all();
    for (Job &job : cancelled)
        job(false);

    std::unique_lock lock(m_mutex);
    return m_idle.wait_until(lock, deadline, [this] { return m_running == 0; });
}

void HashPool::work()
{
    // Below the threads that answer: while every worker hashes, a sign-up
    // that is shed, a taken nick or a health check is still answered at
    // once. Linux sets this per thread.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNiceness);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_running;
        lock.unlock();
        job(true);
        job = nullptr; // the password it holds goes now, not at the next job
        lock.lock();
        --m_running;
        if (m_running == 0)
            m_idle.notify_all();
    }
}

} // namespace parlonda
