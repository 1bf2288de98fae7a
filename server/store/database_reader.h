#pragma once

#include "server/store/account_store.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace parlonda {

class RequestLog;

// The nick look-ups and health checks, on one thread of their own, so that
// a database that does not answer holds no thread that answers clients;
// and what the service last saw of the database.
//
// After a look-up, a check or a sign-up found the database out of reach
// (AccountStore's Unavailable: a lost connection, a lock held elsewhere, a
// full disk), it counts as down: look-ups are refused at once for a short
// back-off, after which one probe (AccountStore::canAdd) tries it again,
// until one succeeds. Going down is logged as an error once, coming back
// as a notice.
class DatabaseReader
{
public:
    using Clock = std::chrono::steady_clock;
    // Called on the reader's thread, with no outcome when the reader stopped
    // first; `error` is set for Failed and Unavailable.
    using LookupDone =
        std::function<void(std::optional<AccountStore::Lookup>, const std::string &error)>;

    static constexpr std::chrono::milliseconds kDefaultBackOff{1000};
    // The health check asks again when what it knows is older than this.
    static constexpr std::chrono::milliseconds kFreshFor{1000};

    // Holds at most one database connection of the store's own (PostgreSQL's
    // reading session) while it runs.
    DatabaseReader(AccountStore &store, RequestLog &log,
                   std::chrono::milliseconds backOff = kDefaultBackOff);
    // stop()s, waiting for the look-up under way.
    ~DatabaseReader();
    DatabaseReader(const DatabaseReader &) = delete;
    DatabaseReader &operator=(const DatabaseReader &) = delete;

    // Queues a look-up of the folded nick; `done` is called with its
    // outcome, with Unavailable at once (on the caller's thread) while the
    // database is down. False once stopping, and `done` is not called.
    bool lookup(std::string nickKey, LookupDone done);

    // While the database is down: how long until it is tried again.
    std::optional<Clock::duration> downFor();
    // Whether the database worked when last seen, without waiting for it;
    // asks it again in the background when that was a while ago.
    bool healthy();

    // What a sign-up found on another thread: Unavailable takes the
    // database down, Added or Taken shows it works.
    void sawAdd(AccountStore::AddResult result, const std::string &error);

    // Takes no more look-ups and ends the thread once the one under way is
    // done; those still queued are called with no outcome.
    void stop();

private:
    struct Job
    {
        std::string nickKey;
        LookupDone done;
    };
    void run();
    void wentDown(const std::string &error);
    void cameBack();

    AccountStore &m_store;
    RequestLog &m_log;
    const std::chrono::milliseconds m_backOff;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    bool m_stopping = false;
    bool m_down = false;
    bool m_checkWanted = false;
    Clock::time_point m_retryAt{};
    Clock::time_point m_seen = Clock::now();
    std::thread m_thread;
};

} // namespace parlonda
