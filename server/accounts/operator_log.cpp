#include "server/accounts/operator_log.h"

#include "server/accounts/account_output.h"

#include <cstdlib>
#include <iostream>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace parlonda {

std::string operatorName()
{
    const uid_t uid = ::getuid();
    const passwd *user = ::getpwuid(uid);
    std::string name = user ? user->pw_name : "uid " + std::to_string(uid);
    if (const char *sudo = std::getenv("SUDO_USER"); sudo && *sudo)
        name += std::string(" (SUDO_USER=") + sudo + ')';
    return name;
}

void logChange(const std::string &action, const std::string &nick, const std::string &by,
               const std::string &detail)
{
    const std::string message = "accounts " + action +
                                (nick.empty() ? "" : ' ' + jsonString(nick)) + " by " + by +
                                (detail.empty() ? "" : ": " + detail);
    // libsystemd drops the line without a word when journald's socket is
    // not there (no systemd, a container): then it goes to standard error.
    struct stat socket
    {
    };
    const bool journal =
        ::stat("/run/systemd/journal/socket", &socket) == 0 && S_ISSOCK(socket.st_mode);
    if (!journal || sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=5",
                                    "SYSLOG_IDENTIFIER=parlonda-regnick", "PARLONDA_ACTION=%s",
                                    action.c_str(), "PARLONDA_NICK=%s", nick.c_str(),
                                    "PARLONDA_OPERATOR=%s", by.c_str(), nullptr) < 0)
        std::cerr << "parlonda-regnick: " << message << '\n';
}

} // namespace parlonda
