#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace parlonda {

// What `nproc` says: the processors this process may run on, and so the
// default number of hash workers.
unsigned processorCount();

// A fixed number of threads for password hashing. Each Argon2id hash takes
// 64 MiB for about 0.1 s, so the service's peak memory follows the number of
// workers, however many clients wait in the queue.
class HashPool
{
public:
    // Called on a worker with true, or with false on the thread that stops
    // the pool when the job was still waiting then.
    using Job = std::function<void(bool run)>;

    // `firstJobTime`: what one job is expected to take until one has run.
    explicit HashPool(unsigned workers,
                      std::chrono::nanoseconds firstJobTime = std::chrono::milliseconds(100));
    // Stops, waiting for the jobs under way however long they take.
    ~HashPool();
    HashPool(const HashPool &) = delete;
    HashPool &operator=(const HashPool &) = delete;

    // False once the pool is stopping: the job is then not taken.
    bool submit(Job job);

    // Takes no more jobs, calls those still waiting with false, and waits
    // until `deadline` for the ones under way. False when some are still
    // running then.
    bool stop(std::chrono::steady_clock::time_point deadline);

    unsigned workers() const { return static_cast<unsigned>(m_threads.size()); }
    // Jobs waiting for a worker.
    std::size_t queued();
    // A job that did its work says how long it took; jobs that found nothing
    // to do stay out, so as not to make the queue look faster than it is.
    void jobTook(std::chrono::nanoseconds took);
    // What a job took lately: an average that follows the last few.
    std::chrono::nanoseconds recentJobTime() const { return std::chrono::nanoseconds(m_recentJob); }
    // How long a job submitted now would wait for a worker: the queue's
    // length times the recent job time, shared among the workers.
    std::chrono::nanoseconds expectedWait();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_queue;
    unsigned m_running = 0;
    std::atomic<std::chrono::nanoseconds::rep> m_recentJob;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace parlonda
