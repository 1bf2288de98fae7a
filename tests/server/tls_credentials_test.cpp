// The certificate and key a SIGHUP replaced stay in memory only while a
// connection whose handshake was given them is open.
#include "server/http/tls_files.h"
#include "tests/support/test_certificates.h"

#include <QTemporaryDir>
#include <QTest>
#include <gnutls/gnutls.h>

using namespace parlonda;

class TestTlsCredentials : public QObject
{
    Q_OBJECT

private slots:
    void reloads_keepOnlyWhatConnectionsUse();
};

void TestTlsCredentials::reloads_keepOnlyWhatConnectionsUse()
{
    QTemporaryDir dir;
    const test::Pem pem = test::TestCa().issue({"localhost"});
    const QString certificate = dir.filePath(QStringLiteral("cert.pem"));
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    QVERIFY(test::writeFile(certificate, pem.certificate) && test::writeFile(key, pem.privateKey));
    TlsCredentials credentials;
    std::string error;
    const auto load = [&] {
        return credentials.load(certificate.toStdString(), key.toStdString(), error);
    };
    QVERIFY(load());
    // A connection in its handshake, as the HTTP library asks for them.
    gnutls_session_t session = nullptr;
    QCOMPARE(gnutls_init(&session, GNUTLS_SERVER), GNUTLS_E_SUCCESS);
    gnutls_pcert_st *chain = nullptr;
    unsigned length = 0;
    gnutls_privkey_t privateKey = nullptr;
    QCOMPARE(
        TlsCredentials::retrieve(session, nullptr, 0, nullptr, 0, &chain, &length, &privateKey), 0);
    for (int reload = 0; reload < 5; ++reload)
        QVERIFY(load());
    // The connection's and the newest; under ASan, reading a freed chain fails.
    QCOMPARE(TlsCredentials::loadedNow(), 2u);
    QVERIFY(length == 1 && chain[0].cert.size > 0);
    credentials.release(session);
    QCOMPARE(TlsCredentials::loadedNow(), 1u);
    gnutls_deinit(session);
}

QTEST_GUILESS_MAIN(TestTlsCredentials)
#include "tls_credentials_test.moc"
