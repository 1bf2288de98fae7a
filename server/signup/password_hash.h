#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace parlonda {

// The password as an Argon2id string ("$argon2id$v=19$m=...") with
// libsodium's interactive limits, for crypto_pwhash_str_verify. Costs about
// 0.1 s and 64 MiB, so callers must not hold a lock around it. Empty when
// the memory cannot be had. sodium_init() must have run.
std::optional<std::string> hashPassword(std::string_view password);

// Whether `password` is the one `hash` (from hashPassword) was made of. As
// slow as hashing it; false also when the memory cannot be had.
bool passwordMatches(std::string_view password, const std::string &hash);

} // namespace parlonda
