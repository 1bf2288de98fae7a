#pragma once

#include <string>

namespace parlonda {

// Whether GnuTLS takes `priorities` as a priority string that leaves at
// least one TLS version and one cipher to speak ("NONE" leaves none, and
// every handshake would fail). False with the reason in `error`. The start
// and --check both ask, before anything listens.
bool checkTlsPriorities(const std::string &priorities, std::string &error);

} // namespace parlonda
