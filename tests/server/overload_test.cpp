// The service under more sign-ups than it can hash in time, and what it
// tells an operator: load shedding, GET /healthz, and the metrics.
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <vector>

using namespace parlonda::test;

namespace {

const QStringList kOneWorker = {QStringLiteral("--hash-workers"), QStringLiteral("1"),
                                QStringLiteral("--max-wait"), QStringLiteral("1")};

Answer get(const QString &baseUrl, const QByteArray &path)
{
    return send(baseUrl, "GET", path, {}, {});
}

// "http://127.0.0.1:PORT", from the line the service logs when it starts.
QString metricsUrl(const RegnickProcess &service)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("metrics on (http://127.0.0.1:[0-9]+)/metrics"))
            .match(QString::fromUtf8(service.log()));
    return match.captured(1);
}

quint16 portOf(const QString &url)
{
    return quint16(url.mid(url.lastIndexOf(u':') + 1).toUInt());
}

// The value of one sample ("name{labels}") in a scrape, -1 when missing.
double sample(const QByteArray &scrape, const QByteArray &name)
{
    for (const QByteArray &line : scrape.split('\n')) {
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).toDouble();
    }
    return -1;
}

} // namespace

class TestOverload : public QObject
{
    Q_OBJECT

private slots:
    void burst_isShedAtOnce_andNothingShedIsStored();
    void signUpThatWaitedPastMaxWait_isShedUnstored();
    void metrics_countWhatHappened_andPassPromtool();
    void fullSlots_waitingOnesGiveWay_data();
    void fullSlots_waitingOnesGiveWay();

private:
    QTemporaryDir m_dir;
};

void TestOverload::burst_isShedAtOnce_andNothingShedIsStored()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("burst.db")), kRelaxed + kOneWorker);
    QVERIFY(service.start());
    QCOMPARE(get(service.baseUrl(), "/healthz").body, QByteArray("ok\n"));

    // Far more than one worker hashes in a second.
    constexpr int kBurst = 48;
    std::vector<std::future<Answer>> answers;
    for (int i = 0; i < kBurst; ++i)
        answers.push_back(std::async(std::launch::async, [&, i] {
            return post(service.baseUrl(), form("rafaga" + QByteArray::number(i)));
        }));
    // While the queue is over a second long, load balancers are told so.
    QTRY_COMPARE_WITH_TIMEOUT(get(service.baseUrl(), "/healthz").status, 503, 10000);

    QList<QByteArray> registered;
    int shed = 0;
    for (int i = 0; i < kBurst; ++i) {
        const Answer answer = answers[i].get();
        if (answer.status == 503) {
            ++shed;
            QVERIFY2(answer.retryAfter.toInt() >= 1, answer.retryAfter.constData());
        } else {
            QCOMPARE(answer.status, 200);
            QCOMPARE(answer.body, QByteArray("OK"));
            registered << "rafaga" + QByteArray::number(i);
        }
    }
    QVERIFY(shed > 0);
    QVERIFY(!registered.isEmpty());
    // Some were refused on arrival, not after waiting.
    QTRY_VERIFY(service.log().contains(" shed 503"));

    // Exactly the acknowledged ones were stored: a shed nick is still free.
    for (int i = 0; i < kBurst; ++i) {
        const QByteArray nick = "rafaga" + QByteArray::number(i);
        QCOMPARE(post(service.baseUrl(), formWith(nick, "ciudad", "Loja")).body,
                 QByteArray(registered.contains(nick) ? "Error" : "OK"));
    }
    QCOMPARE(get(service.baseUrl(), "/healthz").status, 200);
    QVERIFY(service.stop());
    // Health checks are logged only when their answer changes.
    QCOMPARE(service.log().count("GET /healthz - unavailable 503 (shedding sign-ups)"), 1);
    QCOMPARE(service.log().count("GET /healthz - answered 200"), 1);
}

// A sign-up is measured from when its headers came: one whose body took
// longer than --max-wait has waited too long by the time a worker sees it.
void TestOverload::signUpThatWaitedPastMaxWait_isShedUnstored()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("late.db")), kRelaxed + kOneWorker);
    QVERIFY(service.start());
    const QByteArray body = form("tardia");
    RawConnection client("127.0.0.2", service.port());
    QVERIFY(client.send(
        "POST /cgi-bin/regnick.pl HTTP/1.1\r\nHost: x\r\nContent-Type: " + kFormType +
        "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body.left(10)));
    // What is tested is time passing: --max-wait is 1 s.
    QTest::qSleep(1200);
    QVERIFY(client.send(body.mid(10)));
    const QByteArray answer = client.readAll(10000);
    QCOMPARE(httpStatus(answer), 503);
    QVERIFY(httpHeader(answer, "Retry-After").toInt() >= 1);
    QTRY_COMPARE(lastOutcome(service.log()), QByteArray("shed-late 503"));
    QCOMPARE(post(service.baseUrl(), form("tardia")).body, QByteArray("OK"));
    QVERIFY(service.stop());
}

void TestOverload::metrics_countWhatHappened_andPassPromtool()
{
    // The connection left open below holds the stop for --stop-timeout.
    RegnickProcess service(m_dir.filePath(QStringLiteral("metrics.db")),
                           {QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--rate-burst"), QStringLiteral("5"),
                            QStringLiteral("--stop-timeout"), QStringLiteral("1")});
    QVERIFY(service.start());
    const QString metrics = metricsUrl(service);
    QVERIFY2(!metrics.isEmpty(), service.log().constData());
    // Never on the public listener.
    QCOMPARE(get(service.baseUrl(), "/metrics").status, 404);

    QCOMPARE(post(service.baseUrl(), form("medida")).body, QByteArray("OK"));
    // Its own repeat costs a hash, and so does another city, told "Error".
    QCOMPARE(post(service.baseUrl(), form("Medida")).body, QByteArray("OK"));
    QCOMPARE(post(service.baseUrl(), formWith("medida", "ciudad", "Loja")).body,
             QByteArray("Error"));
    QCOMPARE(post(service.baseUrl(), form("con+espacio")).body, QByteArray("Error"));
    QCOMPARE(post(service.baseUrl(), form("Admin")).body, QByteArray("Error")); // reserved
    QCOMPARE(post(service.baseUrl(), form("otra")).status, 429);
    // Open connections, one part of a request in, one silent yet.
    RawConnection open("127.0.0.2", service.port()), silent("127.0.0.2", service.port());
    QVERIFY(open.send("POST /cgi"));
    QCOMPARE(get(service.baseUrl(), "/healthz").status, 200);

    QByteArray scrape;
    QTRY_VERIFY_WITH_TIMEOUT(
        sample(scrape = get(metrics, "/metrics").body, "parlonda_connections_open") == 2, 10000);
    const std::pair<const char *, double> expected[] = {
        {"parlonda_signups_total{outcome=\"registered\"}", 1},
        {"parlonda_signups_total{outcome=\"taken\"}", 1},
        {"parlonda_signups_total{outcome=\"refused_nick\"}", 2},
        {"parlonda_signups_total{outcome=\"rate_limited\"}", 1},
        {"parlonda_signups_total{outcome=\"shed\"}", 0},
        {"parlonda_signups_total{outcome=\"database_error\"}", 0},
        {"parlonda_signups_total{outcome=\"repeated\"}", 1},
        {"parlonda_http_responses_total{status=\"200\"}", 6},
        {"parlonda_probes_total{path=\"/healthz\",status=\"200\"}", 1},
        {"parlonda_log_lines_dropped_total", 0},
        {"parlonda_http_responses_total{status=\"404\"}", 1},
        {"parlonda_http_responses_total{status=\"429\"}", 1},
        {"parlonda_hash_queue_depth", 0},
        {"parlonda_hash_seconds_count", 3},
        {"parlonda_hash_seconds_bucket{le=\"+Inf\"}", 3},
        {"parlonda_answer_seconds_count", 8},
    };
    for (const auto &[name, value] : expected)
        QVERIFY2(sample(scrape, name) == value,
                 qPrintable(QString::fromLatin1(name) + u'\n' + QString::fromUtf8(scrape)));

    RawConnection raw("127.0.0.1", portOf(metrics));
    raw.send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    const QByteArray answer = raw.readAll(10000);
    QCOMPARE(answer.left(answer.indexOf("\r\n\r\n")).toLower().count("\ncontent-type:"), 1);
    QCOMPARE(httpHeader(answer, "Content-Type"), QByteArray("text/plain; version=0.0.4"));

    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start(QStringLiteral("promtool"),
                   {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(promtool.waitForStarted());
    promtool.write(scrape);
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished());
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    QVERIFY(service.stop());
    // Counted, not logged.
    QVERIFY2(!service.log().contains("/healthz") && !service.log().contains("/metrics - answered"),
             service.log().constData());
}

void TestOverload::fullSlots_waitingOnesGiveWay_data()
{
    QTest::addColumn<bool>("metricsPort");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QByteArray>("held");
    QTest::newRow("service, silent, --max-connections 3") << false << 3 << QByteArray();
    QTest::newRow("service, trickling, --max-connections 3") << false << 3 << QByteArray("GET /h");
    QTest::newRow("metrics, silent, 16") << true << 16 << QByteArray();
}

// Every slot held by connections that send no whole request and come again
// as soon as they are closed: each new client is answered all the same, the
// held ones making room, and none is closed by the HTTP library, which
// wedged for good when it had to refuse one.
void TestOverload::fullSlots_waitingOnesGiveWay()
{
    QFETCH(bool, metricsPort);
    QFETCH(int, limit);
    QFETCH(QByteArray, held);
    RegnickProcess service(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".db"),
                           {QStringLiteral("--max-connections"), QStringLiteral("3"),
                            QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0")});
    QVERIFY(service.start());
    const QString metrics = metricsUrl(service);
    const quint16 port = metricsPort ? portOf(metrics) : service.port();
    // A client with one connection, older than all the held ones: those of
    // the address holding many give way first.
    RawConnection older("127.0.0.4", port);
    const QByteArray request = "GET /h HTTP/1.1\r\nHost: x\r\n\r\n";
    QVERIFY(older.send(held));
    std::vector<std::unique_ptr<RawConnection>> holding(static_cast<std::size_t>(limit));
    for (int round = 0; round < 20; ++round) {
        for (auto &connection : holding) {
            if (!connection || connection->closedWithin(0)) {
                connection = std::make_unique<RawConnection>("127.0.0.2", port);
                QVERIFY(connection->send(held));
            }
        }
        RawConnection client("127.0.0.2", port);
        client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QCOMPARE(httpStatus(client.readAll(5000)), 404);
    }
    QVERIFY(older.send(request.mid(held.size())));
    QVERIFY(httpStatus(older.readAll(5000)) > 0);
    const QByteArray logged = " whose request was not in, to make room for new ones";
    QTRY_VERIFY(
        service.log().contains((metricsPort ? "metrics connections" : "connections") + logged));
    if (!metricsPort)
        QVERIFY(sample(get(metrics, "/metrics").body, "parlonda_connections_evicted_total") > 0);
    holding.clear();
    QVERIFY(service.stop());
}

QTEST_GUILESS_MAIN(TestOverload)
#include "overload_test.moc"
