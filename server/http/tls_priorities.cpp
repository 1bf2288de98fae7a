#include "server/http/tls_priorities.h"

#include <gnutls/gnutls.h>

namespace parlonda {

bool checkTlsPriorities(const std::string &priorities, std::string &error)
{
    gnutls_priority_t parsed = nullptr;
    const char *at = nullptr;
    const int rc = gnutls_priority_init(&parsed, priorities.c_str(), &at);
    if (rc != GNUTLS_E_SUCCESS) {
        error =
            "--tls-priorities: GnuTLS does not take \"" + priorities + "\"" +
            (at && at != priorities.c_str() ? " from \"" + std::string(at) + "\"" : std::string()) +
            ": " + gnutls_strerror(rc);
        return false;
    }
    const unsigned int *list = nullptr;
    const int versions = gnutls_priority_protocol_list(parsed, &list);
    const int ciphers = gnutls_priority_cipher_list(parsed, &list);
    gnutls_priority_deinit(parsed);
    if (versions > 0 && ciphers > 0)
        return true;
    error = "--tls-priorities \"" + priorities + "\" leaves no TLS " +
            (versions > 0 ? "cipher" : "version") + " to speak";
    return false;
}

} // namespace parlonda
