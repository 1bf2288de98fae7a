#pragma once

#include <string>

namespace parlonda {

// Who runs the command: the user, and the one sudo names when it ran it
// ("root (SUDO_USER=ana)"). Taken at start.
std::string operatorName();

// One line at notice for a change the operator made: the action, the nick
// and who made it; never a password, and for a deletion nothing but the
// nick. To the journal when it can be reached, else to standard error.
void logChange(const std::string &action, const std::string &nick, const std::string &by,
               const std::string &detail = {});

} // namespace parlonda
