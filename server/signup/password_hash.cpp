#include "server/signup/password_hash.h"

#include <sodium.h>

namespace parlonda {

std::optional<std::string> hashPassword(std::string_view password)
{
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return std::nullopt;
    }
    return std::string(hash);
}

bool passwordMatches(std::string_view password, const std::string &hash)
{
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

} // namespace parlonda
