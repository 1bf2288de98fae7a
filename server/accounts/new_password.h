#pragma once

#include <optional>
#include <string>

namespace parlonda {

// The new password for `set-password`: one line of standard input, or,
// when standard input is a terminal, typed at a prompt without echo, twice.
// Never from the command line, where other users and the shell's history
// would see it. Checked as a sign-up checks its password: UTF-8, not
// empty, at most 255 characters, every one of them one that the dialog's
// Windows-1252 form can carry and none a control character, so that its
// UTF-8 bytes are the ones a sign-up would have hashed. Empty, after
// saying why on standard error, when it is not fit.
std::optional<std::string> readNewPassword(const std::string &nick);

// Why `password` (UTF-8 bytes as given) cannot be one; empty when it can.
std::string passwordProblem(const std::string &password);

} // namespace parlonda
