#include "server/store/database_reader.h"

#include "server/request_log.h"

#include <algorithm>

namespace parlonda {

DatabaseReader::DatabaseReader(AccountStore &store, RequestLog &log,
                               std::chrono::milliseconds backOff)
    : m_store(store), m_log(log), m_backOff(backOff), m_thread([this] { run(); })
{
}

DatabaseReader::~DatabaseReader()
{
    stop();
    m_thread.join();
}

bool DatabaseReader::lookup(std::string nickKey, LookupDone done)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        if (!m_down) {
            m_queue.push_back({std::move(nickKey), std::move(done)});
            m_wake.notify_one();
            return true;
        }
    }
    done(AccountStore::Lookup::Unavailable, "the accounts database is unavailable");
    return true;
}

std::optional<DatabaseReader::Clock::duration> DatabaseReader::downFor()
{
    const std::lock_guard lock(m_mutex);
    if (!m_down)
        return std::nullopt;
    return std::max(m_retryAt - Clock::now(), Clock::duration::zero());
}

bool DatabaseReader::healthy()
{
    const std::lock_guard lock(m_mutex);
    if (!m_down && !m_checkWanted && Clock::now() - m_seen > kFreshFor) {
        m_checkWanted = true;
        m_wake.notify_one();
    }
    return !m_down;
}

void DatabaseReader::sawAdd(AccountStore::AddResult result, const std::string &error)
{
    const std::lock_guard lock(m_mutex);
    if (result == AccountStore::AddResult::Unavailable)
        wentDown(error);
    else if (result != AccountStore::AddResult::Failed)
        cameBack();
}

void DatabaseReader::stop()
{
    const std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_wake.notify_one();
}

void DatabaseReader::wentDown(const std::string &error)
{
    if (!m_down)
        m_log.problem(error);
    m_down = true;
    m_seen = Clock::now();
    m_retryAt = m_seen + m_backOff;
    m_wake.notify_one();
}

void DatabaseReader::cameBack()
{
    if (m_down)
        m_log.notice("the accounts database answers again");
    m_down = false;
    m_seen = Clock::now();
}

void DatabaseReader::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        // Look-ups that were waiting when the database went down are not
        // tried one after the other, each until its time is up.
        if (m_down && !m_queue.empty()) {
            std::deque<Job> refused;
            refused.swap(m_queue);
            lock.unlock();
            for (Job &job : refused)
                job.done(AccountStore::Lookup::Unavailable, "the accounts database is unavailable");
            lock.lock();
            continue;
        }
        const bool probe = m_down ? Clock::now() >= m_retryAt : m_checkWanted;
        if (probe) {
            m_checkWanted = false;
            lock.unlock();
            std::string error;
            const bool works = m_store.canAdd(error);
            lock.lock();
            if (works)
                cameBack();
            else
                wentDown(error);
            continue;
        }
        if (!m_down && !m_queue.empty()) {
            Job job = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            std::string error;
            const AccountStore::Lookup found = m_store.lookup(job.nickKey, error);
            lock.lock();
            if (found == AccountStore::Lookup::Unavailable)
                wentDown(error);
            else if (found != AccountStore::Lookup::Failed)
                m_seen = Clock::now();
            lock.unlock();
            job.done(found, error);
            job.done = nullptr; // and with it the sign-up it holds, password and all
            lock.lock();
            continue;
        }
        if (m_down)
            m_wake.wait_until(lock, m_retryAt);
        else
            m_wake.wait(lock);
    }
    std::deque<Job> cancelled;
    cancelled.swap(m_queue);
    lock.unlock();
    for (Job &job : cancelled)
        job.done(std::nullopt, {});
}

} // namespace parlonda
