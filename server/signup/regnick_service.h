#pragma once

#include "server/http/http_daemon.h"

#include <cstddef>
#include <string_view>

namespace parlonda {

class AccountStore;
class HashPool;
class RateLimiter;
class RequestLog;
struct Registration;

// The registration script: POST /cgi-bin/regnick.pl with the client's form.
// It answers 200 "OK" for a new account and 200 "Error" for a nick in use or
// one the nick rules refuse, which is all the client tells apart; everything
// else it refuses gets a 4xx status and a short plain-text reason.
class RegnickService
{
public:
    static constexpr std::string_view kPath = "/cgi-bin/regnick.pl";
    static constexpr std::size_t kMaxBodyBytes = 16 * 1024;

    // None of these may go before the service.
    RegnickService(AccountStore &store, HashPool &hashing, RateLimiter &attempts, RequestLog &log)
        : m_store(store), m_hashing(hashing), m_attempts(attempts), m_log(log)
    {
    }

    HttpDaemon::Route route();

private:
    void handle(HttpRequest &request);
    // On a hashing worker.
    void registerAccount(HttpRequest &request, Registration &registration);

    AccountStore &m_store;
    HashPool &m_hashing;
    RateLimiter &m_attempts;
    RequestLog &m_log;
};

} // namespace parlonda
