#include "server/service_options.h"

#include "common/nick_rules.h"
#include "server/signup/hash_pool.h"
#include "server/signup/registration_form.h"
#include "server/signup/regnick_service.h"
#include "server/signup/reserved_nicks.h"

#include <arpa/inet.h>
#include <charconv>
#include <functional>
#include <iostream>
#include <netinet/in.h>
#include <string_view>
#include <vector>

namespace parlonda {
namespace {

constexpr const char *kUsage = R"(Usage: parlonda-regnick [OPTION]...
  or:  parlonda-regnick accounts ACTION [ARGUMENT] [OPTION]...

Stand-in for the Parlonda registration service. Answers
POST /cgi-bin/regnick.pl with the sign-up dialog's form (nick, nombres, email,
tel, ciudad, pais, paswd; Windows-1252, form-encoded): "OK" for a new account,
"Error" when the nick is already in use ("Ana" and "ana" are one nick), is
reserved, or breaks the nick rules: 1 to %NICK_MAX% characters; no whitespace of
any kind, no invisible or format character (such as the soft hyphen), no
control character, no ":". Every other field takes at most %FIELD_MAX% characters, and
the e-mail needs an "@".
Refused requests get 400, 404, 405, 413 (body over %BODY_KIB% KiB), 415 or 429 (too
many sign-up attempts from one address, with Retry-After); 503 with Retry-After
while the accounts database cannot be reached or take accounts (locked, full
disk). One request per connection.

Where:
  --listen ADDR        numeric IPv4 or IPv6 address to listen on, may be
                       given more than once (default %LISTEN%). "::" serves
                       IPv4 as well, unless an IPv4 address is also given.
                       Anything but a loopback address needs TLS, or
                       --allow-plain-http. Not used when systemd passes the
                       listening sockets (socket activation).
  --port N             TCP port, 0 for any free one, the same for every
                       --listen (default %PORT%). The service refuses to
                       start when the port is in use.
  --tls-cert FILE      serve HTTPS with this PEM certificate (chain)...
  --tls-key FILE       ...and its PEM private key, unencrypted. Both or none.
                       SIGHUP reads both again.
  --tls-priorities STRING
                       the TLS versions and ciphers, as a GnuTLS priority
                       string (default: TLS 1.2 and 1.3, AEAD ciphers,
                       forward secrecy only; one string, broken here after
                       its colons:
                       %PRIORITIES%)
  --allow-plain-http   take passwords over plain HTTP beyond loopback anyway
  --db PATH|URI        where the accounts are: an SQLite file, created (mode
                       0600) with its table when missing (default
                       ./parlonda-regnick.db), or a PostgreSQL connection URI
                       (postgresql://USER@HOST/DB?sslmode=verify-full...),
                       whose table is created when missing; several instances
                       may share one. The URI goes to libpq as it is; the
                       password may also come from PGPASSFILE or PGPASSWORD.
                       Passwords are kept only as Argon2id hashes. The service
                       refuses to start when it cannot reach or write to the
                       database; a database lost later gets sign-ups 503 until
                       it is back.
  --log FILE           append the request log to FILE, created mode 0600
                       (default: standard error)
  --reserved-nicks FILE
                       nicks nobody may sign up with, one per line (UTF-8;
                       blank lines and "#" comments skipped), compared like
                       taken nicks, answered "Error". Replaces the built-in
                       list of %RESERVED% (admin, root, soporte...).

Bounds:
  --hash-workers N     passwords hashed at once, each taking 64 MiB for about
                       0.1 s (default: one per processor, here %WORKERS%)
  --rate N             sign-up attempts a minute per client address (IPv6:
                       per /64), 0 for no limit (default %RATE%)
  --rate-burst N       attempts one address may make at once (default %BURST%)
  --max-wait S         answer a sign-up 503 with Retry-After rather than keep
                       it waiting for a hashing worker longer than S seconds:
                       at once when the queue is that long, or when a worker
                       reaches one that has waited that long, which is then
                       never stored (default %MAX_WAIT%)
  --repeat-window S    a sign-up for a taken nick whose every entry, password
                       included, equals the account's is answered "OK" when
                       the account was created less than S seconds ago: the
                       same sign-up sent again after its answer was lost. It
                       costs one password hash, like a sign-up. Every entry
                       must match, not only the password, so that it tells
                       nobody whether they guessed a new account's password.
                       0 answers "Error" to all of them (default %REPEAT%)
  --nick-cooldown DAYS a deleted account's nick (parlonda-regnick accounts
                       delete) is answered "Error" for DAYS days, so that
                       nobody takes it over while people still know it as
                       the one who left; 0 frees it at once (default
                       %COOLDOWN%)
  --stop-timeout S     after SIGTERM, how long requests under way and
                       sign-ups waiting for a hash get to finish; those left
                       then are answered 503 with Retry-After, and
                       connections whose request is still not in are
                       closed (default %STOP%)
  --max-connections N  open connections in all, from accept to close; one
                       more is closed at once. The limit on open files is
                       raised to fit (default %MAX_CONNECTIONS%)
  --max-connections-per-address N
                       open connections from one address (IPv6: per /64;
                       a trusted balancer's own connections are not
                       counted) (default %PER_ADDRESS%)
  --idle-timeout S     close a connection idle for S seconds, also one that
                       never sent anything; 0 never (default %IDLE%)
  --request-timeout S  close a connection whose request (line, headers and
                       body) is not in whole S seconds after it opened, however
                       busy the client keeps it; 0 never (default %REQUEST%)
  --connection-memory BYTES
                       memory per connection for the request line, the
                       headers and reading; larger headers get an error
                       answer (default %MEMORY%)

Behind load balancers and for monitoring:
  --trusted-proxy CIDR a load balancer or reverse proxy (e.g. 10.0.0.0/8,
                       2001:db8::/32, 192.0.2.1) whose word on the client's
                       address is taken, for every limit and the log; may be
                       given more than once (default: none). A connection
                       from it may start with a PROXY protocol header,
                       version 1 or 2; a request from it without one may name
                       the client in X-Forwarded-For (the rightmost address
                       not itself trusted). A PROXY header from anyone else,
                       or a malformed one, closes the connection unanswered.
  --metrics-listen ADDR:PORT
                       serve GET /metrics (Prometheus text format) on this
                       address, apart from the sign-ups; IPv6 as [ADDR]:PORT
                       (default: off)

Checking:
  --check              check the options, the TLS certificate and key, the
                       reserved nicks and the database as a start would,
                       without listening; exit 0, or 1 with the reason on
                       standard error. Run it before SIGHUP or a restart.

Also answers GET /healthz, at once: 200 "ok" while the database worked when
last seen and no sign-up is being shed, 503 otherwise.

  -h, --help           show this text and exit

"parlonda-regnick accounts" lists, shows, exports, locks, unlocks, deletes
and backs up the stored accounts, sets a new password, and copies them to
another database; "parlonda-regnick accounts --help" says how.

When ready, prints "listening on http://ADDR:PORT" (https with TLS) on
standard output, one line per listening socket, unless standard output is
where the log goes, and tells systemd (READY=1) when started by it. Logs one
line per request: UTC time, client address, method, path, nick, outcome and
status, never the password; with journald priority prefixes when standard
error goes to the journal, where a refusal to start is an error. SIGINT or
SIGTERM stop it: it accepts no more connections (under systemd they wait on
the socket for the next start), answers every request it took in, and exits
within --stop-timeout and 2 s more. SIGHUP opens the log file again (after
log rotation) and reloads the TLS certificate and key, keeping the old ones
if the new ones are not good; open connections go on.
)";

struct Parsed
{
    ServiceOptions options;
    bool ok = true;
};

bool parseUnsigned(std::string_view text, unsigned long long low, unsigned long long high,
                   unsigned long long &out)
{
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool fail(std::string_view message)
{
    std::cerr << "parlonda-regnick: " << message << '\n';
    return false;
}

// "127.0.0.1:9100" or "[::1]:9100", the address numeric.
bool parseHostAndPort(std::string_view text, std::string &address, int &port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view host = text.substr(0, colon);
    if (host.starts_with('[') && host.ends_with(']'))
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string_view::npos)
        return false;
    unsigned long long number = 0;
    in_addr v4{};
    in6_addr v6{};
    const std::string copy(host);
    if (!parseUnsigned(text.substr(colon + 1), 0, 65535, number) ||
        (inet_pton(AF_INET, copy.c_str(), &v4) != 1 && inet_pton(AF_INET6, copy.c_str(), &v6) != 1))
        return false;
    address = copy;
    port = static_cast<int>(number);
    return true;
}

struct Option
{
    std::string_view name;
    // Null for a flag; otherwise stores the value, false when it is wrong
    // (and then says so).
    std::function<bool(ServiceOptions &, std::string_view)> set;
    std::function<void(ServiceOptions &)> flag = {};
};

// Where a numeric option's field lives: in the options or in their limits.
ServiceOptions &owner(ServiceOptions &o, ServiceOptions *)
{
    return o;
}
HttpLimits &owner(ServiceOptions &o, HttpLimits *)
{
    return o.limits;
}

template <typename T, typename Owner>
Option number(std::string_view name, T Owner::*field, unsigned long long low,
              unsigned long long high)
{
    return {name, [name, field, low, high](ServiceOptions &o, std::string_view value) {
                unsigned long long n = 0;
                if (parseUnsigned(value, low, high, n)) {
                    owner(o, static_cast<Owner *>(nullptr)).*field = static_cast<T>(n);
                    return true;
                }
                std::cerr << "parlonda-regnick: " << name << " takes a number from " << low
                          << " to " << high << ", not " << value << '\n';
                return false;
            }};
}

Option text(std::string_view name, std::string ServiceOptions::*field)
{
    return {name, [field](ServiceOptions &o, std::string_view value) {
                o.*field = value;
                return true;
            }};
}

const std::vector<Option> &optionTable()
{
    static const std::vector<Option> table = {
        {"--listen",
         [](ServiceOptions &o, std::string_view value) {
             o.listen.emplace_back(value);
             return true;
         }},
        number("--port", &ServiceOptions::port, 0, 65535),
        text("--db", &ServiceOptions::db),
        text("--log", &ServiceOptions::log),
        text("--reserved-nicks", &ServiceOptions::reservedNicks),
        text("--tls-cert", &ServiceOptions::tlsCertificate),
        text("--tls-key", &ServiceOptions::tlsKey),
        text("--tls-priorities", &ServiceOptions::tlsPriorities),
        {"--allow-plain-http", {}, [](ServiceOptions &o) { o.allowPlainHttp = true; }},
        number("--hash-workers", &ServiceOptions::hashWorkers, 1, 256),
        number("--rate", &ServiceOptions::ratePerMinute, 0, 1000000),
        number("--rate-burst", &ServiceOptions::rateBurst, 1, 1000000),
        number("--max-wait", &ServiceOptions::maxWaitSeconds, 1, 3600),
        number("--repeat-window", &ServiceOptions::repeatWindowSeconds, 0, 86400),
        number("--stop-timeout", &ServiceOptions::stopTimeoutSeconds, 0, 3600),
        number("--nick-cooldown", &ServiceOptions::nickCooldownDays, 0, 36500),
        {"--check", {}, [](ServiceOptions &o) { o.check = true; }},
        {"--trusted-proxy",
         [](ServiceOptions &o, std::string_view value) {
             std::string error;
             return o.trustedProxies.add(value, error) || fail("--trusted-proxy: " + error);
         }},
        {"--metrics-listen",
         [](ServiceOptions &o, std::string_view value) {
             return parseHostAndPort(value, o.metricsAddress, o.metricsPort) ||
                    fail("--metrics-listen takes ADDR:PORT or [IPv6]:PORT, not " +
                         std::string(value));
         }},
        number("--max-connections", &HttpLimits::maxConnections, 1, 1000000),
        number("--max-connections-per-address", &HttpLimits::maxConnectionsPerAddress, 1, 1000000),
        number("--idle-timeout", &HttpLimits::idleTimeoutSeconds, 0, 86400),
        number("--request-timeout", &HttpLimits::requestTimeoutSeconds, 0, 86400),
        // Below a few KiB the library cannot even read a request line.
        number("--connection-memory", &HttpLimits::connectionMemoryBytes, 4096, 16 * 1024 * 1024),
    };
    return table;
}

// What no single option can tell.
bool consistent(const ServiceOptions &o)
{
    if (o.tlsCertificate.empty() != o.tlsKey.empty())
        return fail("--tls-cert and --tls-key go together");
    for (const std::string &address : o.listen) {
        in_addr v4{};
        in6_addr v6{};
        if (inet_pton(AF_INET, address.c_str(), &v4) != 1 &&
            inet_pton(AF_INET6, address.c_str(), &v6) != 1)
            return fail("--listen takes a numeric IPv4 or IPv6 address, not " + address);
        if (!plainHttpAllowed(o, address))
            return false;
    }
    return true;
}

} // namespace

// A long priority string over several lines of the help's second column,
// so that the help and the manual page made from it stay within 80 columns.
std::string brokenAfterColons(std::string_view text)
{
    constexpr std::size_t kWidth = 55;
    const std::string indent = "\n" + std::string(23, ' ');
    std::string out;
    std::size_t lineStart = 0;
    while (!text.empty()) {
        const auto colon = text.find(':');
        const std::string_view piece = text.substr(0, colon == text.npos ? text.npos : colon + 1);
        if (out.size() - lineStart + piece.size() > kWidth && out.size() > lineStart) {
            out += indent;
            lineStart = out.size();
        }
        out += piece;
        text.remove_prefix(piece.size());
    }
    return out;
}

std::string serviceUsage()
{
    // Every default is printed from where it is defined.
    const ServiceOptions defaults;
    const std::pair<std::string_view, std::string> values[] = {
        {"%NICK_MAX%", std::to_string(kMaxNickCharacters)},
        {"%FIELD_MAX%", std::to_string(kMaxFieldCharacters)},
        {"%BODY_KIB%", std::to_string(RegnickService::kMaxBodyBytes / 1024)},
        {"%RESERVED%", std::to_string(ReservedNicks::builtIn().size())},
        {"%LISTEN%", ServiceOptions::kDefaultListen},
        {"%PRIORITIES%", brokenAfterColons(defaults.tlsPriorities)},
        {"%PORT%", std::to_string(defaults.port)},
        {"%WORKERS%", std::to_string(processorCount())},
        {"%RATE%", std::to_string(defaults.ratePerMinute)},
        {"%BURST%", std::to_string(defaults.rateBurst)},
        {"%MAX_WAIT%", std::to_string(defaults.maxWaitSeconds)},
        {"%REPEAT%", std::to_string(defaults.repeatWindowSeconds)},
        {"%STOP%", std::to_string(defaults.stopTimeoutSeconds)},
        {"%COOLDOWN%", std::to_string(defaults.nickCooldownDays)},
        {"%MAX_CONNECTIONS%", std::to_string(defaults.limits.maxConnections)},
        {"%PER_ADDRESS%", std::to_string(defaults.limits.maxConnectionsPerAddress)},
        {"%IDLE%", std::to_string(defaults.limits.idleTimeoutSeconds)},
        {"%REQUEST%", std::to_string(defaults.limits.requestTimeoutSeconds)},
        {"%MEMORY%", std::to_string(defaults.limits.connectionMemoryBytes)},
    };
    std::string usage = kUsage;
    for (const auto &[marker, value] : values)
        usage.replace(usage.find(marker), marker.size(), value);
    return usage;
}

std::optional<ServiceOptions> parseServiceOptions(int argc, char **argv)
{
    ServiceOptions options;
    // The first --listen replaces the default.
    options.listen.clear();
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        const Option *option = nullptr;
        for (const Option &candidate : optionTable()) {
            if (candidate.name == name)
                option = &candidate;
        }
        if (!option) {
            fail("unknown option " + std::string(arg));
            return std::nullopt;
        }
        if (!option->set) {
            if (value) {
                fail(std::string(name) + " takes no value");
                return std::nullopt;
            }
            option->flag(options);
            continue;
        }
        if (!value && i + 1 < argc)
            value = argv[++i];
        if (!value || value->empty()) {
            fail(std::string(name) + " needs a value");
            return std::nullopt;
        }
        if (!option->set(options, *value))
            return std::nullopt;
    }
    if (options.listen.empty())
        options.listen.emplace_back(ServiceOptions::kDefaultListen);
    if (options.help)
        return options;
    if (!consistent(options))
        return std::nullopt;
    if (options.hashWorkers == 0)
        options.hashWorkers = processorCount();
    return options;
}

std::optional<bool> serviceOptionTakesValue(std::string_view name)
{
    for (const Option &option : optionTable()) {
        if (option.name == name)
            return static_cast<bool>(option.set);
    }
    return std::nullopt;
}

bool plainHttpAllowed(const ServiceOptions &options, const std::string &address)
{
    if (options.tls() || options.allowPlainHttp || isLoopbackAddress(address))
        return true;
    return fail("refusing to take passwords in the clear on " + address +
                ": give --tls-cert and --tls-key, or --allow-plain-http");
}

bool isLoopbackAddress(const std::string &address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

} // namespace parlonda
