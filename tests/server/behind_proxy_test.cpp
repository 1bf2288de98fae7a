// The service behind load balancers: every limit and the log use the client
// a trusted balancer names, in a PROXY protocol header or X-Forwarded-For,
// and no one else may name one.
#include "tests/server/haproxy_front.h"
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"
#include "tests/server/tls_connection.h"
#include "tests/support/test_certificates.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sqlite3.h>
#include <vector>

using namespace parlonda::test;

namespace {

QByteArray request(const QByteArray &body, const QByteArray &extraHeaders = {})
{
    return "POST /cgi-bin/regnick.pl HTTP/1.1\r\nHost: x\r\nContent-Type: " + kFormType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders +
           "\r\n" + body;
}

// The client address of the log's last request line.
QByteArray lastClient(const QByteArray &log)
{
    const QList<QByteArray> words = lastLine(log).split(' ');
    return words.size() > 1 ? words[1] : QByteArray();
}

} // namespace

class TestBehindProxy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void documentedBalancer_namesClients_andPassesABusyDatabaseOn_data();
    void documentedBalancer_namesClients_andPassesABusyDatabaseOn();
    void connection_knownByWhatATrustedPeerSays_data();
    void connection_knownByWhatATrustedPeerSays();
    void trustedPeerThatStalls_holdsUpNoOne();
    void ipv6ClientsBehindABalancer_shareConnectionsPer64();

private:
    bool stored(const QByteArray &nick);

    QTemporaryDir m_dir;
    std::unique_ptr<RegnickProcess> m_service;
};

void TestBehindProxy::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<RegnickProcess>(
        m_dir.filePath(QStringLiteral("behind.db")),
        QStringList{QStringLiteral("--trusted-proxy"), QStringLiteral("127.0.0.1"),
                    QStringLiteral("--rate-burst"), QStringLiteral("2"),
                    QStringLiteral("--max-connections-per-address"), QStringLiteral("2"),
                    QStringLiteral("--idle-timeout"), QStringLiteral("2")});
    QVERIFY(m_service->start());
}

void TestBehindProxy::cleanupTestCase()
{
    QVERIFY(m_service->stop());
}

bool TestBehindProxy::stored(const QByteArray &nick)
{
    sqlite3 *db = nullptr;
    bool found = false;
    if (sqlite3_open_v2(qPrintable(m_dir.filePath(QStringLiteral("behind.db"))), &db,
                        SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT 1 FROM accounts WHERE nick = ?", -1, &statement, nullptr);
        sqlite3_bind_text(statement, 1, nick.constData(), int(nick.size()), SQLITE_TRANSIENT);
        found = sqlite3_step(statement) == SQLITE_ROW;
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return found;
}

void TestBehindProxy::documentedBalancer_namesClients_andPassesABusyDatabaseOn_data()
{
    QTest::addColumn<bool>("nginx");
    QTest::addColumn<QString>("example");
    QTest::newRow("haproxy") << false << QStringLiteral("haproxy.cfg");
    QTest::newRow("nginx") << true << QStringLiteral("nginx.conf");
    QTest::newRow("nginx stream") << true << QStringLiteral("nginx-stream.conf");
}

void TestBehindProxy::documentedBalancer_namesClients_andPassesABusyDatabaseOn()
{
    QFETCH(bool, nginx);
    QFETCH(QString, example);
    // docs/service.md shows this very file.
    QFile page(EXAMPLES "../service.md"), file(EXAMPLES + example);
    QVERIFY(page.open(QIODevice::ReadOnly) && file.open(QIODevice::ReadOnly));
    QVERIFY(page.readAll().contains(file.readAll()));
    // The service on TLS, for the public name the balancer checks.
    const QString dir = m_dir.filePath(example), db = dir + QStringLiteral("/front.db");
    const TestCa ca;
    const Pem pem = ca.issue({"registro.example.net"});
    QVERIFY(QDir().mkpath(dir) && writeFile(dir + "/ca.pem", ca.certificatePem()) &&
            writeFile(dir + "/cert.pem", pem.certificate) &&
            writeFile(dir + "/key.pem", pem.privateKey));
    RegnickProcess service(db, {"--trusted-proxy", "127.0.0.1", "--rate-burst", "2", "--tls-cert",
                                dir + "/cert.pem", "--tls-key", dir + "/key.pem",
                                "--metrics-listen", "127.0.0.1:0"});
    QVERIFY2(service.start(), service.errors().constData());
    const QString metrics = QRegularExpression("metrics on (http://[0-9.:]+)/")
                                .match(QString::fromUtf8(service.log()))
                                .captured(1);
    // Its checks answered "ok" so far.
    const auto alive = [&] {
        const QByteArray scrape = send(metrics, "GET", "/metrics", {}, {}).body;
        const QByteArray sample = "parlonda_http_responses_total{status=\"200\"} ";
        const qsizetype at = scrape.indexOf(sample);
        return at < 0 ? 0 : scrape.mid(at + sample.size()).split('\n')[0].toInt();
    };
    // The example as an operator copies it, with this test's addresses and files.
    HaproxyFront front(nginx ? HaproxyFront::Program::Nginx : HaproxyFront::Program::Haproxy,
                       EXAMPLES + example,
                       {{"192.0.2.11:443", "127.0.0.1:" + QByteArray::number(service.port())},
                        {"/etc/ssl/certs/ca-certificates.crt", (dir + "/ca.pem").toUtf8()},
                        {"/etc/nginx/registro.example.net.pem", (dir + "/cert.pem").toUtf8()},
                        {"/etc/nginx/registro.example.net.key", (dir + "/key.pem").toUtf8()},
                        {"inter 2s", "inter 100ms"}},
                       dir);
    QVERIFY2(front.start(), front.output().constData());
    const auto signUp = [&](const char *source, const QByteArray &nick) {
        TlsConnection client(front.port(), {}, source);
        client.send(request(form(nick), "Connection: close\r\n")); // nginx keeps it alive
        return client.readAll();
    };
    // Two attempts at once for each address, in the log under its own name.
    QVERIFY(signUp("127.0.0.5", "quinto1").endsWith("OK"));
    QTRY_COMPARE(lastClient(service.log()), QByteArray("127.0.0.5"));
    QVERIFY(signUp("127.0.0.5", "quinto2").endsWith("OK"));
    QCOMPARE(httpStatus(signUp("127.0.0.5", "quinto3")), 429);
    // Behind the same balancer, another client still has its own.
    QVERIFY(signUp("127.0.0.6", "sexto").endsWith("OK"));
    QTRY_COMPARE(lastClient(service.log()), QByteArray("127.0.0.6"));

    // The database away (a shell holds its write lock): busy, never cut off,
    // also after the checks that would take a server out (HAProxy: 3).
    sqlite3 *shell = nullptr;
    sqlite3_open(QFile::encodeName(db).constData(), &shell);
    QCOMPARE(sqlite3_exec(shell, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto busy = [&](const char *source, const QByteArray &nick) {
        const QByteArray answer = signUp(source, nick);
        return httpStatus(answer) == 503 && !httpHeader(answer, "Retry-After").isEmpty();
    };
    QVERIFY(busy("127.0.0.7", "durante1"));
    const int checks = alive();
    if (!nginx) // nginx has no checks of its own
        QTRY_VERIFY(alive() >= checks + 4);
    QVERIFY(busy("127.0.0.8", "durante2"));
    sqlite3_close(shell);
    // Back within 2 s (a probe a second), and the next sign-up is stored.
    QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("the accounts database answers again"), 2000);
    QVERIFY(signUp("127.0.0.9", "despues").endsWith("OK"));
    QVERIFY(service.stop());
}

void TestBehindProxy::connection_knownByWhatATrustedPeerSays_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("header");    // sent before the request
    QTest::addColumn<QByteArray>("forwarded"); // headers in the request
    QTest::addColumn<QByteArray>("client");    // in the log; empty: closed unanswered

    const QByteArray v1 = "PROXY TCP4 192.0.2.9 127.0.0.1 40000 80\r\n";
    const QByteArray v2 = QByteArray("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16) +
                          QByteArray::fromHex("c63364077f0000019c400050");
    QTest::newRow("trusted, version 1")
        << QByteArray("127.0.0.1") << v1 << QByteArray() << QByteArray("192.0.2.9");
    QTest::newRow("trusted, version 2")
        << QByteArray("127.0.0.1") << v2 << QByteArray() << QByteArray("198.51.100.7");
    QTest::newRow("trusted, LOCAL")
        << QByteArray("127.0.0.1") << QByteArray("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16)
        << QByteArray() << QByteArray("127.0.0.1");
    QTest::newRow("trusted, neither")
        << QByteArray("127.0.0.1") << QByteArray() << QByteArray() << QByteArray("127.0.0.1");
    QTest::newRow("trusted, malformed")
        << QByteArray("127.0.0.1") << QByteArray("PROXY TCP4 192.0.2.300 127.0.0.1 1 80\r\n")
        << QByteArray() << QByteArray();
    QTest::newRow("untrusted, version 1")
        << QByteArray("127.0.0.7") << v1 << QByteArray() << QByteArray();
    QTest::newRow("untrusted, version 2")
        << QByteArray("127.0.0.7") << v2 << QByteArray() << QByteArray();
    QTest::newRow("trusted, X-Forwarded-For")
        << QByteArray("127.0.0.1") << QByteArray()
        << QByteArray("X-Forwarded-For: 6.6.6.6, 203.0.113.4\r\n") << QByteArray("203.0.113.4");
    QTest::newRow("trusted, X-Forwarded-For with ports")
        << QByteArray("127.0.0.1") << QByteArray()
        << QByteArray("X-Forwarded-For: [2001:db8::1]:443, 203.0.113.7:51234\r\n")
        << QByteArray("203.0.113.7");
    QTest::newRow("untrusted, X-Forwarded-For")
        << QByteArray("127.0.0.8") << QByteArray() << QByteArray("X-Forwarded-For: 203.0.113.4\r\n")
        << QByteArray("127.0.0.8");
}

void TestBehindProxy::connection_knownByWhatATrustedPeerSays()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, forwarded);
    QFETCH(QByteArray, client);

    static int row = 0;
    const QByteArray nick = "fila" + QByteArray::number(++row);
    RawConnection connection(source.constData(), m_service->port());
    connection.send(header + request(form(nick), forwarded));
    const QByteArray answer = connection.readAll(10000);
    if (client.isEmpty()) {
        // Closed with nothing said, nothing stored.
        QCOMPARE(answer, QByteArray());
        QVERIFY(!stored(nick));
        QVERIFY(!m_service->log().contains('"' + nick + '"'));
        return;
    }
    QVERIFY2(answer.endsWith("\r\n\r\nOK"), answer.constData());
    QVERIFY(stored(nick));
    QTRY_COMPARE(lastClient(m_service->log()), client);
}

void TestBehindProxy::trustedPeerThatStalls_holdsUpNoOne()
{
    RawConnection stalled("127.0.0.1", m_service->port());
    QVERIFY(stalled.send("PROXY TCP4 192.0.2."));
    // Others are served meanwhile.
    RawConnection stranger("127.0.0.9", m_service->port());
    stranger.send(request(form("extrana")));
    QVERIFY(stranger.readAll(10000).endsWith("OK"));
    // And closed once its idle time-out (2 s) is over.
    QVERIFY(stalled.closedWithin(10000));
}

void TestBehindProxy::ipv6ClientsBehindABalancer_shareConnectionsPer64()
{
    const auto from = [&](const char *client) {
        auto connection = std::make_unique<RawConnection>("127.0.0.1", m_service->port());
        connection->send("PROXY TCP6 " + QByteArray(client) + " ::1 40000 80\r\nPOST /cgi");
        return connection;
    };
    // --max-connections-per-address 2: two from one /64 fill its share, and
    // the older makes room for a third...
    std::vector<std::unique_ptr<RawConnection>> open;
    open.push_back(from("2001:db8:1:1::1"));
    open.push_back(from("2001:db8:1:1::2"));
    RawConnection third("127.0.0.1", m_service->port());
    third.send("PROXY TCP6 2001:db8:1:1:ffff::3 ::1 40000 80\r\n" + request(form("tercera")));
    QVERIFY(third.readAll(10000).endsWith("OK"));
    QVERIFY(open[0]->closedWithin(1000));
    // ...while another /64 has its own.
    RawConnection other("127.0.0.1", m_service->port());
    other.send("PROXY TCP6 2001:db8:1:2::1 ::1 40000 80\r\n" + request(form("otra64")));
    QVERIFY(other.readAll(10000).endsWith("OK"));
    QVERIFY(!open[1]->closedWithin(0));
    QTRY_COMPARE(lastClient(m_service->log()), QByteArray("2001:db8:1:2::1"));
}

QTEST_GUILESS_MAIN(TestBehindProxy)
#include "behind_proxy_test.moc"
