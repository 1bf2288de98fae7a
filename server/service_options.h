#pragma once

#include "server/http/http_daemon.h"
#include "server/http/tls_files.h"
#include "server/signup/regnick_service.h"

#include <optional>
#include <set>
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
    // PROXY protocol header, or in X-Forwarded-For; as given, and parsed.
    std::vector<std::string> trustedProxyList;
    AddressRanges trustedProxies;
    // Where GET /metrics is served; empty: nowhere.
    std::string metricsAddress;
    int metricsPort = 0;
    HttpLimits limits{.maxBodyBytes = RegnickService::kMaxBodyBytes};
    // After SIGTERM, how long requests under way and sign-ups waiting for a
    // hash get to finish; what is left then is answered 503.
    unsigned stopTimeoutSeconds = 10;
    // --config: the configuration file read, if any.
    std::string config;
    // --check: check what a start would use, changing nothing, then exit.
    bool check = false;
    // --init-db: create or upgrade the database as a start would, then exit.
    bool initDb = false;
    // --print-config: write the configuration file these options make.
    bool printConfig = false;
    bool help = false;
    // The options set, in the file or on the command line, by their names
    // without the dashes ("port").
    std::set<std::string, std::less<>> given;

    bool tls() const { return !tlsCertificate.empty(); }
};

// The help text, defaults included.
std::string serviceUsage();

// Accepts "--name VALUE" and "--name=VALUE", and with --config FILE the
// same options in FILE, one a line ("port 8443"), which the command line
// overrides. Null with what is wrong in `error` ("FILE:LINE: ..." for the
// file): an unknown option, a value out of range, an option given twice in
// the file, TLS half set up, listeners that clash, or passwords about to
// travel in the clear beyond this machine. Read again on SIGHUP.
std::optional<ServiceOptions> parseServiceOptions(int argc, char **argv, std::string &error);

// The configuration file that `options` make: every option set written
// out, every other one commented out with its default.
std::string configFileText(const ServiceOptions &options);

// The options, by name without the dashes, whose values differ.
std::vector<std::string> changedOptions(const ServiceOptions &before, const ServiceOptions &after);
// Whether SIGHUP applies a new value of this option; the others take a restart.
bool reloadApplies(std::string_view name, const ServiceOptions &before,
                   const ServiceOptions &after);
// "tls-cert, tls-key, log, ...": what SIGHUP applies, for --check to say.
std::string reloadableOptionNames();

// For `parlonda-regnick accounts`, which shares the options above: whether
// `name` ("--db") is one of them and takes a value; empty when it is none.
std::optional<bool> serviceOptionTakesValue(std::string_view name);

// Refuses to take passwords in the clear on `address` unless TLS is set up,
// --allow-plain-http given or the address is loopback; `error` says why.
// Also for sockets that systemd passes in.
bool plainHttpAllowed(const ServiceOptions &options, const std::string &address,
                      std::string &error);

// Whether "::" is bound IPv6 alone: when an IPv4 address is listened on as
// well, which would otherwise be taken twice.
bool ipv6Only(const std::string &address, const std::vector<std::string> &all);

// Whether two listening sockets would take some address and port both: the
// same address, or one of them every address of its family ("::" also
// IPv4's, unless `v6only`). Port 0 clashes with nothing.
bool listenersClash(const std::string &a, int portA, const std::string &b, int portB, bool v6only);

// 127.0.0.0/8 and ::1 (also IPv4-mapped): traffic that never leaves the machine.
bool isLoopbackAddress(const std::string &address);

} // namespace parlonda
