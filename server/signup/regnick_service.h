#pragma once

#include "server/http/http_daemon.h"
#include "server/store/account_store.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace parlonda {

class AccountStore;
class DatabaseReader;
class HashPool;
class Metrics;
class RateLimiter;
struct StoredAccount;
class RequestLog;
class ReservedNicks;
struct Registration;

// The registration script: POST /cgi-bin/regnick.pl with the client's form.
// It answers 200 "OK" for a new account and 200 "Error" for a nick in use,
// reserved or refused by the nick rules, which is all the client tells apart; everything
// else it refuses gets a 4xx status and a short plain-text reason.
//
// Under overload it sheds sign-ups rather than let them wait longer than
// the client does: 503 with Retry-After at once when the hash queue's
// expected wait is over `maxWait`, and 503 for one that has waited `maxWait`
// by the time a worker takes it, which is then never stored. A database
// out of reach is "busy" too: 503 with Retry-After, at once while the
// reader (see DatabaseReader) counts it down.
//
// No handler waits for the database: a sign-up is suspended while its nick
// is looked up on the reader, and goes on in lookedUp() there.
//
// A sign-up whose answer was lost on its way (a dropped connection, a proxy
// or the client giving up) is sent again with the same entries. When every
// entry equals the account's, the password included, and the account was
// created within `repeatWindow`, it is that person's own sign-up again: it
// is answered "OK" and nothing is stored. Only accounts that new are ever
// compared; for those, the password is always checked on a hashing worker
// and every entry compared in constant time, so that neither the answer
// nor its timing tells anyone who does not know all the entries which of
// them they guessed.
class RegnickService
{
public:
    static constexpr std::string_view kPath = "/cgi-bin/regnick.pl";
    static constexpr std::string_view kHealthPath = "/healthz";
    static constexpr std::string_view kLivePath = "/livez";
    static constexpr std::size_t kMaxBodyBytes = 16 * 1024;
    // The client gives up on an answer after 30 s.
    static constexpr std::chrono::seconds kDefaultMaxWait{20};
    static constexpr std::chrono::seconds kDefaultRepeatWindow{3600};

    // None of these may go before the service.
    RegnickService(AccountStore &store, DatabaseReader &reader,
                   std::shared_ptr<const ReservedNicks> reserved, HashPool &hashing,
                   RateLimiter &attempts, RequestLog &log, Metrics &metrics,
                   std::chrono::milliseconds maxWait = kDefaultMaxWait,
                   std::chrono::seconds repeatWindow = kDefaultRepeatWindow)
        : m_store(store), m_reader(reader), m_reserved(std::move(reserved)), m_hashing(hashing),
          m_attempts(attempts), m_log(log), m_metrics(metrics), m_maxWait(maxWait),
          m_repeatWindow(repeatWindow)
    {
    }

    // For the sign-ups from now on (SIGHUP); from any thread. A sign-up
    // under way goes on with what it started with, or the new, whole.
    void setReservedNicks(std::shared_ptr<const ReservedNicks> reserved)
    {
        m_reserved.store(std::move(reserved));
    }
    void setWaits(std::chrono::milliseconds maxWait, std::chrono::seconds repeatWindow)
    {
        m_maxWait.store(maxWait);
        m_repeatWindow.store(repeatWindow);
    }

    HttpDaemon::Route route();
    // GET /healthz, readiness: 200 "ok" when the database worked
    // when last seen and sign-ups are not being shed, 503 otherwise; at
    // once, whatever the database does.
    HttpDaemon::Route healthRoute();
    // GET /livez, for a balancer with one instance or instances sharing one
    // database: 200 "ok" while the process serves, whatever the database
    // does, so that a sick database reaches the client as 503 "busy" here
    // rather than as a refused connection at the balancer.
    HttpDaemon::Route liveRoute();

private:
    void handle(HttpRequest &request);
    void checkHealth(HttpRequest &request);
    // On the reader, once the nick has been looked up.
    void lookedUp(HttpRequest &request, std::optional<AccountStore::Lookup> found,
                  const std::string &error, Registration &registration);
    // For a nick the look-up found taken, the request suspended: "Error", or
    // "OK" for a repeat. On the reader.
    void answerTaken(HttpRequest &request, Registration &registration);
    // Created within the repeat window.
    bool recent(const StoredAccount &stored) const;
    // The request suspended: `work` runs on a hashing worker in turn, or the
    // sign-up is shed when its turn would come too late.
    void hashInTurn(HttpRequest &request, Registration registration,
                    std::function<void(Registration &)> work);
    // On a hashing worker.
    void registerAccount(HttpRequest &request, Registration &registration);
    // On a hashing worker: "OK" for a repeat, else "Error" (`takenOutcome`).
    void confirmRepeat(HttpRequest &request, const Registration &registration,
                       const StoredAccount &stored, const char *takenOutcome = "taken");
    // A suspended sign-up answered "Error", its nick in use.
    void answerNickTaken(HttpRequest &request, const char *outcome);
    // A suspended sign-up the database failed: 500, the error logged.
    void answerFailed(HttpRequest &request, const std::string &error);
    // Counts a sign-up shed, and keeps /healthz at 503 for a while.
    void shed();
    void answerStopping(HttpRequest &request);
    void answerUnavailable(HttpRequest &request, bool resuming);

    AccountStore &m_store;
    DatabaseReader &m_reader;
    std::atomic<std::shared_ptr<const ReservedNicks>> m_reserved;
    HashPool &m_hashing;
    RateLimiter &m_attempts;
    RequestLog &m_log;
    Metrics &m_metrics;
    std::atomic<std::chrono::milliseconds> m_maxWait;
    std::atomic<std::chrono::seconds> m_repeatWindow; // 0: no repeats
    static constexpr std::chrono::seconds kShedShownFor{1};
    // When a sign-up was last shed, as steady_clock ticks; 0: never.
    std::atomic<std::chrono::steady_clock::rep> m_lastShed{0};
};

} // namespace parlonda
