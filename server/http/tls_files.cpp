#include "server/http/tls_files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <gnutls/gnutls.h>
#include <memory>
#include <sstream>

namespace parlonda {
namespace {

// A certificate chain or a key is a few KiB; anything much larger is not one.
constexpr std::streamsize kMaxPemBytes = 1024 * 1024;

std::optional<std::string> readFile(const std::string &path, const char *what, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error =
            std::string("cannot read the TLS ") + what + " " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(kMaxPemBytes) + 1, '\0');
    in.read(bytes.data(), kMaxPemBytes + 1);
    if (in.bad()) {
        error =
            std::string("cannot read the TLS ") + what + " " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > static_cast<std::size_t>(kMaxPemBytes)) {
        error = std::string("the TLS ") + what + " " + path + " is over 1 MiB: not a PEM file";
        return std::nullopt;
    }
    return bytes;
}

gnutls_datum_t datum(const std::string &bytes)
{
    return {reinterpret_cast<unsigned char *>(const_cast<char *>(bytes.data())),
            static_cast<unsigned>(bytes.size())};
}

} // namespace

std::optional<TlsFiles> loadTlsFiles(const std::string &certificatePath, const std::string &keyPath,
                                     std::string &error)
{
    TlsFiles files;
    std::optional<std::string> certificate = readFile(certificatePath, "certificate", error);
    if (!certificate)
        return std::nullopt;
    std::optional<std::string> key = readFile(keyPath, "key", error);
    if (!key)
        return std::nullopt;

    gnutls_certificate_credentials_t raw = nullptr;
    if (gnutls_certificate_allocate_credentials(&raw) != GNUTLS_E_SUCCESS) {
        error = "cannot set up TLS: out of memory";
        return std::nullopt;
    }
    const std::unique_ptr<gnutls_certificate_credentials_st,
                          decltype(&gnutls_certificate_free_credentials)>
        credentials(raw, &gnutls_certificate_free_credentials);
    const gnutls_datum_t certificateDatum = datum(*certificate);
    const gnutls_datum_t keyDatum = datum(*key);
    // The same call the HTTP library makes; it also checks that the key is
    // the certificate's.
    const int rc = gnutls_certificate_set_x509_key_mem2(credentials.get(), &certificateDatum,
                                                        &keyDatum, GNUTLS_X509_FMT_PEM, nullptr, 0);
    if (rc < 0) {
        error = "cannot use the TLS certificate " + certificatePath + " with the key " + keyPath +
                ": " + gnutls_strerror(rc);
        return std::nullopt;
    }
    files.certificatePem = std::move(*certificate);
    files.keyPem = std::move(*key);
    return files;
}

} // namespace parlonda
