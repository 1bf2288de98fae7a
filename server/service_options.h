#pragma once

#include "server/http/http_daemon.h"
#include "server/http/tls_files.h"
#include "server/signup/regnick_service.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlonda {

// The command line of parlonda-regnick. Every bound the service sets is here,
// with its default, and listed in the help text.
struct ServiceOptions
{
    static constexpr const char *kDefaultListen = "127.0.0.1";
    // Numeric addresses, each one a listening socket on `port`; not used
    // when systemd passes the sockets in.
    std::vector<std::string> listen = {kDefaultListen};
    int port = 8080;
    std::string db = "parlonda-regnick.db";
    std::string log; // empty: standard error
    std::string tlsCertificate;
    std::string tlsKey;
    std::string tlsPriorities = kDefaultTlsPriorities;
    bool allowPlainHttp = false;
    std::string reservedNicks; // empty: the built-in list
    unsigned hashWorkers = 0;  // 0: one per processor this process may run on
    unsigned ratePerMinute = 10;
    unsigned rateBurst = 10;
    // A sign-up is answered 503 rather than wait for hashing longer than this.
    unsigned maxWaitSeconds = static_cast<unsigned>(RegnickService::kDefaultMaxWait.count());
    // A sign-up equal in every entry to an account created this recently is
    // its own repeat, answered "OK"; 0: never.
    unsigned repeatWindowSeconds =
        static_cast<unsigned>(RegnickService::kDefaultRepeatWindow.count());
    // Days a deleted account's nick stays out of sign-ups; 0: none.
    unsigned nickCooldownDays =
        static_cast<unsigned>(AccountStore::kDefaultNickCooldown.count() / 86400);
    // Load balancers and reverse proxies that may name the client: by a
    // PROXY protocol header, or in X-Forwarded-For.
    AddressRanges trustedProxies;
    // Where GET /metrics is served; empty: nowhere.
    std::string metricsAddress;
    int metricsPort = 0;
    HttpLimits limits{.maxBodyBytes = RegnickService::kMaxBodyBytes};
    // After SIGTERM, how long requests under way and sign-ups waiting for a
    // hash get to finish; what is left then is answered 503.
    unsigned stopTimeoutSeconds = 10;
    // --check: check what a start would use, then exit.
    bool check = false;
    bool help = false;

    bool tls() const { return !tlsCertificate.empty(); }
};

// The help text, defaults included.
std::string serviceUsage();

// Accepts "--name VALUE" and "--name=VALUE". Null after printing what is
// wrong on standard error: an unknown option, a value out of range, TLS half
// set up, or passwords about to travel in the clear beyond this machine.
std::optional<ServiceOptions> parseServiceOptions(int argc, char **argv);

// For `parlonda-regnick accounts`, which shares the options above: whether
// `name` ("--db") is one of them and takes a value; empty when it is none.
std::optional<bool> serviceOptionTakesValue(std::string_view name);

// Refuses to take passwords in the clear on `address` unless TLS is set up,
// --allow-plain-http given or the address is loopback; says so on standard
// error. Also for sockets that systemd passes in.
bool plainHttpAllowed(const ServiceOptions &options, const std::string &address);

// 127.0.0.0/8 and ::1 (also IPv4-mapped): traffic that never leaves the machine.
bool isLoopbackAddress(const std::string &address);

} // namespace parlonda
