#pragma once

#include "server/http/http_daemon.h"

#include <cstddef>
#include <string_view>

namespace parlonda {

class AccountStore;
class HashPool;
class RateLimiter;
class RequestLog;
class ReservedNicks;
struct Registration;

// The registration script: POST /cgi-bin/regnick.pl with the client's form.
// It answers 200 "OK" for a new account and 200 "Error" for a nick in use,
// reserved or refused by the nick rules, which is all the client tells apart; everything
// else it refuses gets a 4xx status and a short plain-text reason.
class RegnickService
{
public:
    static constexpr std::string_view kPath = "/cgi-bin/regnick.pl";
    static constexpr std::size_t kMaxBodyBytes = 16 * 1024;

    // None of these may go before the service.
    RegnickService(AccountStore &store, const ReservedNicks &reserved, HashPool &hashing,
                   RateLimiter &attempts, RequestLog &log)
        : m_store(store), m_reserved(reserved), m_hashing(hashing), m_attempts(attempts), m_log(log)
    {
    }

    HttpDaemon::Route route();

private:
    void handle(HttpRequest &request);
    // On a hashing worker.
    void registerAccount(HttpRequest &request, Registration &registration);

    AccountStore &m_store;
    const ReservedNicks &m_reserved;
    HashPool &m_hashing;
    RateLimiter &m_attempts;
    RequestLog &m_log;
};

} // namespace parlonda
