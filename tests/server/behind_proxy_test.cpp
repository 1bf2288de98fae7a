// The service behind load balancers: every limit and the log use the client
// a trusted balancer names, in a PROXY protocol header or X-Forwarded-For,
// and no one else may name one.
#include "tests/server/haproxy_front.h"
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"

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
    void haproxyInFront_clientsGetTheirOwnSignUpBuckets();
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

void TestBehindProxy::haproxyInFront_clientsGetTheirOwnSignUpBuckets()
{
    HaproxyFront haproxy(m_service->port(), m_dir.path());
    QVERIFY2(haproxy.start(), haproxy.output().constData());
    const auto signUp = [&](const char *source, const QByteArray &nick) {
        RawConnection client(source, haproxy.port());
        client.send(request(form(nick)));
        return client.readAll(10000);
    };
    // Two attempts at once for each address, in the log under its own name.
    QCOMPARE(signUp("127.0.0.5", "quinto1").endsWith("OK"), true);
    QCOMPARE(lastClient(m_service->log()), QByteArray("127.0.0.5"));
    QCOMPARE(signUp("127.0.0.5", "quinto2").endsWith("OK"), true);
    QCOMPARE(httpStatus(signUp("127.0.0.5", "quinto3")), 429);
    // Behind the same balancer, another client still has its own.
    QCOMPARE(signUp("127.0.0.6", "sexto").endsWith("OK"), true);
    QCOMPARE(lastClient(m_service->log()), QByteArray("127.0.0.6"));
    QVERIFY(!stored("quinto3"));
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
    QCOMPARE(lastClient(m_service->log()), client);
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
    QCOMPARE(lastClient(m_service->log()), QByteArray("2001:db8:1:2::1"));
}

QTEST_GUILESS_MAIN(TestBehindProxy)
#include "behind_proxy_test.moc"
