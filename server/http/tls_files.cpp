#include "server/http/tls_files.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
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

// Certificates in a chain the service will send; more is a mistake.
constexpr unsigned kMaxChainLength = 16;

std::atomic<TlsCredentials *> served{nullptr};

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

namespace {

std::atomic<unsigned> loadedCount{0};

} // namespace

struct TlsCredentials::Loaded
{
    gnutls_pcert_st chain[kMaxChainLength]{};
    unsigned length = 0;
    gnutls_privkey_t key = nullptr;

    Loaded() { ++loadedCount; }
    ~Loaded()
    {
        for (unsigned i = 0; i < length; ++i)
            gnutls_pcert_deinit(&chain[i]);
        if (key)
            gnutls_privkey_deinit(key);
        --loadedCount;
    }
    Loaded(const Loaded &) = delete;
    Loaded &operator=(const Loaded &) = delete;
};

TlsCredentials::TlsCredentials()
{
    served = this;
}

TlsCredentials::~TlsCredentials()
{
    served = nullptr;
}

unsigned TlsCredentials::loadedNow()
{
    return loadedCount;
}

bool TlsCredentials::load(const std::string &certificatePath, const std::string &keyPath,
                          std::string &error)
{
    std::optional<TlsFiles> files = loadTlsFiles(certificatePath, keyPath, error);
    if (!files)
        return false;
    auto loaded = std::make_shared<Loaded>();
    const gnutls_datum_t certificate = datum(files->certificatePem);
    const gnutls_datum_t key = datum(files->keyPem);
    unsigned length = kMaxChainLength;
    int rc = gnutls_pcert_list_import_x509_raw(loaded->chain, &length, &certificate,
                                               GNUTLS_X509_FMT_PEM, 0);
    if (rc >= 0) {
        loaded->length = length;
        rc = gnutls_privkey_init(&loaded->key);
    }
    if (rc >= 0)
        rc = gnutls_privkey_import_x509_raw(loaded->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    explicit_bzero(files->keyPem.data(), files->keyPem.size());
    if (rc < 0) {
        error = "cannot use the TLS certificate " + certificatePath + " with the key " + keyPath +
                ": " + gnutls_strerror(rc);
        return false;
    }
    const std::lock_guard lock(m_mutex);
    m_current = std::move(loaded);
    return true;
}

int TlsCredentials::retrieve(gnutls_session_t session, const gnutls_datum_t *, int,
                             const gnutls_pk_algorithm_t *, int, gnutls_pcert_st **chain,
                             unsigned *length, gnutls_privkey_t *key)
{
    TlsCredentials *credentials = served;
    if (!credentials)
        return -1;
    const std::lock_guard lock(credentials->m_mutex);
    const std::shared_ptr<const Loaded> &current = credentials->m_current;
    if (!current)
        return -1;
    // GnuTLS keeps these pointers, and copies nothing, for the session's life.
    credentials->m_inUse[session] = current;
    *chain = const_cast<gnutls_pcert_st *>(current->chain);
    *length = current->length;
    *key = current->key;
    return 0;
}

void TlsCredentials::release(const void *session)
{
    std::shared_ptr<const Loaded> last;
    const std::lock_guard lock(m_mutex);
    if (const auto it = m_inUse.find(session); it != m_inUse.end()) {
        // Freed, if it was the last, once the lock is let go.
        last = std::move(it->second);
        m_inUse.erase(it);
    }
}

} // namespace parlonda
