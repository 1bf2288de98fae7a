#include "exchange/http_transfer.h"
#include "tests/support/forwarding_proxy.h"
#include "tests/support/refused_port.h"
#include "tests/support/test_http_server.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace std::chrono_literals;
using parlonda::HttpTransfer;
using parlonda::test::ForwardingProxy;
using parlonda::test::RefusedPort;
using parlonda::test::TestCa;
using parlonda::test::TestHttpServer;

namespace {

const QString kFormHeader = QStringLiteral("Content-Type: application/x-www-form-urlencoded");

// The states a request ends with, in the order they were reported.
QList<qint16> endStates(const QSignalSpy &spy)
{
    QList<qint16> ends;
    for (const QList<QVariant> &arguments : spy) {
        const auto state = arguments.at(0).value<qint16>();
        if (state == HttpTransfer::Error || state == HttpTransfer::ResponseCompleted)
            ends.append(state);
    }
    return ends;
}

// Proxy variables as a user's session sets them, for one test.
class ProxyEnvironment
{
public:
    explicit ProxyEnvironment(const QString &proxyUrl)
    {
        for (const char *name : kNames) {
            m_saved.append(qgetenv(name));
            if (QByteArrayView(name) == "no_proxy")
                qunsetenv(name);
            else
                qputenv(name, proxyUrl.toLatin1());
        }
    }
    ~ProxyEnvironment()
    {
        for (qsizetype i = 0; i < m_saved.size(); ++i)
            m_saved[i].isNull() ? qunsetenv(kNames[i]) : qputenv(kNames[i], m_saved[i]);
    }

private:
    static constexpr const char *kNames[] = {"http_proxy", "https_proxy", "no_proxy"};
    QByteArrayList m_saved;
};

std::string patternBody(qsizetype size)
{
    std::string body;
    for (qsizetype i = 0; i < size; ++i)
        body.push_back(static_cast<char>('a' + i % 26));
    return body;
}

} // namespace

class HttpTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void execute_serverGetsRequestAsGiven_data();
    void execute_serverGetsRequestAsGiven();
    void execute_reportsNothingBeforeReturning_data();
    void execute_reportsNothingBeforeReturning();
    void execute_whileExecuting_refused();

    void httpStatus_completesWithStatus_data();
    void httpStatus_completesWithStatus();
    void redirect_followedOnlyAsGet_data();
    void redirect_followedOnlyAsGet();
    void transportFailure_reportsError_data();
    void transportFailure_reportsError();

    void getChunk_continuesWhereLastStopped();
    void getChunk_decodesWindows1252();
    void hugeReply_keepsOnlyBoundedPrefix();

    void cancel_silencesRequest_data();
    void cancel_silencesRequest();
    void destroyMidRequest_releasesReply();
    void proxyEnvironment_carriesTheRequest_data();
    void proxyEnvironment_carriesTheRequest();

private:
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<TestHttpServer> m_server;
};

void HttpTransferTest::init()
{
    m_server = std::make_unique<TestHttpServer>();
    m_manager = std::make_unique<QNetworkAccessManager>();
}

void HttpTransferTest::cleanup()
{
    m_manager.reset();
    m_server.reset();
}

void HttpTransferTest::execute_serverGetsRequestAsGiven_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("headers");
    QTest::addColumn<QString>("expectedMethod");
    QTest::addColumn<QStringList>("expectedHeaders");

    const QByteArray form = "nick=ana&nombres=Ana Pe\xf1"
                            "a&email=a@b.c&tel=&ciudad=Lima"
                            "&pais=Per\xfa&paswd=x+y";
    QTest::newRow("registration form")
        << QStringLiteral("POST") << form << kFormHeader << QStringLiteral("POST")
        << QStringList{QStringLiteral("Content-Type"),
                       QStringLiteral("application/x-www-form-urlencoded")};
    QTest::newRow("several header lines")
        << QStringLiteral("POST") << QByteArray("a=1")
        << QStringLiteral("Content-Type: text/plain\r\nX-Cliente:  Parlonda \r\n")
        << QStringLiteral("POST")
        << QStringList{QStringLiteral("Content-Type"), QStringLiteral("text/plain"),
                       QStringLiteral("X-Cliente"), QStringLiteral("Parlonda")};
    QTest::newRow("get") << QStringLiteral("GET") << QByteArray() << QString()
                         << QStringLiteral("GET") << QStringList{};
    QTest::newRow("no operation is get")
        << QString() << QByteArray() << QString() << QStringLiteral("GET") << QStringList{};
    QTest::newRow("other verb") << QStringLiteral("PUT") << QByteArray("dato") << QString()
                                << QStringLiteral("PUT") << QStringList{};
}

void HttpTransferTest::execute_serverGetsRequestAsGiven()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, body);
    QFETCH(QString, headers);
    QFETCH(QString, expectedMethod);
    QFETCH(QStringList, expectedHeaders);

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(m_server->url(u"/cgi-bin/regnick.pl"), operation, body, headers));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});

    const auto requests = m_server->requests();
    QCOMPARE(requests.size(), 1u);
    const auto &request = requests.front();
    QCOMPARE(QString::fromStdString(request.method), expectedMethod);
    QCOMPARE(QString::fromStdString(request.target), QStringLiteral("/cgi-bin/regnick.pl"));
    QCOMPARE(QByteArray::fromStdString(request.body), body);
    for (qsizetype i = 0; i + 1 < expectedHeaders.size(); i += 2) {
        const std::string name = expectedHeaders.at(i).toStdString();
        QCOMPARE(request.headers.count(name), 1u);
        QCOMPARE(QString::fromStdString(request.headers.find(name)->second),
                 expectedHeaders.at(i + 1));
    }
}

void HttpTransferTest::execute_reportsNothingBeforeReturning_data()
{
    QTest::addColumn<bool>("serverListening");
    QTest::newRow("answered") << true;
    QTest::newRow("refused") << false;
}

void HttpTransferTest::execute_reportsNothingBeforeReturning()
{
    QFETCH(bool, serverListening);
    const RefusedPort refused;
    QUrl url = m_server->url(u"/cgi-bin/regnick.pl");
    if (!serverListening)
        url.setPort(refused.port());

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(url, QStringLiteral("POST"), "nick=ana", kFormHeader));
    QCOMPARE(spy.count(), 0);
    QVERIFY(transfer.StillExecuting());

    QTRY_COMPARE(endStates(spy).size(), 1);
    QVERIFY(!transfer.StillExecuting());
}

void HttpTransferTest::execute_whileExecuting_refused()
{
    m_server->hang();
    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    const QUrl url = m_server->url(u"/cgi-bin/regnick.pl");

    QVERIFY(transfer.Execute(url, QStringLiteral("POST"), "primero", kFormHeader));
    QTRY_COMPARE(m_server->requestCount(), 1);
    QVERIFY(!transfer.Execute(url, QStringLiteral("POST"), "segundo", kFormHeader));

    m_server->release();
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_server->requests().front().body, "primero");

    // Once the answer is in, the next request may start.
    QVERIFY(transfer.Execute(url, QStringLiteral("POST"), "tercero", kFormHeader));
    QTRY_COMPARE(endStates(spy).size(), 2);
}

void HttpTransferTest::httpStatus_completesWithStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("extraHeader");
    QTest::addColumn<QString>("body");

    QTest::newRow("200") << 200 << QString() << QStringLiteral("Registrado");
    QTest::newRow("204 without body") << 204 << QString() << QString();
    QTest::newRow("400") << 400 << QString() << QStringLiteral("Error");
    QTest::newRow("401 with challenge")
        << 401 << QStringLiteral("WWW-Authenticate: Basic realm=\"r\"") << QStringLiteral("No");
    QTest::newRow("404") << 404 << QString() << QStringLiteral("Error");
    QTest::newRow("500") << 500 << QString() << QStringLiteral("Fallo");
    QTest::newRow("503") << 503 << QString() << QStringLiteral("Ocupado");
}

void HttpTransferTest::httpStatus_completesWithStatus()
{
    QFETCH(int, status);
    QFETCH(QString, extraHeader);
    QFETCH(QString, body);

    m_server->setHandler([=](const httplib::Request &, httplib::Response &response) {
        response.status = status;
        if (!extraHeader.isEmpty()) {
            const QStringList parts = extraHeader.split(QStringLiteral(": "));
            response.set_header(parts.at(0).toStdString(), parts.at(1).toStdString());
        }
        if (!body.isEmpty())
            response.set_content(body.toStdString(), "text/plain");
    });

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(m_server->url(u"/cgi-bin/regnick.pl"), QStringLiteral("POST"),
                             "nick=a", kFormHeader));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});
    QCOMPARE(transfer.statusCode(), status);
    QCOMPARE(transfer.failure(), HttpTransfer::Failure::None);
    QCOMPARE(transfer.GetChunk(1024), body);
    QCOMPARE(m_server->requestCount(), 1);
}

void HttpTransferTest::redirect_followedOnlyAsGet_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("location");
    QTest::addColumn<int>("endStatus");
    QTest::addColumn<QString>("answer"); // of the page finally reached
    QTest::addColumn<int>("gets");       // requests after the POST, each a GET without a body

    const QString thanks = QStringLiteral("/gracias");
    for (int status : {301, 302, 303})
        QTest::addRow("%d", status) << status << thanks << 200 << QStringLiteral("Gracias") << 1;
    // These would post the form again.
    for (int status : {307, 308})
        QTest::addRow("%d not followed", status) << status << thanks << status << QString() << 0;
    QTest::newRow("five redirects")
        << 303 << QStringLiteral("/hop/4") << 200 << QStringLiteral("Gracias") << 5;
    QTest::newRow("a sixth not followed")
        << 303 << QStringLiteral("/hop/5") << 302 << QString() << 5;
}

void HttpTransferTest::redirect_followedOnlyAsGet()
{
    QFETCH(int, status);
    QFETCH(QString, location);
    QFETCH(int, endStatus);
    QFETCH(QString, answer);
    QFETCH(int, gets);
    m_server->redirectPosts(status, location.toStdString(), "Gracias");

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(m_server->url(u"/cgi-bin/regnick.pl"), QStringLiteral("POST"),
                             "nick=ana", kFormHeader));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});
    QCOMPARE(transfer.statusCode(), endStatus);
    // The page of a redirect not followed is not looked at.
    if (endStatus == 200)
        QCOMPARE(transfer.GetChunk(1024), answer);

    const auto requests = m_server->requests();
    QCOMPARE(requests.size(), std::size_t(1 + gets));
    QCOMPARE(requests.front().method, "POST");
    QCOMPARE(requests.front().body, "nick=ana");
    for (std::size_t i = 1; i < requests.size(); ++i) {
        QCOMPARE(requests[i].method, "GET");
        QCOMPARE(requests[i].body, "");
        QCOMPARE(requests[i].headers.count("Content-Length"), 0u);
    }
}

enum class Trouble { Refused, Hang, Trickle, DropMidBody, SlowRedirects };

void HttpTransferTest::transportFailure_reportsError_data()
{
    QTest::addColumn<Trouble>("trouble");
    QTest::addColumn<HttpTransfer::Failure>("expectedFailure");

    QTest::newRow("connection refused") << Trouble::Refused << HttpTransfer::Failure::Unreachable;
    QTest::newRow("server never answers") << Trouble::Hang << HttpTransfer::Failure::TimedOut;
    QTest::newRow("server trickles") << Trouble::Trickle << HttpTransfer::Failure::TimedOut;
    QTest::newRow("dropped mid-body") << Trouble::DropMidBody << HttpTransfer::Failure::Unreachable;
    QTest::newRow("redirects, each in time")
        << Trouble::SlowRedirects << HttpTransfer::Failure::TimedOut;
}

void HttpTransferTest::transportFailure_reportsError()
{
    QFETCH(Trouble, trouble);
    QFETCH(HttpTransfer::Failure, expectedFailure);

    const RefusedPort refused;
    QUrl url = m_server->url(u"/cgi-bin/regnick.pl");
    switch (trouble) {
    case Trouble::Refused:
        url.setPort(refused.port());
        break;
    case Trouble::Hang:
        m_server->hang();
        break;
    case Trouble::Trickle:
        // Never silent for long, so only a limit on the whole transfer ends it.
        m_server->setHandler([](const httplib::Request &, httplib::Response &response) {
            response.set_chunked_content_provider("text/plain",
                                                  [](size_t offset, httplib::DataSink &sink) {
                                                      std::this_thread::sleep_for(20ms);
                                                      if (offset < 500)
                                                          return sink.write("x", 1);
                                                      sink.done();
                                                      return true;
                                                  });
        });
        break;
    case Trouble::DropMidBody:
        m_server->dropMidBody();
        break;
    case Trouble::SlowRedirects:
        // Each answer well within the limit, the chain of them not.
        m_server->setHandler([](const httplib::Request &, httplib::Response &response) {
            std::this_thread::sleep_for(120ms);
            response.status = 303;
            response.set_header("Location", "/otra");
        });
        break;
    }

    HttpTransfer transfer(m_manager.get());
    transfer.setTimeout(300ms);
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(url, QStringLiteral("POST"), "nick=a", kFormHeader));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::Error});
    QCOMPARE(transfer.failure(), expectedFailure);
    QVERIFY(!transfer.errorString().isEmpty());
    QCOMPARE(transfer.statusCode(), 0);
    QVERIFY(!transfer.StillExecuting());
}

void HttpTransferTest::getChunk_continuesWhereLastStopped()
{
    const std::string body = patternBody(2000);
    m_server->replyWith(200, body);

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(m_server->url(u"/"), QStringLiteral("GET"), {}, {}));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});

    const QString expected = QString::fromStdString(body);
    QCOMPARE(transfer.GetChunk(0), QString());
    QCOMPARE(transfer.GetChunk(1024), expected.first(1024));
    QCOMPARE(transfer.GetChunk(1024), expected.sliced(1024));
    QCOMPARE(transfer.GetChunk(1024), QString());
}

void HttpTransferTest::getChunk_decodesWindows1252()
{
    m_server->replyWith(200, "\x80 caf\xe9 \x9f", "text/plain; charset=windows-1252");

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(m_server->url(u"/"), QStringLiteral("GET"), {}, {}));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});
    QCOMPARE(transfer.GetChunk(1024), QStringLiteral("€ café Ÿ"));
}

void HttpTransferTest::hugeReply_keepsOnlyBoundedPrefix()
{
    const std::string body = patternBody(16 * HttpTransfer::kMaxBodyBytes);
    m_server->replyWith(200, body);

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QVERIFY(transfer.Execute(m_server->url(u"/"), QStringLiteral("GET"), {}, {}));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});

    const QString kept = transfer.GetChunk(body.size());
    QCOMPARE(kept, QString::fromStdString(body.substr(0, HttpTransfer::kMaxBodyBytes)));
    QCOMPARE(transfer.GetChunk(body.size()), QString());
}

void HttpTransferTest::cancel_silencesRequest_data()
{
    // The state from whose notification the listener cancels; None: the
    // server holds the answer back and the test cancels while it waits.
    QTest::addColumn<qint16>("cancelOn");
    QTest::newRow("while the server holds the answer") << qint16(HttpTransfer::None);
    QTest::newRow("on request sent") << qint16(HttpTransfer::RequestSent);
    QTest::newRow("on answer received, completion pending")
        << qint16(HttpTransfer::ResponseReceived);
}

void HttpTransferTest::cancel_silencesRequest()
{
    QFETCH(qint16, cancelOn);

    HttpTransfer transfer(m_manager.get());
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    QMetaObject::Connection canceller;
    if (cancelOn == HttpTransfer::None) {
        m_server->hang();
        QVERIFY(transfer.Execute(m_server->url(u"/cgi-bin/regnick.pl"), QStringLiteral("POST"),
                                 "nick=a", kFormHeader));
        QTRY_COMPARE(m_server->requestCount(), 1);
        transfer.Cancel();
        spy.clear();
        m_server->release();
    } else {
        canceller = connect(&transfer, &HttpTransfer::StateChanged, &transfer,
                            [&transfer, cancelOn](qint16 state) {
                                if (state == cancelOn)
                                    transfer.Cancel();
                            });
        QVERIFY(transfer.Execute(m_server->url(u"/cgi-bin/regnick.pl"), QStringLiteral("POST"),
                                 "nick=a", kFormHeader));
        QTRY_VERIFY(!transfer.StillExecuting());
    }

    // The server has answered the cancelled request; a second request, sent
    // only now, completes later, so by then any late word about the first
    // would have arrived.
    HttpTransfer other(m_manager.get());
    QSignalSpy otherSpy(&other, &HttpTransfer::StateChanged);
    QVERIFY(other.Execute(m_server->url(u"/"), QStringLiteral("GET"), {}, {}));
    QTRY_COMPARE(endStates(otherSpy), QList<qint16>{HttpTransfer::ResponseCompleted});
    QVERIFY(endStates(spy).isEmpty());
    if (cancelOn != HttpTransfer::None)
        QCOMPARE(spy.last().at(0).value<qint16>(), cancelOn);
    QVERIFY(!transfer.StillExecuting());

    // A cancelled control takes the next request.
    disconnect(canceller);
    spy.clear();
    QVERIFY(transfer.Execute(m_server->url(u"/"), QStringLiteral("GET"), {}, {}));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});
}

void HttpTransferTest::destroyMidRequest_releasesReply()
{
    m_server->hang();
    auto transfer = std::make_unique<HttpTransfer>(m_manager.get());
    QVERIFY(transfer->Execute(m_server->url(u"/"), QStringLiteral("GET"), {}, {}));
    QTRY_COMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_manager->findChildren<QNetworkReply *>().size(), 1);

    transfer.reset();
    m_server->release();
    QTRY_VERIFY(m_manager->findChildren<QNetworkReply *>().isEmpty());
}

void HttpTransferTest::proxyEnvironment_carriesTheRequest_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("http") << false;
    QTest::newRow("https, through a tunnel") << true;
}

void HttpTransferTest::proxyEnvironment_carriesTheRequest()
{
    QFETCH(bool, tls);
    // A name only the proxy can resolve, so the request reaches the server
    // through it or not at all.
    const QString host = QStringLiteral("registro.parlonda.test");
    const TestCa ca;
    const auto server = tls ? std::make_unique<TestHttpServer>(ca.issue({host.toStdString()}))
                            : std::make_unique<TestHttpServer>();
    ForwardingProxy proxy(server->port());
    const ProxyEnvironment environment(proxy.url());

    HttpTransfer transfer(m_manager.get());
    transfer.setCaCertificates(
        QSslCertificate::fromData(QByteArray::fromStdString(ca.certificatePem())));
    QSignalSpy spy(&transfer, &HttpTransfer::StateChanged);
    const QString authority = QStringLiteral("%1:%2").arg(host).arg(server->port());
    const QUrl url(
        QStringLiteral("%1://%2/cgi-bin/regnick.pl").arg(tls ? u"https" : u"http", authority));
    QVERIFY(transfer.Execute(url, QStringLiteral("POST"), "nick=ana", kFormHeader));
    QTRY_COMPARE(endStates(spy), QList<qint16>{HttpTransfer::ResponseCompleted});
    QCOMPARE(transfer.statusCode(), 200);
    QCOMPARE(transfer.GetChunk(1024), QStringLiteral("OK"));

    QCOMPARE(server->requestCount(), 1);
    QCOMPARE(server->requests().front().body, "nick=ana");
    // Over https the proxy only carries the tunnel; the server read the request.
    QCOMPARE(proxy.requestLines(),
             QStringList{tls ? QStringLiteral("CONNECT %1 HTTP/1.1").arg(authority)
                             : QStringLiteral("POST %1 HTTP/1.1").arg(url.toString())});
}

QTEST_GUILESS_MAIN(HttpTransferTest)
#include "http_transfer_test.moc"
