#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace parlonda::test {

// What a TLS client offers: versions from `minVersion` to `maxVersion`
// (OpenSSL's TLS1_1_VERSION...; 0: OpenSSL's own bound) and, for TLS 1.2
// and below, an OpenSSL cipher list (empty: OpenSSL's default). The
// certificate is not checked: the tests look at it themselves.
struct TlsOffer
{
    int minVersion = 0;
    int maxVersion = 0;
    QByteArray ciphers;
};

// A TLS connection to the service on 127.0.0.1 with OpenSSL, made at
// construction (from `source`, a loopback address, when given); blocking,
// each step bounded by a few seconds.
class TlsConnection
{
public:
    TlsConnection(quint16 port, const TlsOffer &offer = {}, const char *source = nullptr);
    ~TlsConnection();
    TlsConnection(const TlsConnection &) = delete;
    TlsConnection &operator=(const TlsConnection &) = delete;

    // True when the handshake completed.
    bool established() const { return m_ssl != nullptr; }
    // True when the service presented this certificate (PEM).
    bool presented(const std::string &certificatePem) const;

    bool send(QByteArrayView bytes);
    // Everything until the service closes the connection.
    QByteArray readAll();

private:
    int m_fd = -1;
    ssl_ctx_st *m_context = nullptr;
    ssl_st *m_ssl = nullptr;
};

} // namespace parlonda::test
