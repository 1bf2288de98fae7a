#include "server/service_options.h"

#include "common/nick_rules.h"
#include "server/signup/hash_pool.h"
#include "server/signup/registration_form.h"
#include "server/signup/regnick_service.h"
#include "server/signup/reserved_nicks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <string>
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

Configuration and checking:
  --config FILE        read options from FILE (the package's is
                       /etc/parlonda-regnick/regnick.conf): one a line, its
                       name without the dashes, then its value ("port
                       8443"); a flag stands alone; listen and trusted-proxy
                       take their values on one line; "#" starts a comment.
                       Options on the command line override the file's.
                       SIGHUP reads it again.
  --check              check what a start would use, and change nothing:
                       the options, the TLS certificate, key and priorities,
                       the reserved nicks, the log file, every address and
                       port to listen on (bound and closed again; not those
                       systemd passes in or the running service holds) and
                       the database, opened read-only. Says what a start
                       would create or upgrade, and which options SIGHUP
                       applies. Exit 0, or 1 with the reason on standard
                       error. Run it before SIGHUP or a restart.
  --init-db            create the database (the SQLite file, the table) or
                       upgrade its schema, as a start would; say which, and
                       exit
  --print-config       write the configuration file that the other options
                       make, every option not given commented out with its
                       default, and exit

Also answers GET /healthz (ready), at once: 200 "ok" while the database worked
when last seen and no sign-up is being shed, 503 otherwise; and GET /livez
(alive): 200 "ok" while the process serves, whatever the database does.

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
within --stop-timeout and 2 s more. SIGUSR1 opens the log file again (after
log rotation) and does nothing else. SIGHUP opens it again too, reads
--config again and applies new --tls-cert and --tls-key files, --log,
--rate, --rate-burst, --max-wait, --repeat-window, --stop-timeout,
--reserved-nicks and --trusted-proxy; a change to any other option is
logged as needing a restart. If the new settings fail a check,
such as a key that is not the certificate's, nothing changes and the log
says why. Open connections go on.
)";

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

bool fail(std::string &error, std::string message)
{
    error = std::move(message);
    return false;
}

bool numeric(const std::string &address, in6_addr &bytes, bool &v4)
{
    in_addr four{};
    v4 = inet_pton(AF_INET, address.c_str(), &four) == 1;
    if (v4) {
        bytes = in6_addr{};
        std::memcpy(&bytes.s6_addr[12], &four, sizeof four);
        return true;
    }
    return inet_pton(AF_INET6, address.c_str(), &bytes) == 1;
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
    in6_addr bytes{};
    bool v4 = false;
    const std::string copy(host);
    if (!parseUnsigned(text.substr(colon + 1), 0, 65535, number) || !numeric(copy, bytes, v4))
        return false;
    address = copy;
    port = static_cast<int>(number);
    return true;
}

std::string hostAndPortText(const std::string &address, int port)
{
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ':' + std::to_string(port);
}

std::string joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// One option, on the command line as "--name" and in the file as "name".
struct Option
{
    std::string_view name;
    // Null for a flag; otherwise stores the value, false with the reason
    // in `error` when it is wrong.
    std::function<bool(ServiceOptions &, std::string_view, std::string &)> set;
    std::function<void(ServiceOptions &)> flag = {};
    // The value as the file would give it; empty when unset. Null for the
    // options that do something rather than set something (--check...),
    // which the file does not take.
    std::function<std::string(const ServiceOptions &)> show = {};
    // Given more than once on the command line; in the file, on one line.
    bool repeated = false;
    // SIGHUP applies a new value.
    bool reloadable = false;
};

Option reloadable(Option option)
{
    option.reloadable = true;
    return option;
}

// Where a numeric option's field lives: in the options or in their limits.
ServiceOptions &owner(ServiceOptions &o, ServiceOptions *)
{
    return o;
}
HttpLimits &owner(ServiceOptions &o, HttpLimits *)
{
    return o.limits;
}
const ServiceOptions &owner(const ServiceOptions &o, const ServiceOptions *)
{
    return o;
}
const HttpLimits &owner(const ServiceOptions &o, const HttpLimits *)
{
    return o.limits;
}

// A value below `low` stands for "not set" (--hash-workers 0: one per processor).
template <typename T, typename Owner>
Option number(std::string_view name, T Owner::*field, unsigned long long low,
              unsigned long long high)
{
    return {
        name,
        [name, field, low, high](ServiceOptions &o, std::string_view value, std::string &error) {
            unsigned long long n = 0;
            if (parseUnsigned(value, low, high, n)) {
                owner(o, static_cast<Owner *>(nullptr)).*field = static_cast<T>(n);
                return true;
            }
            return fail(error, std::string(name) + " takes a number from " + std::to_string(low) +
                                   " to " + std::to_string(high) + ", not " + std::string(value));
        },
        {},
        [field, low](const ServiceOptions &o) {
            const auto n = owner(o, static_cast<const Owner *>(nullptr)).*field;
            return static_cast<unsigned long long>(n) < low ? std::string() : std::to_string(n);
        }};
}

Option text(std::string_view name, std::string ServiceOptions::*field)
{
    return {name,
            [field](ServiceOptions &o, std::string_view value, std::string &) {
                o.*field = value;
                return true;
            },
            {},
            [field](const ServiceOptions &o) { return o.*field; }};
}

Option flag(std::string_view name, bool ServiceOptions::*field, bool setting = true)
{
    return {name,
            {},
            [field](ServiceOptions &o) { o.*field = true; },
            setting
                ? [field](const ServiceOptions &o) { return std::string(o.*field ? "yes" : ""); }
                : std::function<std::string(const ServiceOptions &)>()};
}

const std::vector<Option> &optionTable()
{
    static const std::vector<Option> table = {
        {"--listen",
         [](ServiceOptions &o, std::string_view value, std::string &) {
             o.listen.emplace_back(value);
             return true;
         },
         {},
         [](const ServiceOptions &o) { return joined(o.listen); },
         true},
        number("--port", &ServiceOptions::port, 0, 65535),
        text("--db", &ServiceOptions::db),
        reloadable(text("--log", &ServiceOptions::log)),
        reloadable(text("--reserved-nicks", &ServiceOptions::reservedNicks)),
        reloadable(text("--tls-cert", &ServiceOptions::tlsCertificate)),
        reloadable(text("--tls-key", &ServiceOptions::tlsKey)),
        text("--tls-priorities", &ServiceOptions::tlsPriorities),
        flag("--allow-plain-http", &ServiceOptions::allowPlainHttp),
        number("--hash-workers", &ServiceOptions::hashWorkers, 1, 256),
        reloadable(number("--rate", &ServiceOptions::ratePerMinute, 0, 1000000)),
        reloadable(number("--rate-burst", &ServiceOptions::rateBurst, 1, 1000000)),
        reloadable(number("--max-wait", &ServiceOptions::maxWaitSeconds, 1, 3600)),
        reloadable(number("--repeat-window", &ServiceOptions::repeatWindowSeconds, 0, 86400)),
        reloadable(number("--stop-timeout", &ServiceOptions::stopTimeoutSeconds, 0, 3600)),
        number("--nick-cooldown", &ServiceOptions::nickCooldownDays, 0, 36500),
        reloadable({"--trusted-proxy",
                    [](ServiceOptions &o, std::string_view value, std::string &error) {
                        o.trustedProxyList.emplace_back(value);
                        return o.trustedProxies.add(value, error) ||
                               fail(error, "--trusted-proxy: " + error);
                    },
                    {},
                    [](const ServiceOptions &o) { return joined(o.trustedProxyList); },
                    true}),
        {"--metrics-listen",
         [](ServiceOptions &o, std::string_view value, std::string &error) {
             return parseHostAndPort(value, o.metricsAddress, o.metricsPort) ||
                    fail(error, "--metrics-listen takes ADDR:PORT or [IPv6]:PORT, not " +
                                    std::string(value));
         },
         {},
         [](const ServiceOptions &o) {
             return o.metricsAddress.empty() ? std::string()
                                             : hostAndPortText(o.metricsAddress, o.metricsPort);
         }},
        number("--max-connections", &HttpLimits::maxConnections, 1, 1000000),
        number("--max-connections-per-address", &HttpLimits::maxConnectionsPerAddress, 1, 1000000),
        number("--idle-timeout", &HttpLimits::idleTimeoutSeconds, 0, 86400),
        number("--request-timeout", &HttpLimits::requestTimeoutSeconds, 0, 86400),
        // Below a few KiB the library cannot even read a request line.
        number("--connection-memory", &HttpLimits::connectionMemoryBytes, 4096, 16 * 1024 * 1024),
        // What to do rather than how: the command line's alone.
        {"--config", text("--config", &ServiceOptions::config).set},
        flag("--check", &ServiceOptions::check, false),
        flag("--init-db", &ServiceOptions::initDb, false),
        flag("--print-config", &ServiceOptions::printConfig, false),
    };
    return table;
}

const Option *findOption(std::string_view name)
{
    for (const Option &option : optionTable()) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

bool sameAddress(const std::string &a, const std::string &b)
{
    in6_addr first{};
    in6_addr second{};
    bool firstV4 = false;
    bool secondV4 = false;
    return numeric(a, first, firstV4) && numeric(b, second, secondV4) && firstV4 == secondV4 &&
           std::memcmp(&first, &second, sizeof first) == 0;
}

// What no single option can tell.
bool consistent(const ServiceOptions &o, std::string &error)
{
    if (o.tlsCertificate.empty() != o.tlsKey.empty())
        return fail(error, "--tls-cert and --tls-key go together");
    for (std::size_t i = 0; i < o.listen.size(); ++i) {
        const std::string &address = o.listen[i];
        in6_addr bytes{};
        bool v4 = false;
        if (!numeric(address, bytes, v4))
            return fail(error, "--listen takes a numeric IPv4 or IPv6 address, not " + address);
        if (!plainHttpAllowed(o, address, error))
            return false;
        // As the sockets would be bound: "::" alone serves IPv4 too.
        for (std::size_t j = 0; j < i; ++j) {
            if (listenersClash(o.listen[j], 1, address, 1,
                               ipv6Only(o.listen[j], o.listen) || ipv6Only(address, o.listen)))
                return fail(error, sameAddress(o.listen[j], address)
                                       ? "--listen " + address + " is given twice"
                                       : "--listen " + address + " clashes with --listen " +
                                             o.listen[j] + ": both would take " + address);
        }
        if (!o.metricsAddress.empty() &&
            listenersClash(address, o.port, o.metricsAddress, o.metricsPort,
                           o.metricsAddress.find(':') != std::string::npos ||
                               ipv6Only(address, o.listen)))
            return fail(error, "--metrics-listen " +
                                   hostAndPortText(o.metricsAddress, o.metricsPort) +
                                   " is on the service's own port (--listen " + address +
                                   " --port " + std::to_string(o.port) + ")");
    }
    return true;
}

// "port 8443" and "listen 0.0.0.0 ::": the name, white space, the value.
struct Setting
{
    const Option *option;
    std::string value;
    std::string where; // "FILE:LINE: " in the file, empty on the command line
};

// The settings of the file, or false with `error` set. A file longer than
// any configuration (/dev/zero, a log named by mistake) is refused rather
// than read into memory.
bool readConfigFile(const std::string &path, std::vector<Setting> &settings, std::string &error)
{
    constexpr std::size_t kMaxBytes = 1 << 20;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return fail(error, "cannot read the configuration " + path + ": " + std::strerror(errno));
    std::string text(kMaxBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad())
        return fail(error, "cannot read the configuration " + path + ": " + std::strerror(errno));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxBytes)
        return fail(error, "the configuration " + path + " is longer than 1 MiB");
    std::istringstream lines(text);
    std::map<std::string_view, int> seen;
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string where = path + ':' + std::to_string(number) + ": ";
        std::string_view rest = line;
        rest = rest.substr(0, rest.find('#'));
        const auto first = rest.find_first_not_of(" \t\r");
        if (first == rest.npos)
            continue;
        rest.remove_prefix(first);
        rest = rest.substr(0, rest.find_last_not_of(" \t\r") + 1);
        const std::string_view key = rest.substr(0, rest.find_first_of(" \t"));
        std::string_view value = rest.substr(key.size());
        value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
        const Option *option = findOption("--" + std::string(key));
        if (!option || !option->show)
            return fail(error, where + "unknown option \"" + std::string(key) + "\"");
        if (const auto [at, added] = seen.emplace(option->name, number); !added)
            return fail(error, where + std::string(key) + " given twice (first on line " +
                                   std::to_string(at->second) + ")");
        if (!option->set && !value.empty())
            return fail(error, where + std::string(key) + " takes no value");
        if (option->set && value.empty())
            return fail(error, where + std::string(key) + " needs a value");
        settings.push_back({option, std::string(value), where});
    }
    return true;
}

bool apply(ServiceOptions &options, const Setting &setting, std::string &error)
{
    const Option &option = *setting.option;
    options.given.emplace(option.name.substr(2));
    if (!option.set) {
        option.flag(options);
        return true;
    }
    std::vector<std::string_view> values = {setting.value};
    if (option.repeated && !setting.where.empty()) {
        values.clear();
        for (std::string_view rest = setting.value; !rest.empty();) {
            const auto end = std::min(rest.find_first_of(" \t"), rest.size());
            if (end > 0)
                values.push_back(rest.substr(0, end));
            rest.remove_prefix(std::min(rest.size(), end + 1));
        }
    }
    for (const std::string_view value : values) {
        if (!option.set(options, value, error)) {
            // In the file the option is named as it is written there.
            if (!setting.where.empty() && error.starts_with("--"))
                error.erase(0, 2);
            error.insert(0, setting.where);
            return false;
        }
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

std::optional<ServiceOptions> parseServiceOptions(int argc, char **argv, std::string &error)
{
    ServiceOptions options;
    std::vector<Setting> fromCommandLine;
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
        const Option *option = findOption(name);
        if (!option) {
            fail(error, "unknown option " + std::string(arg));
            return std::nullopt;
        }
        if (!option->set && value) {
            fail(error, std::string(name) + " takes no value");
            return std::nullopt;
        }
        if (option->set && !value && i + 1 < argc)
            value = argv[++i];
        if (option->set && (!value || value->empty())) {
            fail(error, std::string(name) + " needs a value");
            return std::nullopt;
        }
        fromCommandLine.push_back({option, std::string(value.value_or("")), {}});
    }
    if (options.help)
        return options;

    // The file first; an option on the command line replaces the file's,
    // a list (--listen) whole.
    std::vector<Setting> settings;
    for (const Setting &setting : fromCommandLine) {
        if (setting.option->name == "--config" && !apply(options, setting, error))
            return std::nullopt;
    }
    if (!options.config.empty() && !readConfigFile(options.config, settings, error))
        return std::nullopt;
    // Every value in the file must be good, also one the command line overrides.
    for (ServiceOptions scratch; const Setting &setting : settings) {
        if (!apply(scratch, setting, error))
            return std::nullopt;
    }
    std::erase_if(settings, [&](const Setting &inFile) {
        return std::any_of(fromCommandLine.begin(), fromCommandLine.end(),
                           [&](const Setting &given) { return given.option == inFile.option; });
    });
    settings.insert(settings.end(), fromCommandLine.begin(), fromCommandLine.end());
    // The first --listen replaces the default.
    options.listen.clear();
    for (const Setting &setting : settings) {
        if (!apply(options, setting, error))
            return std::nullopt;
    }
    if (options.listen.empty())
        options.listen.emplace_back(ServiceOptions::kDefaultListen);
    if (!consistent(options, error))
        return std::nullopt;
    if (options.hashWorkers == 0)
        options.hashWorkers = processorCount();
    return options;
}

std::optional<bool> serviceOptionTakesValue(std::string_view name)
{
    if (const Option *option = findOption(name))
        return static_cast<bool>(option->set);
    return std::nullopt;
}

std::string configFileText(const ServiceOptions &options)
{
    const ServiceOptions defaults;
    const std::string usage = serviceUsage();
    std::string text =
        "# parlonda-regnick's configuration, read with --config FILE; every option\n"
        "# is described in parlonda-regnick(8) and --help. One option a line: its\n"
        "# name without the dashes, then its value; a flag stands alone; listen and\n"
        "# trusted-proxy take their values on one line, separated by spaces. \"#\"\n"
        "# starts a comment. An option on the command line overrides the file's.\n"
        "# listen and port are not used when systemd passes the listening sockets\n"
        "# in (parlonda-regnick.socket). Options not set here are commented out\n"
        "# with their defaults. SIGHUP (systemctl reload) applies these, any\n"
        "# other takes a restart:\n#  ";
    std::size_t width = 3;
    const std::string names = reloadableOptionNames();
    for (std::size_t at = 0; at < names.size();) {
        const std::size_t end = std::min(names.find(' ', at), names.size());
        if (width + end - at >= 76) {
            text += "\n#  ";
            width = 3;
        }
        text += ' ' + names.substr(at, end - at);
        width += end - at + 1;
        at = end + 1;
    }
    text += "\n\n";
    for (const Option &option : optionTable()) {
        if (!option.show)
            continue;
        const std::string name(option.name.substr(2));
        if (options.given.contains(name)) {
            text += name + (option.set ? " " + option.show(options) : std::string()) + '\n';
            continue;
        }
        // Without a default value, what the help names the value.
        std::string value = option.show(defaults);
        if (const auto at = usage.find("\n  " + std::string(option.name) + ' ');
            value.empty() && option.set && at != usage.npos) {
            const auto start = at + 4 + option.name.size();
            value = usage.substr(start, usage.find_first_of(" \n", start) - start);
        }
        text += "# " + name + (option.set ? " " + value : std::string()) + '\n';
    }
    return text;
}

std::vector<std::string> changedOptions(const ServiceOptions &before, const ServiceOptions &after)
{
    std::vector<std::string> changed;
    for (const Option &option : optionTable()) {
        if (option.show && option.show(before) != option.show(after))
            changed.emplace_back(option.name.substr(2));
    }
    return changed;
}

bool reloadApplies(std::string_view name, const ServiceOptions &before, const ServiceOptions &after)
{
    const Option *option = findOption("--" + std::string(name));
    if (!option || !option->reloadable)
        return false;
    // TLS or none, a file or standard error: what the start set up.
    if (name == "tls-cert" || name == "tls-key")
        return before.tls() == after.tls();
    if (name == "log")
        return before.log.empty() == after.log.empty();
    return true;
}

std::string reloadableOptionNames()
{
    std::string names;
    for (const Option &option : optionTable()) {
        if (option.reloadable)
            names += (names.empty() ? "" : ", ") + std::string(option.name.substr(2));
    }
    return names;
}

bool plainHttpAllowed(const ServiceOptions &options, const std::string &address, std::string &error)
{
    if (options.tls() || options.allowPlainHttp || isLoopbackAddress(address))
        return true;
    return fail(error, "refusing to take passwords in the clear on " + address +
                           ": give --tls-cert and --tls-key, or --allow-plain-http");
}

bool ipv6Only(const std::string &address, const std::vector<std::string> &all)
{
    in6_addr v6{};
    in_addr v4{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1 || !IN6_IS_ADDR_UNSPECIFIED(&v6))
        return false;
    return std::any_of(all.begin(), all.end(), [&](const std::string &other) {
        return inet_pton(AF_INET, other.c_str(), &v4) == 1;
    });
}

bool listenersClash(const std::string &a, int portA, const std::string &b, int portB, bool v6only)
{
    in6_addr first{};
    in6_addr second{};
    bool firstV4 = false;
    bool secondV4 = false;
    if (portA == 0 || portA != portB || !numeric(a, first, firstV4) ||
        !numeric(b, second, secondV4))
        return false;
    const auto any = [](const in6_addr &bytes, bool v4) {
        return v4 ? std::all_of(&bytes.s6_addr[12], &bytes.s6_addr[16], [](auto c) { return !c; })
                  : IN6_IS_ADDR_UNSPECIFIED(&bytes);
    };
    if (firstV4 == secondV4)
        return std::memcmp(&first, &second, sizeof first) == 0 || any(first, firstV4) ||
               any(second, secondV4);
    // "::" that serves IPv4 as well takes every IPv4 address.
    const in6_addr &six = firstV4 ? second : first;
    return !v6only && IN6_IS_ADDR_UNSPECIFIED(&six);
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
