#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlonda {

// What the accounts command takes from the service's own options.
struct AccountsSettings
{
    std::string db;
    std::chrono::seconds nickCooldown{0};
};

// The service's option code, handed in by the program: the command reads
// --db, --nick-cooldown (and any other service option, for a shared
// command line or configuration) exactly as a start would.
struct SharedOptions
{
    // Whether `name` ("--db") is a service option, and takes a value.
    std::function<std::optional<bool>(std::string_view name)> takesValue;
    // The settings from those options; empty after saying why on standard
    // error.
    std::function<std::optional<AccountsSettings>(const std::vector<std::string> &arguments)> parse;
};

// `parlonda-regnick accounts ACTION ...`; argv[0] is "accounts". The exit
// status, from sysexits.h.
int runAccountsCommand(int argc, char **argv, const SharedOptions &shared);

} // namespace parlonda
