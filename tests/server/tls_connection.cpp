#include "tests/server/tls_connection.h"

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace parlonda::test {
namespace {

constexpr int kTimeoutSeconds = 5;

} // namespace

TlsConnection::TlsConnection(quint16 port, const TlsOffer &offer, const char *source)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    sockaddr_in target = from;
    target.sin_port = htons(port);
    inet_pton(AF_INET, source ? source : "127.0.0.1", &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0)
        return;
    m_context = SSL_CTX_new(TLS_client_method());
    // Old versions need the lowest security level in OpenSSL 3 even to be offered.
    SSL_CTX_set_security_level(m_context, 0);
    SSL_CTX_set_min_proto_version(m_context, offer.minVersion);
    SSL_CTX_set_max_proto_version(m_context, offer.maxVersion);
    if (!offer.ciphers.isEmpty())
        SSL_CTX_set_cipher_list(m_context, offer.ciphers.constData());
    SSL *ssl = SSL_new(m_context);
    SSL_set_fd(ssl, m_fd);
    if (SSL_connect(ssl) == 1)
        m_ssl = ssl;
    else
        SSL_free(ssl);
}

TlsConnection::~TlsConnection()
{
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_context)
        SSL_CTX_free(m_context);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TlsConnection::presented(const std::string &certificatePem) const
{
    if (!m_ssl)
        return false;
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())), &BIO_free);
    const std::unique_ptr<X509, decltype(&X509_free)> expected(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
    const std::unique_ptr<X509, decltype(&X509_free)> peer(SSL_get1_peer_certificate(m_ssl),
                                                           &X509_free);
    return expected && peer && X509_cmp(expected.get(), peer.get()) == 0;
}

bool TlsConnection::send(QByteArrayView bytes)
{
    std::size_t written = 0;
    return m_ssl &&
           SSL_write_ex(m_ssl, bytes.data(), static_cast<std::size_t>(bytes.size()), &written) == 1;
}

QByteArray TlsConnection::readAll()
{
    QByteArray all;
    char buffer[4096];
    std::size_t n = 0;
    while (m_ssl && SSL_read_ex(m_ssl, buffer, sizeof buffer, &n) == 1)
        all.append(buffer, static_cast<qsizetype>(n));
    return all;
}

} // namespace parlonda::test
