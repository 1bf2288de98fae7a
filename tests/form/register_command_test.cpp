#include "form/messages.h"
#include "form/spanish_texts.h"
#include "form_driver.h"
#include "tests/support/refused_port.h"
#include "tests/support/test_files.h"
#include "tests/support/test_http_server.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTranslator>
#include <functional>

using namespace parlonda;
using namespace parlonda::test;
using namespace std::chrono_literals;

namespace {

// The profile of fillValid()'s registration, as bytes on disk.
const QByteArray kProfile = "nadia:Nadia P\xE9rez:nadia@example.org:555 0101:Quito:Ecuador:\r\n";

// A form shown and active with a valid registration typed in, and a reader
// for the messages it shows once pressed.
class FilledForm : public FormUnderTest
{
public:
    using FormUnderTest::FormUnderTest;
    bool ready(QStringView nick = u"nadia")
    {
        if (!shownAndActive())
            return false;
        fillValid(nick);
        return true;
    }

    MessageReader reader;
};

// Runs `action` from inside the form's wait, as soon as the server holds the
// request: the click that started the wait only returns once it is over.
void duringWait(FormUnderTest &f, const TestHttpServer &server, std::function<void()> action)
{
    auto *timer = new QTimer(&f.form());
    QObject::connect(timer, &QTimer::timeout, [&f, &server, timer, action = std::move(action)] {
        if (!f->isWaiting() || server.requestCount() == 0)
            return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start(5);
}

// Reads each request whole, then closes the connection without a word: no
// status line, as a service that dies mid-request does. Counts what it read.
class SilentServer : public QObject
{
public:
    SilentServer()
    {
        if (!m_server.listen(QHostAddress::LocalHost))
            qFatal("SilentServer: cannot listen on 127.0.0.1");
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        });
    }
    QString baseUrl() const { return u"http://127.0.0.1:%1"_qs.arg(m_server.serverPort()); }
    int requestsRead() const { return m_requests; }

private:
    void read(QTcpSocket *socket)
    {
        const QByteArray seen = socket->peek(socket->bytesAvailable());
        const qsizetype headEnd = seen.indexOf("\r\n\r\n");
        static const QRegularExpression length(u"(?i)\r\ncontent-length: *(\\d+)"_qs);
        const auto match = length.match(QString::fromLatin1(seen.left(headEnd)));
        if (headEnd < 0 || seen.size() < headEnd + 4 + match.captured(1).toLongLong())
            return;
        ++m_requests;
        socket->abort();
        socket->deleteLater();
    }

    QTcpServer m_server;
    int m_requests = 0;
};

// Warnings the program writes to stderr while it lives, passed on as usual.
class WarningLog
{
public:
    WarningLog() { s_current = this, m_previous = qInstallMessageHandler(&WarningLog::handle); }
    ~WarningLog() { qInstallMessageHandler(m_previous), s_current = nullptr; }
    QString text() const { return m_lines.join(u'\n'); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtWarningMsg)
            s_current->m_lines.append(message);
        s_current->m_previous(type, context, message);
    }
    static inline WarningLog *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

QList<QSslCertificate> certificates(const TestCa &ca)
{
    return QSslCertificate::fromData(QByteArray::fromStdString(ca.certificatePem()));
}

// What goes wrong between the form and the service.
enum class Trouble {
    Refused,
    NoAnswerInTime,
    DroppedMidBody,
    ClosedBeforeAnswer,
    UntrustedIssuer,
    OtherHostsCertificate,
    ExpiredCertificate,
    NoTls
};

} // namespace

class RegisterCommandTest : public QObject
{
    Q_OBJECT

    QTranslator m_spanish;
    std::unique_ptr<TestHttpServer> m_server;

    TestHttpServer &server() { return *m_server; }

private slots:
    void initTestCase() { QVERIFY(installSpanishTexts(m_spanish)); }
    void init() { m_server = std::make_unique<TestHttpServer>(); }
    void cleanup()
    {
        m_server.reset();
        QVERIFY(!QApplication::overrideCursor());
        QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    void registration_postsTheFormToTheScript()
    {
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        f.click(0);

        QCOMPARE(server().requestCount(), 1);
        const RecordedRequest request = server().requests().front();
        QCOMPARE(request.method, "POST");
        QCOMPARE(request.target, "/cgi-bin/regnick.pl");
        QCOMPARE(request.headers.find("Content-Type")->second, "application/x-www-form-urlencoded");
        QCOMPARE(request.body, "nick=nadia&nombres=Nadia+P%E9rez&email=nadia%40example.org"
                               "&tel=555+0101&ciudad=Quito&pais=Ecuador&paswd=secreto");
        QCOMPARE(f.reader.texts(), QStringList{messages::registered()});
    }

    void anyOtherReply_registers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("OK") << QByteArray("OK");
        QTest::newRow("lower case error") << QByteArray("error");
        QTest::newRow("Error and a line break") << QByteArray("Error\r\n");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("long page") << QByteArray("<html>").append(5000, 'x');
    }

    void anyOtherReply_registers()
    {
        QFETCH(QByteArray, body);
        server().replyWith(200, body.toStdString());
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        f.click(0);

        QCOMPARE(f.reader.texts(), QStringList{messages::registered()});
        QCOMPARE(f.reader.messages().first().pointer, Qt::WaitCursor);
        QCOMPARE(f.reader.messages().first().title, u"Parlonda"_qs);
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(fileBytes(f.profilePath()), kProfile);
        QVERIFY(!f->isVisible());
        QCOMPARE(f->exitStatus(), 0);
    }

    void replyError_saysTheNickIsTakenAndWritesNothing()
    {
        server().replyWith(200, "Error");
        FilledForm f(server().baseUrl());
        // The nick box takes "<" and ">": the message shows them as typed.
        QVERIFY(f.ready(u"<b>ocupado</b>"));
        f.click(0);

        QCOMPARE(f.reader.texts(), QStringList{messages::nickTaken(u"<b>ocupado</b>"_qs)});
        QVERIFY(!f.reader.messages().first().shownAsMarkup);
        QCOMPARE(f.reader.messages().first().pointer, Qt::WaitCursor);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(f->isVisible());
        QVERIFY(!f.profileExists());
        QCOMPARE(f->box(0)->text(), u"<b>ocupado</b>"_qs);
        QCOMPARE(f->box(6)->text(), u"secreto"_qs);
        QCOMPARE(f->reply(), u"Error"_qs);
        QCOMPARE(f->replyReady(), u"1"_qs);
    }

    void nickTaken_namesTheNickThatWasSent()
    {
        server().replyWith(200, "Error");
        server().hang();
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready(u"nadia"));
        duringWait(f, server(), [&] {
            f.type(0, u"2");
            server().release();
        });
        f.click(0);
        QCOMPARE(f.reader.texts(), QStringList{messages::nickTaken(u"nadia"_qs)});
        QCOMPARE(f->box(0)->text(), u"nadia2"_qs);
    }

    void nickTaken_thenAnotherNick_registers()
    {
        server().setHandler([](const httplib::Request &request, httplib::Response &response) {
            const bool taken = request.body.rfind("nick=nadia&", 0) == 0;
            response.set_content(taken ? "Error" : "OK", "text/plain");
        });
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready(u"nadia"));
        f.click(0);
        QCOMPARE(f.reader.texts().size(), 1);
        QVERIFY(f->isVisible());

        f.type(0, u"x");
        QString readyWhileWaiting;
        server().hang();
        duringWait(f, server(), [&] {
            readyWhileWaiting = f->replyReady();
            server().release();
        });
        f.click(0);
        QCOMPARE(server().requestCount(), 2);
        QVERIFY(server().requests().back().body.starts_with("nick=nadiax&"));
        QCOMPARE(readyWhileWaiting, u"0"_qs);
        QCOMPARE(f.reader.texts().last(), messages::registered());
        QVERIFY(fileBytes(f.profilePath()).startsWith("nadiax:"));
        QVERIFY(!f->isVisible());
    }

    void longReply_isCutAt1024Bytes()
    {
        server().replyWith(200, std::string(3000, 'r'));
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        f.click(0);
        QCOMPARE(f->reply(), QString(1024, u'r'));
    }

    void failedStatus_isNotARegistration_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const auto failed = &messages::serverStatus;
        QTest::newRow("404") << 404 << QByteArray("<h1>Not Found</h1>") << failed(404);
        QTest::newRow("500 saying Error") << 500 << QByteArray("Error") << failed(500);
        QTest::newRow("redirect, not followed") << 302 << QByteArray("moved") << failed(302);
        QTest::newRow("429 busy") << 429 << QByteArray("Error") << messages::serverBusy();
        QTest::newRow("503 busy, empty") << 503 << QByteArray() << messages::serverBusy();
    }

    void failedStatus_isNotARegistration()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        server().replyWith(status, body.toStdString());
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        f.click(0);

        QCOMPARE(f.reader.texts(), QStringList{message});
        QCOMPARE(f.reader.messages().first().pointer, Qt::WaitCursor);
        QCOMPARE(server().requestCount(), 1);
        QVERIFY(f->isVisible());
        QVERIFY(!f.profileExists());
    }

    void transferFailure_endsTheWait_data()
    {
        QTest::addColumn<Trouble>("trouble");
        QTest::addColumn<QString>("message");
        // How many requests the server may see: the form is sent at most once,
        // and never over a connection that could not be made secure.
        QTest::addColumn<int>("requestsSeen");
        QTest::newRow("connection refused") << Trouble::Refused << messages::unreachable() << 0;
        QTest::newRow("no answer in time") << Trouble::NoAnswerInTime << messages::timedOut() << 1;
        QTest::newRow("connection dropped mid-body")
            << Trouble::DroppedMidBody << messages::unreachable() << 1;
        QTest::newRow("closed before any answer, sent once")
            << Trouble::ClosedBeforeAnswer << messages::unreachable() << 1;
        QTest::newRow("https: issuer not trusted")
            << Trouble::UntrustedIssuer << messages::insecure() << 0;
        QTest::newRow("https: certificate for another host")
            << Trouble::OtherHostsCertificate << messages::insecure() << 0;
        QTest::newRow("https: expired certificate")
            << Trouble::ExpiredCertificate << messages::insecure() << 0;
        QTest::newRow("https: no TLS on the other side")
            << Trouble::NoTls << messages::insecure() << 0;
    }

    void transferFailure_endsTheWait()
    {
        QFETCH(Trouble, trouble);
        QFETCH(QString, message);
        QFETCH(int, requestsSeen);

        // The form trusts this CA; the certificates are its, unless told.
        const TestCa trusted;
        const TestCa stranger("Stranger CA");
        const std::vector<std::string> here = {"127.0.0.1"};
        const RefusedPort refused;
        SilentServer silent;
        std::unique_ptr<TestHttpServer> tls;
        QString url = server().baseUrl();
        const auto requests = [&] {
            if (tls)
                return tls->requestCount();
            return url == silent.baseUrl() ? silent.requestsRead() : server().requestCount();
        };
        switch (trouble) {
        case Trouble::Refused:
            url = refused.baseUrl();
            break;
        case Trouble::NoAnswerInTime:
            server().hang();
            break;
        case Trouble::DroppedMidBody:
            server().dropMidBody();
            break;
        case Trouble::ClosedBeforeAnswer:
            url = silent.baseUrl();
            break;
        case Trouble::UntrustedIssuer:
            tls = std::make_unique<TestHttpServer>(stranger.issue(here));
            break;
        case Trouble::OtherHostsCertificate:
            tls = std::make_unique<TestHttpServer>(trusted.issue({"registro.example.net"}));
            break;
        case Trouble::ExpiredCertificate:
            tls = std::make_unique<TestHttpServer>(trusted.issue(here, -48h, -24h));
            break;
        case Trouble::NoTls:
            url.replace(u"http://"_qs, u"https://"_qs);
            break;
        }
        if (tls)
            url = tls->baseUrl();

        FilledForm f(url, 300ms, certificates(trusted));
        QVERIFY(f.ready());
        WarningLog warnings;
        f.click(0);

        QCOMPARE(f.reader.texts(), QStringList{message});
        QCOMPARE(f.reader.messages().first().pointer, Qt::WaitCursor);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(f->isVisible());
        QVERIFY(!f->isWaiting());
        QVERIFY(!f.profileExists());
        QCOMPARE(f->box(0)->text(), u"nadia"_qs);
        QCOMPARE(f->box(6)->text(), u"secreto"_qs);
        QCOMPARE(requests(), requestsSeen);
        // Qt's reason is on stderr for the user's report; the form's texts are not.
        QVERIFY2(warnings.text().contains(u"The registration request failed: "_qs),
                 qPrintable(warnings.text()));
        QVERIFY(!warnings.text().contains(u"secreto"_qs));
    }

    void secondPress_whileWaiting_sendsNothing()
    {
        server().hang();
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        duringWait(f, server(), [&] {
            f.click(0);
            // Alt+R presses the button after a short animation.
            QSignalSpy pressed(f->button(0), &QPushButton::clicked);
            QTest::keyClick(&f.form(), Qt::Key_R, Qt::AltModifier);
            QTRY_COMPARE(pressed.count(), 1);
            server().release();
        });
        f.click(0);
        QCOMPARE(server().requestCount(), 1);
        QCOMPARE(f.reader.texts(), QStringList{messages::registered()});
    }

    void windowStaysAlive_whileWaiting()
    {
        server().hang();
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        QString typedWhileWaiting;
        Qt::CursorShape pointerWhileWaiting = Qt::ArrowCursor;
        duringWait(f, server(), [&] {
            pointerWhileWaiting = QApplication::overrideCursor()->shape();
            // The user leaves the e-mail box half-typed when the answer comes:
            // the message box must not wipe it.
            f->box(2)->clear();
            f.type(2, u"sin-arroba");
            typedWhileWaiting = f->box(2)->text();
            server().release();
        });
        f.click(0);
        QCOMPARE(pointerWhileWaiting, Qt::WaitCursor);
        QCOMPARE(typedWhileWaiting, u"sin-arroba"_qs);
        QCOMPARE(f.reader.texts(), QStringList{messages::registered()});
        // What was registered is what the profile records.
        QCOMPARE(fileBytes(f.profilePath()), kProfile);
    }

    void cancel_whileWaiting_abandonsTheRequest_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("Cancelar") << false;
        QTest::newRow("close box") << true;
    }

    void cancel_whileWaiting_abandonsTheRequest()
    {
        QFETCH(bool, closeBox);
        server().hang();
        FilledForm f(server().baseUrl());
        QVERIFY(f.ready());
        duringWait(f, server(), [&] {
            if (closeBox)
                f->close();
            else
                f.click(1);
        });
        f.click(0);
        QVERIFY(!f->isVisible());
        QVERIFY(!f->isWaiting());
        QVERIFY(f.reader.messages().isEmpty());
        QVERIFY(!f.profileExists());
        QCOMPARE(f->exitStatus(), 0);
        QVERIFY(!QApplication::overrideCursor());
    }
};

QTEST_MAIN(RegisterCommandTest)
#include "register_command_test.moc"
