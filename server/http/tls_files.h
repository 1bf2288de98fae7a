#pragma once

#include <optional>
#include <string>

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

} // namespace parlonda
