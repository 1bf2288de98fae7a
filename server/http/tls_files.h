#pragma once

#include <gnutls/abstract.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace parlonda {

struct TlsFiles
{
    std::string certificatePem; // the chain, the server's own certificate first
    std::string keyPem;
};

// Reads the certificate and its private key (PEM) and checks, with GnuTLS as
// the service will use them, that they parse and belong together. Null with
// a reason in `error` otherwise, so that the service refuses to start rather
// than fail every handshake.
std::optional<TlsFiles> loadTlsFiles(const std::string &certificatePath, const std::string &keyPath,
                                     std::string &error);

// TLS 1.2 and 1.3 only, AEAD ciphers only, forward secrecy only: what the
// dialog (Qt 6) and any current client speak. A GnuTLS priority string.
inline constexpr const char *kDefaultTlsPriorities =
    "SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";

// The certificate and key every new TLS handshake uses, replaceable while
// the service runs (SIGHUP): handshakes under way finish with the old ones,
// open connections keep going. Each connection keeps the credentials its
// handshake was given until the HTTP daemon releases them as it closes, so
// the ones replaced are freed once the last connection using them is gone.
class TlsCredentials
{
public:
    TlsCredentials();
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials &) = delete;
    TlsCredentials &operator=(const TlsCredentials &) = delete;

    // Reads both files and, when they are good, uses them from the next
    // handshake on. False with the reason in `error`, keeping what it had.
    bool load(const std::string &certificatePath, const std::string &keyPath, std::string &error);

    // For the HTTP library (MHD_OPTION_HTTPS_CERT_CALLBACK): hands GnuTLS
    // the credentials of the one TlsCredentials alive, as the callback
    // carries no pointer of ours, and keeps them for `session`.
    static gnutls_certificate_retrieve_function2 retrieve;
    // The connection of `session` (a gnutls_session_t, maybe freed by now:
    // only its address is used) has closed: its credentials may go.
    void release(const void *session);

    // Certificates and keys in memory in this process: the current ones,
    // and those replaced that a connection still holds.
    static unsigned loadedNow();

private:
    struct Loaded;

    std::mutex m_mutex;
    std::shared_ptr<const Loaded> m_current;
    std::unordered_map<const void *, std::shared_ptr<const Loaded>> m_inUse;
};

} // namespace parlonda
