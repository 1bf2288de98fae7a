// parlonda-regnick: the stand-in registration service. Parses the options,
// wires the parts of the parlonda_regnick library together and runs them.
#include "server/account_store.h"
#include "server/http_server.h"
#include "server/regnick_service.h"
#include "server/request_log.h"
#include "server/stop_signals.h"

#include <charconv>
#include <httplib.h>
#include <iostream>
#include <memory>
#include <optional>
#include <sodium.h>
#include <string>
#include <string_view>

namespace {

constexpr const char *kUsage = R"(Usage: parlonda-regnick [--listen ADDR] [--port N] [--db PATH]

Stand-in for the Parlonda registration service. Answers
POST /cgi-bin/regnick.pl with the sign-up dialog's form (nick, nombres, email,
tel, ciudad, pais, paswd; Windows-1252, form-encoded): "OK" for a new account,
"Error" when the nick is already in use ("Ana" and "ana" are one nick).
Refused requests get 400, 404, 405, 413 (body over 16 KiB) or 415.

Options:
  --listen ADDR  address to listen on (default 127.0.0.1)
  --port N       TCP port, 0 for any free one (default 8080)
  --db PATH      SQLite file with the accounts, created with its table when
                 missing (default ./parlonda-regnick.db). Passwords are kept
                 only as Argon2id hashes.
  -h, --help     show this text and exit

When ready, prints "listening on http://ADDR:PORT" on standard output. Logs
one line per request on standard error: UTC time, method, path, nick, outcome
and status, never the password. Stops cleanly on SIGINT or SIGTERM.
)";

struct Options
{
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string db = "parlonda-regnick.db";
    bool help = false;
};

std::optional<int> parsePort(std::string_view text)
{
    int port = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535)
        return std::nullopt;
    return port;
}

// Accepts "--name VALUE" and "--name=VALUE". Null after telling what is wrong.
std::optional<Options> parseOptions(int argc, char **argv)
{
    Options options;
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
        if (name != "--listen" && name != "--port" && name != "--db") {
            std::cerr << "parlonda-regnick: unknown option " << arg << '\n';
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 == argc) {
                std::cerr << "parlonda-regnick: " << name << " needs a value\n";
                return std::nullopt;
            }
            value = argv[++i];
        }
        if (value->empty()) {
            std::cerr << "parlonda-regnick: " << name << " needs a value\n";
            return std::nullopt;
        }
        if (name == "--listen") {
            options.listen = *value;
        } else if (name == "--db") {
            options.db = *value;
        } else if (const std::optional<int> port = parsePort(*value)) {
            options.port = *port;
        } else {
            std::cerr << "parlonda-regnick: --port takes a number from 0 to 65535, not " << *value
                      << '\n';
            return std::nullopt;
        }
    }
    return options;
}

// An IPv6 address needs brackets in a URL.
std::string urlHost(const std::string &address)
{
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    parlonda::blockStopSignals();

    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        std::cerr << "Try 'parlonda-regnick --help'.\n";
        return 2;
    }
    if (options->help) {
        std::cout << kUsage;
        return 0;
    }

    if (sodium_init() < 0) {
        std::cerr << "parlonda-regnick: cannot initialise libsodium\n";
        return 1;
    }
    std::string error;
    const std::unique_ptr<parlonda::AccountStore> store =
        parlonda::AccountStore::open(options->db, error);
    if (!store) {
        std::cerr << "parlonda-regnick: " << error << '\n';
        return 1;
    }

    parlonda::RequestLog log(std::cerr);
    parlonda::RegnickService service(*store, log);
    parlonda::HttpServer server;
    service.install(server);

    int port = options->port;
    if (port == 0)
        port = server.bind_to_any_port(options->listen);
    else if (!server.bind_to_port(options->listen, port))
        port = -1;
    if (port < 0) {
        std::cerr << "parlonda-regnick: cannot listen on " << urlHost(options->listen) << ':'
                  << options->port << '\n';
        return 1;
    }
    if (!server.widenBacklog())
        log.problem("cannot widen the listening queue; bursts of requests may be refused");
    // Scripts and tests wait for exactly this line to learn the port.
    std::cout << "listening on http://" << urlHost(options->listen) << ':' << port << std::endl;

    return parlonda::serveUntilStopSignal(server) ? 0 : 1;
}
