#pragma once

#include <cstddef>
#include <httplib.h>
#include <string>
#include <string_view>

namespace parlonda {

class AccountStore;
class RequestLog;

// The registration script: POST /cgi-bin/regnick.pl with the client's form.
// It answers 200 "OK" for a new account and 200 "Error" for a nick in use,
// which is all the client tells apart; everything it refuses gets a 4xx
// status and a short plain-text reason.
class RegnickService
{
public:
    static constexpr std::string_view kPath = "/cgi-bin/regnick.pl";
    static constexpr std::size_t kMaxBodyBytes = 16 * 1024;

    RegnickService(AccountStore &store, RequestLog &log) : m_store(store), m_log(log) {}

    // Routes, limits and the request log on `server`, which must not outlive
    // this service.
    void install(httplib::Server &server);

private:
    void handle(const httplib::Request &request, httplib::Response &response,
                const httplib::ContentReader &readBody);
    void registerAccount(const std::string &body, httplib::Response &response);

    AccountStore &m_store;
    RequestLog &m_log;
};

} // namespace parlonda
