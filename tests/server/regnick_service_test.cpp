// The registration service as the client meets it: the real process, over
// HTTP on 127.0.0.1. The form's own rules are read by the sign-up library
// directly, without a process.
#include "server/signup/registration_form.h"
#include "tests/server/notify_socket.h"
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"
#include "tests/server/tls_connection.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_files.h"

#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <future>
#include <httplib.h>
#include <memory>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace parlonda::test;

namespace {

const QByteArray kPath = kRegnickPath;
constexpr qsizetype kMaxBody = 16 * 1024;

QByteArray formWithout(const QByteArray &nick, const QByteArray &key)
{
    Fields fields = clientFields(nick);
    fields.removeIf([&](const auto &field) { return field.first == key; });
    return join(fields);
}

// A form of exactly `size` bytes, padded in the names.
QByteArray formOfSize(const QByteArray &nick, qsizetype size)
{
    const qsizetype bare = formWith(nick, "nombres", "").size();
    return formWith(nick, "nombres", QByteArray(size - bare, 'a'));
}

// A listening socket on a free port of `address`, as systemd's socket unit
// would make it; -1 on failure.
int listeningSocket(const char *address, quint16 &port)
{
    sockaddr_storage storage{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    socklen_t length = sizeof *v4;
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else {
        inet_pton(AF_INET6, address, &v6->sin6_addr);
        v6->sin6_family = AF_INET6;
        length = sizeof *v6;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return fd;
}

QString url(const char *address, quint16 port)
{
    const QString host = QString::fromLatin1(address);
    return QStringLiteral("http://%1:%2")
        .arg(host.contains(u':') ? u'[' + host + u']' : host)
        .arg(port);
}

// --tls-cert and --tls-key for `pem`, written to files in `dir` named after `name`.
QStringList tlsArguments(const QTemporaryDir &dir, const QString &name,
                         const parlonda::test::Pem &pem)
{
    const QString certificate = dir.filePath(name + QStringLiteral("-cert.pem"));
    const QString key = dir.filePath(name + QStringLiteral("-key.pem"));
    parlonda::test::writeFile(certificate, pem.certificate);
    parlonda::test::writeFile(key, pem.privateKey);
    return {QStringLiteral("--tls-cert"), certificate, QStringLiteral("--tls-key"), key};
}

} // namespace

class TestRegnickService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void request_answersAndLogsOneLine_data();
    void request_answersAndLogsOneLine();
    void formReading_findsTheProblemOrTheNickRule_data();
    void formReading_findsTheProblemOrTheNickRule();
    void chunkedBodyOver16KiB_isTooLarge();
    void stopSignal_exitsWithStatusZero_data();
    void stopSignal_exitsWithStatusZero();
    void restart_rightAfterTraffic_takesThePortAgain();
    void restartOnOneSocket_answersEverySignUpTakenIn();
    void listen_everyAddressServes_data();
    void listen_everyAddressServes();
    void underSystemd_servesItsSocketsAndTellsItsState();
    void sighup_reopensLogAndReloadsCertificate();
    void sighup_appliesTheConfigFileWholeOrNotAtAll();
    void tls_onlyVersions12And13WithAeadCiphers_data();
    void tls_onlyVersions12And13WithAeadCiphers();
    void stalledLogReader_holdsUpNoAnswer();
    void logrotate_shippedFile_losesNoLine();
    void refusalBurst_countWrittenWhenItEnds();
    void signUpsFromOneAddress_overTheRate_get429();
    void hostileConnections_neitherStarveSignUpsNorOutliveTheirLimits();
    void requestTimeout_countsFromAccept();
    void silentConnectionsAtTheLimit_goAtTheIdleTimeout();
    void descriptorLimit_belowTheBudgetRefused_atItConnectionsShedCleanly();
    void reservedNicksFile_replacesTheBuiltInList();
    void help_mentionsEveryOption();
    void badCommandLine_exitsWithError_data();
    void badCommandLine_exitsWithError();

private:
    QString readOnlyDatabase();

    QTemporaryDir m_dir;
    std::unique_ptr<RegnickProcess> m_service;
    int m_busySocket = -1; // a port this test holds
};

void TestRegnickService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service =
        std::make_unique<RegnickProcess>(m_dir.filePath(QStringLiteral("accounts.db")), kRelaxed);
    QVERIFY(m_service->start());
    QVERIFY2(m_service->baseUrl().startsWith(QStringLiteral("http://127.0.0.1:")),
             qPrintable(m_service->baseUrl()));
}

void TestRegnickService::cleanupTestCase()
{
    ::close(m_busySocket);
    QVERIFY(m_service->stop());
}

void TestRegnickService::request_answersAndLogsOneLine_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply"); // whole reply for 200, a part of it otherwise
    QTest::addColumn<QByteArray>("outcome");

    const QByteArray post = "POST";
    const QByteArray type = kFormType;

    QTest::newRow("newNick") << post << kPath << type << form("ana") << 200 << QByteArray("OK")
                             << QByteArray("registered");
    QTest::newRow("emptyPhone") << post << kPath << type << formWith("beto", "tel", "") << 200
                                << QByteArray("OK") << QByteArray("registered");
    QTest::newRow("colonInPassword") << post << kPath << type << formWith("caro", "paswd", "a%3Ab")
                                     << 200 << QByteArray("OK") << QByteArray("registered");
    QTest::newRow("charsetParameter")
        << post << kPath << QByteArray("Application/X-WWW-Form-Urlencoded; charset=windows-1252")
        << form("dani") << 200 << QByteArray("OK") << QByteArray("registered");
    // Decoded as UTF-8 only when the client says so: "José" either way.
    QTest::newRow("charsetUtf8") << post << kPath << QByteArray(kFormType + "; Charset=\"UTF-8\"")
                                 << QByteArray("nick=Jos%C3%A9&nombres=Jos%C3%A9&email=j%40x&"
                                               "tel=&ciudad=Le%C3%B3n&pais=M%C3%A9xico&paswd=x")
                                 << 200 << QByteArray("OK") << QByteArray("registered");
    QTest::newRow("charsetLatin2")
        << post << kPath << QByteArray(kFormType + ";charset=iso-8859-2") << form("lech") << 415
        << QByteArray("charset=utf-8") << QByteArray("wrong-type");
    QTest::newRow("charsetUtf8NotUtf8")
        << post << kPath << QByteArray(kFormType + "; charset=utf-8") << form("Jos%E9") << 400
        << QByteArray("not UTF-8 in field: nick") << QByteArray("rejected");
    QTest::newRow("keysInOtherOrder")
        << post << kPath << type
        << QByteArray("paswd=x&pais=Chile&ciudad=Arica&tel=&email=e%40x&nombres=Eva&nick=eva")
        << 200 << QByteArray("OK") << QByteArray("registered");
    QTest::newRow("fieldsOf255") << post << kPath << type
                                 << formWith("fede", "email", QByteArray(253, 'e') + "%40x") << 200
                                 << QByteArray("OK") << QByteArray("registered");
    QTest::newRow("nickOf32") << post << kPath << type << form(QByteArray(32, 'n')) << 200
                              << QByteArray("OK") << QByteArray("registered");

    QTest::newRow("otherScript") << post << QByteArray("/cgi-bin/otro.pl") << type << form("gus")
                                 << 404 << QByteArray() << QByteArray("not-found");
    QTest::newRow("root") << QByteArray("GET") << QByteArray("/") << QByteArray() << QByteArray()
                          << 404 << QByteArray() << QByteArray("not-found");
    for (const char *method : {"GET", "PUT", "DELETE", "OPTIONS"}) {
        QTest::addRow("%s", method) << QByteArray(method) << kPath << type << QByteArray() << 405
                                    << QByteArray() << QByteArray("wrong-method");
    }

    QTest::newRow("bodyOver16KiB") << post << kPath << type << formOfSize("hugo", kMaxBody + 1)
                                   << 413 << QByteArray() << QByteArray("too-large");

    QTest::newRow("textPlain") << post << kPath << QByteArray("text/plain") << form("ines") << 415
                               << QByteArray() << QByteArray("wrong-type");
    QTest::newRow("multipart") << post << kPath << QByteArray("multipart/form-data; boundary=x")
                               << form("ines") << 415 << QByteArray() << QByteArray("wrong-type");
    QTest::newRow("noContentType") << post << kPath << QByteArray() << QByteArray() << 415
                                   << QByteArray() << QByteArray("wrong-type");

    // A form it refuses gets its reason, and a nick the rules refuse gets
    // "Error", like a taken nick, so that the dialog asks for another one;
    // the log says which rule. A body of 16 KiB is read whole, though no
    // field may be that long.
    QTest::newRow("bodyOf16KiB") << post << kPath << type << formOfSize("fede", kMaxBody) << 400
                                 << QByteArray("over 255 characters: nombres")
                                 << QByteArray("rejected");
    QTest::newRow("emailWithoutAt")
        << post << kPath << type << formWith("gil", "email", "gil") << 400
        << QByteArray("no \"@\" in field: email") << QByteArray("rejected");
    QTest::newRow("softHyphen") << post << kPath << type << form("an%ADa") << 200
                                << QByteArray("Error") << QByteArray("refused:invisible-character");
    QTest::newRow("noBreakSpace") << post << kPath << type << form("ana%A0") << 200
                                  << QByteArray("Error") << QByteArray("refused:whitespace");
    QTest::newRow("lineFeed") << post << kPath << type << form("ju%0Ali") << 200
                              << QByteArray("Error") << QByteArray("refused:whitespace");
    // The built-in reserved nicks, folded like taken ones.
    for (const char *nick : {"Admin", "SOPORTE"}) {
        QTest::addRow("reserved %s", nick) << post << kPath << type << form(nick) << 200
                                           << QByteArray("Error") << QByteArray("refused:reserved");
    }
}

void TestRegnickService::formReading_findsTheProblemOrTheNickRule_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("problem"); // a part of the reason given to the client
    QTest::addColumn<QByteArray>("rule");    // the nick rule's name in the log

    const auto rejected = [&](const char *tag, const QByteArray &body, const char *reason) {
        QTest::newRow(tag) << body << QByteArray(reason) << QByteArray("none");
    };
    rejected("emailOf256", formWith("juli", "email", QByteArray(254, 'e') + "%40x"),
             "over 255 characters: email");
    rejected("passwordOf256", formWith("juli", "paswd", QByteArray(256, 'p')),
             "over 255 characters: paswd");
    rejected("emptyBody", QByteArray(), "missing field: nick");
    rejected("missingPhone", formWithout("juli", "tel"), "missing field: tel");
    rejected("missingPassword", formWithout("juli", "paswd"), "missing field: paswd");
    rejected("nickTwice", form("juli") + "&nick=otro", "given twice: nick");
    rejected("unknownKey", form("juli") + "&edad=30", "unknown field");
    rejected("pairWithoutEquals", formWith("juli", "nombres", "Juan") + "&Ana", "malformed");
    rejected("brokenEscape", formWith("juli", "ciudad", "%G1"), "escape in field: ciudad");
    rejected("cutEscape", formWith("juli", "paswd", "abc%4"), "escape in field: paswd");
    rejected("nulInNames", formWith("juli", "nombres", "a%00b"),
             "control character in field: nombres");
    rejected("delInEmail", formWith("juli", "email", "a%7F%40b"),
             "control character in field: email");
    rejected("undefinedByteInCity", formWith("juli", "ciudad", "Quito%81"),
             "control character in field: ciudad");
    rejected("tabInPassword", formWith("juli", "paswd", "a%09b"),
             "control character in field: paswd");
    rejected("colonInPhone", formWith("juli", "tel", "555%3A1"), "\":\" in field: tel");
    rejected("colonInCountry", formWith("juli", "pais", "Per%FA%3A"), "\":\" in field: pais");
    rejected("emptyNames", formWith("juli", "nombres", ""), "empty field: nombres");
    rejected("emptyEmail", formWith("juli", "email", ""), "empty field: email");
    rejected("emptyCity", formWith("juli", "ciudad", ""), "empty field: ciudad");
    rejected("emptyCountry", formWith("juli", "pais", ""), "empty field: pais");
    rejected("emptyPassword", formWith("juli", "paswd", ""), "empty field: paswd");
    rejected("emailWithoutAt", formWith("juli", "email", "juli.example.org"),
             "no \"@\" in field: email");

    // The nick rules, for a form that is otherwise well formed.
    const auto refused = [&](const char *tag, const QByteArray &nick, const char *rule) {
        QTest::newRow(tag) << form(nick) << QByteArray() << QByteArray(rule);
    };
    refused("softHyphen", "an%ADa", "invisible-character");
    refused("noBreakSpace", "ana%A0", "whitespace");
    refused("trailingSpace", "Ana+", "whitespace");
    refused("onlySpaces", "+++", "whitespace");
    refused("tab", "a%09na", "whitespace");
    refused("lineFeed", "ju%0Ali", "whitespace");
    refused("delete", "ju%7Fli", "control-character");
    refused("undefinedByte", "ju%81li", "control-character");
    refused("colon", "ju:li", "colon");
    refused("empty", "", "empty");
    refused("nickOf33", QByteArray(33, 'n'), "too-long");
    refused("nickOf15000", QByteArray(15000, 'n'), "too-long");
}

void TestRegnickService::request_answersAndLogsOneLine()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, outcome);

    const qsizetype linesBefore = m_service->log().count('\n');
    const Answer answer = send(m_service->baseUrl(), method, path, contentType, body);

    QCOMPARE(answer.status, status);
    if (status == 200)
        QCOMPARE(answer.body, reply);
    else
        QVERIFY2(answer.body.contains(reply) && answer.body != "Error", answer.body.constData());
    if (status == 405)
        QCOMPARE(answer.allow, QByteArray("POST"));

    // Also when the client smuggles a line feed into the nick.
    QTRY_COMPARE(m_service->log().count('\n'), linesBefore + 1);
    const QByteArray line = lastLine(m_service->log());
    // A form refused says why, in the service's words.
    const QByteArray logged = ' ' + outcome + ' ' + QByteArray::number(status);
    QVERIFY2(status == 400 ? line.contains(logged + " (") && line.endsWith(reply + ')')
                           : line.endsWith(logged) || line.contains(logged + " ("),
             line.constData());
    if (QByteArray(QTest::currentDataTag()) == "charsetUtf8")
        QVERIFY2(line.contains(R"("José")"), line.constData());
    // Every nick reads as what was sent: "an\u00ADa", never "ana".
    if (QByteArray(QTest::currentDataTag()) == "softHyphen")
        QVERIFY2(line.contains(R"("an\u00ADa")"), line.constData());
    if (QByteArray(QTest::currentDataTag()) == "noBreakSpace")
        QVERIFY2(line.contains(R"("ana\u00A0")"), line.constData());
}

void TestRegnickService::formReading_findsTheProblemOrTheNickRule()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, problem);
    QFETCH(QByteArray, rule);

    const parlonda::RegistrationForm read = parlonda::readRegistrationForm(body.toStdString());
    QVERIFY(!read.registration);
    if (problem.isEmpty())
        QVERIFY2(read.problem.empty(), read.problem.c_str());
    else
        QVERIFY2(QByteArray::fromStdString(read.problem).contains(problem), read.problem.c_str());
    const std::string_view name = parlonda::nickProblemName(read.nickProblem);
    QCOMPARE(QByteArray(name.data(), static_cast<qsizetype>(name.size())), rule);
}

void TestRegnickService::chunkedBodyOver16KiB_isTooLarge()
{
    // A chunked body announces no length, so only the service can stop it.
    const std::string body = formOfSize("kike", kMaxBody + 1024).toStdString();
    httplib::Client client(m_service->baseUrl().toStdString());
    const httplib::Result result = client.Post(
        kPath.toStdString(),
        [&](size_t offset, httplib::DataSink &sink) {
            sink.write(body.data() + offset, std::min<size_t>(1000, body.size() - offset));
            if (offset + 1000 >= body.size())
                sink.done();
            return true;
        },
        kFormType.toStdString());

    QVERIFY2(result, httplib::to_string(result.error()).c_str());
    QCOMPARE(result->status, 413);
}

void TestRegnickService::stopSignal_exitsWithStatusZero_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestRegnickService::stopSignal_exitsWithStatusZero()
{
    QFETCH(int, signal);
    // Right after the ready line, before the accept loop may have started.
    RegnickProcess early(m_dir.filePath(QStringLiteral("early.db")));
    QVERIFY(early.start());
    QVERIFY(early.stop(signal));

    RegnickProcess served(m_dir.filePath(QStringLiteral("served.db")));
    QVERIFY(served.start());
    QCOMPARE(send(served.baseUrl(), "GET", "/", QByteArray(), QByteArray()).status, 404);
    QVERIFY(served.stop(signal));
}

void TestRegnickService::restart_rightAfterTraffic_takesThePortAgain()
{
    const QString db = m_dir.filePath(QStringLiteral("restart.db"));
    RegnickProcess first(db);
    QVERIFY(first.start());
    const quint16 port = first.port();
    // The service closes each connection first, which leaves its side in
    // TIME_WAIT for a minute.
    for (int i = 0; i < 3; ++i) {
        RawConnection client("127.0.0.2", port);
        client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QCOMPARE(httpStatus(client.readAll(5000)), 404);
    }
    QVERIFY(first.stop());

    RegnickProcess again(db, {QStringLiteral("--port"), QString::number(port)});
    QVERIFY2(again.start(), again.errors().constData());
    QCOMPARE(again.port(), port);
    QVERIFY(again.stop());
}

// As systemd restarts a service: SIGTERM while one worker has a queue of
// sign-ups, more coming on its socket, then a new process on that socket.
void TestRegnickService::restartOnOneSocket_answersEverySignUpTakenIn()
{
    quint16 port = 0;
    const int socket = listeningSocket("127.0.0.1", port);
    QVERIFY(socket >= 0);
    const auto closeSocket = qScopeGuard([&] { ::close(socket); });
    const QString db = m_dir.filePath(QStringLiteral("restart-one-socket.db"));
    const QStringList arguments = kRelaxed + QStringList{QStringLiteral("--hash-workers=1")};
    RegnickProcess first(db, arguments);
    first.passSockets({socket});
    QVERIFY(first.start());
    std::vector<std::future<Answer>> answers;
    const auto signUps = [&] {
        for (int i = 0; i < 6; ++i)
            answers.push_back(std::async(std::launch::async, [&, n = answers.size()] {
                return post(url("127.0.0.1", port), form("reinicio" + QByteArray::number(n)));
            }));
    };
    signUps();
    QTRY_VERIFY_WITH_TIMEOUT(first.log().contains(" registered 200"), 10000);
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    QTRY_VERIFY(first.log().contains("stopping on SIGTERM"));
    signUps(); // these wait on the socket for the next process
    QVERIFY(first.stop());
    RegnickProcess second(db, arguments);
    second.passSockets({socket});
    QVERIFY(second.start());
    for (std::future<Answer> &answer : answers)
        QCOMPARE(answer.get().body, QByteArray("OK"));
    QVERIFY(second.stop());
}

void TestRegnickService::listen_everyAddressServes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("dualStack") << QStringList{QStringLiteral("--listen"), QStringLiteral("::"),
                                              QStringLiteral("--allow-plain-http")};
    QTest::newRow("twoAddresses") << QStringList{QStringLiteral("--listen"),
                                                 QStringLiteral("127.0.0.1"),
                                                 QStringLiteral("--listen"), QStringLiteral("::1")};
}

void TestRegnickService::listen_everyAddressServes()
{
    QFETCH(QStringList, arguments);
    RegnickProcess service(m_dir.filePath(QStringLiteral("listen.db")), arguments);
    QVERIFY(service.start());
    for (const char *client : {"127.0.0.1", "::1"}) {
        QCOMPARE(send(url(client, service.port()), "GET", "/", {}, {}).status, 404);
        // An IPv4 client is known by its IPv4 address, never as ::ffff:127.0.0.1.
        QTRY_VERIFY(lastLine(service.log()).contains(QByteArray(" ") + client + " GET / "));
    }
    QVERIFY(service.stop());
}

void TestRegnickService::underSystemd_servesItsSocketsAndTellsItsState()
{
    // Its sockets as a socket unit passes them: one IPv4, one IPv6.
    quint16 port4 = 0;
    quint16 port6 = 0;
    const int socket4 = listeningSocket("127.0.0.1", port4);
    const int socket6 = listeningSocket("::1", port6);
    QVERIFY(socket4 >= 0 && socket6 >= 0);
    const auto closeSockets = qScopeGuard([&] {
        ::close(socket4);
        ::close(socket6);
    });
    NotifySocket notify(m_dir.filePath(QStringLiteral("notify")));
    QVERIFY(notify.bound());
    // Its log stands for the journal's stream.
    const QString db = m_dir.filePath(QStringLiteral("systemd.db"));
    QVERIFY(parlonda::test::writeFile(db + QStringLiteral(".log"), {}));
    struct stat status
    {
    };
    QCOMPARE(::stat(QFile::encodeName(db + QStringLiteral(".log")).constData(), &status), 0);

    // On a port already taken: it must bind nothing itself.
    RegnickProcess service(db, {QStringLiteral("--port"), QString::number(m_service->port())});
    service.setEnvironment(
        {notify.environment(),
         QStringLiteral("JOURNAL_STREAM=%1:%2").arg(status.st_dev).arg(status.st_ino)});
    service.passSockets({socket4, socket6});
    QVERIFY2(service.start(), service.errors().constData());
    QVERIFY(notify.waitFor("READY=1", 5000));
    QCOMPARE(send(url("127.0.0.1", port4), "GET", "/", {}, {}).status, 404);
    QCOMPARE(send(url("::1", port6), "GET", "/", {}, {}).status, 404);

    // journald's priorities: <5> notices, <6> requests.
    QTRY_VERIFY(lastLine(service.log()).startsWith("<6>"));
    QVERIFY2(service.log().startsWith("<5>"), service.log().constData());
    QVERIFY(service.stop());
    QVERIFY(notify.waitFor("STOPPING=1", 5000));

    // A refusal to start, on standard error, is an error (<3>) there.
    QProcess refused;
    refused.setStandardErrorFile(db + QStringLiteral(".log"), QIODevice::Append);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("JOURNAL_STREAM"),
                       QStringLiteral("%1:%2").arg(status.st_dev).arg(status.st_ino));
    refused.setProcessEnvironment(environment);
    refused.start(RegnickProcess::program(), {QStringLiteral("--tls-cert=/no/such/c.pem"),
                                              QStringLiteral("--tls-key=/no/such/k.pem")});
    QVERIFY(refused.waitForFinished());
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY2(lastLine(service.log()).startsWith("<3>parlonda-regnick: cannot read the TLS"),
             service.log().constData());
}

void TestRegnickService::sighup_reopensLogAndReloadsCertificate()
{
    const parlonda::test::TestCa ca;
    const parlonda::test::Pem first = ca.issue({"127.0.0.1"});
    const parlonda::test::Pem second = ca.issue({"127.0.0.1"});
    const parlonda::test::Pem other = ca.issue({"127.0.0.1"});
    const QStringList tls = tlsArguments(m_dir, QStringLiteral("reload"), first);
    const QString certificate = tls[1];
    const QString key = tls[3];
    RegnickProcess service(m_dir.filePath(QStringLiteral("reload.db")), tls);
    QVERIFY(service.start());
    const auto hangUp = [&] { ::kill(static_cast<pid_t>(service.processId()), SIGHUP); };

    // A connection open across the reloads, half its request sent.
    TlsConnection open(service.port());
    QVERIFY(open.presented(first.certificate));
    QVERIFY(open.send("GET / HTTP/1.1\r\n"));

    // As logrotate does: the log moved away, then SIGHUP; with a renewed certificate.
    QVERIFY(QFile::rename(service.logPath(), service.logPath() + QStringLiteral(".1")));
    QVERIFY(parlonda::test::writeFile(certificate, second.certificate));
    QVERIFY(parlonda::test::writeFile(key, second.privateKey));
    hangUp();
    QTRY_VERIFY(service.log().contains("reloaded the TLS certificate"));
    QVERIFY(TlsConnection(service.port()).presented(second.certificate));

    // A key that is not the certificate's: the last good pair stays.
    QVERIFY(parlonda::test::writeFile(key, other.privateKey));
    hangUp();
    QTRY_VERIFY(service.log().contains("not reloaded, every setting stays as it was"));
    QVERIFY2(service.log().contains("do not match"), service.log().constData());
    QVERIFY(TlsConnection(service.port()).presented(second.certificate));

    QVERIFY(open.send("Host: x\r\n\r\n"));
    QCOMPARE(httpStatus(open.readAll()), 404);

    // Plain HTTP on the TLS port, as a balancer's plain health check sends it.
    RawConnection plain("127.0.0.7", service.port());
    QVERIFY(plain.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
    QVERIFY(plain.closedWithin(5000));
    QTRY_VERIFY(service.log().contains(
        "notice: TLS handshake failed from 127.0.0.7: An unexpected TLS packet was received."));
    QVERIFY(service.stop());
}

void TestRegnickService::sighup_appliesTheConfigFileWholeOrNotAtAll()
{
    const QString config = m_dir.filePath(QStringLiteral("reload.conf"));
    const QString nicks = m_dir.filePath(QStringLiteral("reload-nicks.txt"));
    QVERIFY(parlonda::test::writeFile(nicks, "juana\n"));
    QVERIFY(parlonda::test::writeFile(config, "rate 0\n"));
    RegnickProcess service(m_dir.filePath(QStringLiteral("reload-config.db")),
                           {QStringLiteral("--config"), config});
    QVERIFY(service.start());
    const auto reload = [&](const std::string &text, const char *logged) {
        QVERIFY(parlonda::test::writeFile(config, text));
        ::kill(static_cast<pid_t>(service.processId()), SIGHUP);
        QTRY_VERIFY2(service.log().contains(logged), service.log().constData());
    };
    // A new list and a new balancer apply at once; a new connection limit
    // waits for a restart.
    reload("rate 0\nreserved-nicks " + nicks.toStdString() +
               "\nmax-connections 5\ntrusted-proxy 127.0.0.0/8\n",
           "warning: max-connections changed, which takes a restart");
    QCOMPARE(post(service.baseUrl(), form("juana")).body, QByteArray("Error"));
    RawConnection proxied("127.0.0.1", service.port());
    proxied.send("GET / HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: 192.0.2.9\r\n\r\n");
    QCOMPARE(httpStatus(proxied.readAll(5000)), 404);
    QTRY_VERIFY(lastLine(service.log()).contains(" 192.0.2.9 GET / "));
    // A file that fails a check changes nothing, the list included.
    reload("rate 0\n\nbogus 1\n", "reload.conf:3: unknown option \"bogus\"");
    QCOMPARE(post(service.baseUrl(), form("juana")).body, QByteArray("Error"));
    QVERIFY(service.stop());
}

void TestRegnickService::tls_onlyVersions12And13WithAeadCiphers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("ciphers");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("tls1.1") << QStringList() << TLS1_1_VERSION << QByteArray() << false;
    QTest::newRow("tls1.2") << QStringList() << TLS1_2_VERSION << QByteArray() << true;
    QTest::newRow("tls1.3") << QStringList() << TLS1_3_VERSION << QByteArray() << true;
    QTest::newRow("tls1.2Cbc") << QStringList() << TLS1_2_VERSION
                               << QByteArray("ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384")
                               << false;
    QTest::newRow("tls1.1ByPriorities")
        << QStringList{QStringLiteral("--tls-priorities"), QStringLiteral("NORMAL")}
        << TLS1_1_VERSION << QByteArray() << true;
}

void TestRegnickService::tls_onlyVersions12And13WithAeadCiphers()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, version);
    QFETCH(QByteArray, ciphers);
    QFETCH(bool, accepted);
    const parlonda::test::TestCa ca;
    RegnickProcess service(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".db"),
                           tlsArguments(m_dir, QStringLiteral("tls"), ca.issue({"127.0.0.1"})) +
                               arguments);
    QVERIFY(service.start());

    TlsConnection client(service.port(), {version, version, ciphers});
    QCOMPARE(client.established(), accepted);
    if (accepted) {
        QVERIFY(client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
        QCOMPARE(httpStatus(client.readAll()), 404);
    }
    // A refused handshake is one notice, naming the client and GnuTLS's reason.
    QVERIFY(service.stop());
    QCOMPARE(service.log().count("notice: TLS handshake failed from 127.0.0.1: "),
             accepted ? 0 : 1);
    QVERIFY(!service.log().contains("error:"));
}

// A log nobody reads (journald stuck, a full pipe) costs log lines, never
// answers; the lines dropped are counted where the log goes on.
void TestRegnickService::stalledLogReader_holdsUpNoAnswer()
{
    int pipeFds[2];
    QCOMPARE(::pipe2(pipeFds, O_CLOEXEC), 0);
    const auto closePipe = qScopeGuard([&] { ::close(pipeFds[0]); });
    ::fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
    RegnickProcess service(
        m_dir.filePath(QStringLiteral("stalled.db")),
        kRelaxed + QStringList{QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0")});
    service.logToStandardError(pipeFds[1]);
    const bool started = service.start();
    ::close(pipeFds[1]);
    QVERIFY(started);
    QByteArray read;
    char buffer[65536];
    pollfd readable{pipeFds[0], POLLIN, 0};
    const auto readSome = [&] {
        if (::poll(&readable, 1, 100) == 1)
            read.append(buffer, std::max<ssize_t>(0, ::read(pipeFds[0], buffer, sizeof buffer)));
    };
    readSome(); // the lines of the start, in the log before "listening on" is printed
    const QString metrics = QRegularExpression(QStringLiteral("metrics on (http://[0-9.:]+)/"))
                                .match(QString::fromLatin1(read))
                                .captured(1);
    QVERIFY2(!metrics.isEmpty(), read.constData());

    // Lines of some 650 bytes, over 1 MiB of them: more than the log holds.
    const QByteArray longPath = "/" + QByteArray("%FF").repeated(200);
    for (int i = 0; i < 1800; ++i)
        QCOMPARE(send(service.baseUrl(), "GET", longPath, {}, {}).status, 404);
    QCOMPARE(send(service.baseUrl(), "GET", "/healthz", {}, {}).status, 200);
    QCOMPARE(post(service.baseUrl(), form("atascada")).body, QByteArray("OK"));
    QVERIFY(QRegularExpression(QStringLiteral("\nparlonda_log_lines_dropped_total [1-9]"))
                .match(QString::fromUtf8(send(metrics, "GET", "/metrics", {}, {}).body))
                .hasMatch());

    for (const QDeadlineTimer deadline(20000);
         !deadline.hasExpired() && !read.contains("not being read\n");)
        readSome();
    QVERIFY(QRegularExpression(QStringLiteral("\n[0-9TZ:.-]+ warning: dropped [1-9][0-9]* log "
                                              "lines while the log was not being read\n"))
                .match(QString::fromLatin1(read))
                .hasMatch());
    QVERIFY(service.stop());
}

// The shipped logrotate file, on a service taking requests meanwhile.
void TestRegnickService::logrotate_shippedFile_losesNoLine()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("rotated.db")));
    QVERIFY(service.start());
    const QString config = m_dir.filePath(QStringLiteral("logrotate.conf"));
    QVERIFY(parlonda::test::writeFile(config, service.logrotateConfig().toStdString()));
    std::atomic<bool> rotated = false;
    auto requests = std::async(std::launch::async, [&] {
        int sent = 0;
        for (; !rotated || sent < 20; ++sent)
            send(service.baseUrl(), "GET", "/sent/" + QByteArray::number(sent), {}, {});
        return sent;
    });
    QProcess logrotate;
    logrotate.setProcessChannelMode(QProcess::MergedChannels);
    logrotate.start(QStringLiteral("logrotate"),
                    {QStringLiteral("-f"), QStringLiteral("-s"),
                     m_dir.filePath(QStringLiteral("logrotate.state")), config});
    QVERIFY(logrotate.waitForFinished());
    rotated = true;
    QVERIFY2(logrotate.exitCode() == 0, logrotate.readAll().constData());
    const int sent = requests.get();
    QTRY_VERIFY(service.log().contains("/sent/" + QByteArray::number(sent - 1) + ' '));
    QVERIFY(service.stop());

    // Every request once, the later ones and the notice in the new file.
    const QByteArray both = fileBytes(service.logPath() + QStringLiteral(".1")) + service.log();
    for (int i = 0; i < sent; ++i)
        QCOMPARE(both.count(" GET /sent/" + QByteArray::number(i) + ' '), 1);
    QVERIFY(
        service.log().contains("notice: opened the log " + service.logPath().toUtf8() + " again"));
    QVERIFY(service.log().contains("/sent/" + QByteArray::number(sent - 1) + ' '));
    // A rotation applies no configuration file edited meanwhile.
    QVERIFY(!service.log().contains("reloaded the configuration"));
}

// The count of refusals left out is written once their second is over,
// with no refusal after them to carry it.
void TestRegnickService::refusalBurst_countWrittenWhenItEnds()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("burst.db")));
    QVERIFY(service.start());
    // A PROXY header from a client that is not a trusted balancer: closed
    // at once, a refusal any client can cause.
    for (int i = 0; i < 8; ++i) {
        RawConnection client("127.0.0.3", service.port());
        client.send("PROXY TCP4 192.0.2.1 192.0.2.2 1 2\r\n");
        QVERIFY(client.closedWithin(5000));
    }
    QTRY_VERIFY(service.log().contains("error: 3 more closed connections left out"));
    QCOMPARE(service.log().count("error: closed a connection: PROXY header from untrusted"), 5);
    // With --log, errors go to standard error too.
    QVERIFY(service.errors().contains("error: 3 more closed connections left out"));
    QVERIFY(service.stop());
}

void TestRegnickService::signUpsFromOneAddress_overTheRate_get429()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("rate.db")),
                           {QStringLiteral("--rate"), QStringLiteral("10")});
    QVERIFY(service.start());
    // Cheap attempts (an empty form) count like any other.
    const auto attempt = [&](const char *source) {
        RawConnection client(source, service.port());
        client.send("POST /cgi-bin/regnick.pl HTTP/1.1\r\nHost: x\r\nContent-Type: " + kFormType +
                    "\r\nContent-Length: 0\r\n\r\n");
        return client.readAll(5000);
    };
    for (int i = 0; i < 10; ++i)
        QCOMPARE(httpStatus(attempt("127.0.0.2")), 400);
    const QByteArray refused = attempt("127.0.0.2");
    QCOMPARE(httpStatus(refused), 429);
    // 10 a minute: the next attempt is 6 s away at most.
    const int retryAfter = httpHeader(refused, "Retry-After").toInt();
    QVERIFY2(retryAfter >= 1 && retryAfter <= 6, refused.constData());
    QTRY_COMPARE(lastOutcome(service.log()), QByteArray("rate-limited 429"));
    // Another address has its own bucket.
    QCOMPARE(httpStatus(attempt("127.0.0.3")), 400);
    QVERIFY(service.stop());
}

void TestRegnickService::hostileConnections_neitherStarveSignUpsNorOutliveTheirLimits()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("hostile.db")),
                           {QStringLiteral("--max-connections-per-address"), QStringLiteral("4"),
                            QStringLiteral("--idle-timeout"), QStringLiteral("2"),
                            QStringLiteral("--request-timeout"), QStringLiteral("3"),
                            QStringLiteral("--connection-memory"), QStringLiteral("8192")});
    QVERIFY(service.start());
    const quint16 port = service.port();

    // Four idle connections from one address fill its share; a fifth is
    // served, the oldest of them making room.
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 4; ++i)
        idle.push_back(std::make_unique<RawConnection>("127.0.0.2", port));
    // A trickler: part of a request line, and then nothing.
    idle.push_back(std::make_unique<RawConnection>("127.0.0.3", port));
    QVERIFY(idle.back()->send("POST /cgi-bin/reg"));
    RawConnection fifth("127.0.0.2", port);
    fifth.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(httpStatus(fifth.readAll(5000)), 404);
    QVERIFY(idle.front()->closedWithin(1000));
    QVERIFY(!idle[1]->closedWithin(0));

    // Headers that do not fit the connection's memory get an error answer
    // from the HTTP library; no handler, no log line.
    RawConnection flood("127.0.0.4", port);
    QByteArray headers = "POST /cgi-bin/regnick.pl HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 2000; ++i)
        headers += "X-" + QByteArray::number(i) + ": y\r\n";
    flood.send(headers + "\r\n");
    const int floodStatus = httpStatus(flood.readAll(5000));
    QVERIFY2(floodStatus == 413 || floodStatus == 431, QByteArray::number(floodStatus).constData());

    // Meanwhile a sign-up goes through as usual.
    QCOMPARE(post(service.baseUrl(), form("tranquila")).body, QByteArray("OK"));

    // A client that is never idle, but never done either, goes after the
    // request time-out.
    RawConnection busy("127.0.0.5", port);
    bool busyClosed = false;
    for (const QDeadlineTimer deadline(15000); !busyClosed && !deadline.hasExpired();)
        busyClosed = !busy.send("a") || busy.closedWithin(300);
    QVERIFY(busyClosed);

    // Idle connections go after the idle time-out, the trickler among them.
    for (const auto &connection : idle)
        QVERIFY(connection->closedWithin(10000));
    QVERIFY(service.stop());
}

// The quiet time before the request's first byte counts too.
void TestRegnickService::requestTimeout_countsFromAccept()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("late.db")),
                           {QStringLiteral("--request-timeout"), QStringLiteral("3")});
    QVERIFY(service.start());
    QElapsedTimer since;
    since.start();
    RawConnection client("127.0.0.2", service.port());
    QVERIFY(!client.closedWithin(2000));
    bool closed = false;
    while (!closed && since.elapsed() < 10000)
        closed = !client.send("P") || client.closedWithin(200);
    QVERIFY2(closed && since.elapsed() <= 4000, QByteArray::number(since.elapsed()).constData());
    QVERIFY(service.stop());
}

// Silent connections that fill --max-connections make room for a new one,
// and --idle-timeout closes them with nothing else happening.
void TestRegnickService::silentConnectionsAtTheLimit_goAtTheIdleTimeout()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("silent.db")),
                           {QStringLiteral("--max-connections"), QStringLiteral("4"),
                            QStringLiteral("--idle-timeout"), QStringLiteral("2")});
    QVERIFY(service.start());
    QElapsedTimer since;
    since.start();
    std::vector<std::unique_ptr<RawConnection>> silent;
    for (const char *source : {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3"})
        silent.push_back(std::make_unique<RawConnection>(source, service.port()));
    QCOMPARE(send(service.baseUrl(), "GET", "/", {}, {}).status, 404);
    for (const auto &connection : silent)
        QVERIFY(connection->closedWithin(5000));
    QVERIFY2(since.elapsed() <= 3000, QByteArray::number(since.elapsed()).constData());
    QVERIFY(service.stop());
}

// --max-connections 20 and one hash worker: 20 connections, 6 for the
// database, 1 listener, 48 of its own and spare.
void TestRegnickService::descriptorLimit_belowTheBudgetRefused_atItConnectionsShedCleanly()
{
    const QString db = m_dir.filePath(QStringLiteral("files.db"));
    const QStringList arguments = {QStringLiteral("--max-connections"), QStringLiteral("20"),
                                   QStringLiteral("--hash-workers"), QStringLiteral("1")};
    RegnickProcess below(db, arguments);
    below.limitFiles(74);
    QVERIFY(!below.start());
    QVERIFY2(below.errors().contains("needs 75 file descriptors (20 connections, 0 for metrics, 6 "
                                     "for the database, 1 listening, 48 of its own and spare), "
                                     "but the hard limit is 74 (ulimit -Hn)"),
             below.errors().constData());

    RegnickProcess service(db, arguments);
    service.limitFiles(76);
    QVERIFY(service.start());
    const auto pid = static_cast<pid_t>(service.processId());
    const auto openFiles = [pid] {
        return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    };
    const qsizetype idleFiles = openFiles().size();
    // Over --max-connections: the extra ones are closed, with descriptors to spare.
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (int i = 0; i < 30; ++i) {
        flood.push_back(
            std::make_unique<RawConnection>(i % 2 ? "127.0.0.2" : "127.0.0.3", service.port()));
        flood.back()->send("POST /cgi");
    }
    int closed = 0;
    for (const auto &connection : flood)
        closed += connection->closedWithin(200);
    QCOMPARE(closed, 10);
    flood.clear();
    QTRY_COMPARE(send(service.baseUrl(), "GET", "/", {}, {}).status, 404);
    QVERIFY(!service.log().contains("out of file descriptors"));

    // Out of descriptors all the same: a new connection is closed at once,
    // not left waiting in the backlog, and the service goes on.
    QTRY_COMPARE(openFiles().size(), idleFiles);
    const QStringList open = openFiles();
    rlimit limit{0, 76};
    while (open.contains(QString::number(limit.rlim_cur)))
        ++limit.rlim_cur;
    QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
    RawConnection refused("127.0.0.2", service.port());
    QVERIFY(refused.closedWithin(2000));
    QTRY_VERIFY(service.log().contains("out of file descriptors"));
    limit.rlim_cur = 76;
    QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
    QCOMPARE(send(service.baseUrl(), "GET", "/", {}, {}).status, 404);
    QVERIFY(service.stop());
}

void TestRegnickService::reservedNicksFile_replacesTheBuiltInList()
{
    const QString list = m_dir.filePath(QStringLiteral("reserved.txt"));
    QVERIFY(parlonda::test::writeFile(list, "# Nuestros\n\n  Jefa \r\nM\xC3\xA1quina\n"));
    RegnickProcess service(m_dir.filePath(QStringLiteral("reserved.db")),
                           {QStringLiteral("--reserved-nicks"), list});
    QVERIFY(service.start());
    for (const QByteArray &nick : {QByteArray("JEFA"), QByteArray("m%C1QUINA")}) {
        QCOMPARE(post(service.baseUrl(), form(nick)).body, QByteArray("Error"));
        QTRY_COMPARE(lastOutcome(service.log()), QByteArray("refused:reserved 200"));
    }
    QCOMPARE(post(service.baseUrl(), form("admin")).body, QByteArray("OK"));
    QVERIFY(service.stop());
}

void TestRegnickService::help_mentionsEveryOption()
{
    QProcess help;
    help.start(RegnickProcess::program(), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished());
    QCOMPARE(help.exitStatus(), QProcess::NormalExit);
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char *word : {"--listen",
                             "--port",
                             "--db",
                             "--log",
                             "--reserved-nicks",
                             "--tls-cert",
                             "--tls-key",
                             "--tls-priorities",
                             "--allow-plain-http",
                             "--hash-workers",
                             "--rate ",
                             "--rate-burst",
                             "--max-connections ",
                             "--max-connections-per-address",
                             "--idle-timeout",
                             "--request-timeout",
                             "--connection-memory",
                             "--max-wait",
                             "--repeat-window",
                             "--trusted-proxy",
                             "--metrics-listen",
                             "--stop-timeout",
                             "--nick-cooldown",
                             "accounts ACTION",
                             "--check",
                             "--config",
                             "--init-db",
                             "--print-config",
                             "/healthz",
                             "/livez",
                             "--help",
                             "127.0.0.1",
                             "8080",
                             "1000",
                             "32768",
                             "listening on http://",
                             "SIGINT",
                             "SIGTERM",
                             "SIGHUP"}) {
        QVERIFY2(text.contains(word), word);
    }
}

void TestRegnickService::badCommandLine_exitsWithError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("reason");
    const auto row = [](const char *tag, const QStringList &arguments, int exitCode,
                        const char *reason) {
        QTest::newRow(tag) << arguments << exitCode << QByteArray(reason);
    };
    const QString port0 = QStringLiteral("--port=0");
    const QString freshDb = QStringLiteral("--db=") + m_dir.filePath(QStringLiteral("fresh.db"));

    row("anyAddressWithoutTls", {port0, freshDb, QStringLiteral("--listen=0.0.0.0")}, 2,
        "in the clear");
    row("ipv6AnyWithoutTls", {port0, freshDb, QStringLiteral("--listen=::")}, 2, "in the clear");
    row("hostName", {port0, freshDb, QStringLiteral("--listen=localhost")}, 2, "numeric");
    row("certificateWithoutKey", {port0, freshDb, QStringLiteral("--tls-cert=c.pem")}, 2,
        "go together");
    row("unreadableCertificate",
        {port0, freshDb, QStringLiteral("--tls-cert=/no/such/c.pem"),
         QStringLiteral("--tls-key=/no/such/k.pem")},
        1, "cannot read the TLS certificate /no/such/c.pem: No such file");
    // Two certificates of one CA: each key belongs to the other one.
    const parlonda::test::TestCa ca;
    const parlonda::test::Pem first = ca.issue({"127.0.0.1"});
    const parlonda::test::Pem second = ca.issue({"127.0.0.1"});
    const QString certificate = m_dir.filePath(QStringLiteral("first-cert.pem"));
    const QString otherKey = m_dir.filePath(QStringLiteral("second-key.pem"));
    const QString notPem = m_dir.filePath(QStringLiteral("not.pem"));
    QVERIFY(parlonda::test::writeFile(certificate, first.certificate));
    QVERIFY(parlonda::test::writeFile(otherKey, second.privateKey));
    const QString goodKey = m_dir.filePath(QStringLiteral("first-key.pem"));
    QVERIFY(parlonda::test::writeFile(goodKey, first.privateKey));
    QVERIFY(parlonda::test::writeFile(notPem, "not a certificate\n"));
    row("keyOfAnotherCertificate",
        {port0, freshDb, QStringLiteral("--tls-cert=") + certificate,
         QStringLiteral("--tls-key=") + otherKey},
        1, "do not match");
    row("certificateNotPem",
        {port0, freshDb, QStringLiteral("--tls-cert=") + notPem,
         QStringLiteral("--tls-key=") + otherKey},
        1, "cannot use the TLS certificate");
    row("reservedNicksMissing", {port0, freshDb, QStringLiteral("--reserved-nicks=/no/such/list")},
        1, "cannot read the reserved nicks /no/such/list: No such file");
    const QString notNicks = m_dir.filePath(QStringLiteral("not-nicks.txt"));
    QVERIFY(parlonda::test::writeFile(notNicks, "# Equipo\nsoporte tecnico\n"));
    row("reservedNickWithSpace", {port0, freshDb, QStringLiteral("--reserved-nicks=") + notNicks},
        1, "line 2 is not a nick (whitespace)");
    row("workersZero", {QStringLiteral("--hash-workers=0")}, 2, "--hash-workers takes a number");
    row("tinyConnectionMemory", {QStringLiteral("--connection-memory=100")}, 2,
        "--connection-memory takes a number");
    // A port in use by another program; one held by the service's own running
    // copy is refused by a start, not by --check (see checkGood).
    quint16 busy = 0;
    m_busySocket = listeningSocket("127.0.0.1", busy);
    const QString busyPort = QStringLiteral("--port=%1").arg(busy);
    row("portInUse", {busyPort, freshDb}, 1, "cannot listen on 127.0.0.1:");
    row("addressNotHere",
        {port0, freshDb, QStringLiteral("--listen=192.0.2.1"),
         QStringLiteral("--allow-plain-http")},
        1, "Cannot assign requested address");
    row("metricsOnTheServicePort",
        {QStringLiteral("--port=18443"), QStringLiteral("--metrics-listen=127.0.0.1:18443")}, 2,
        "is on the service's own port");
    row("listenTwice", {QStringLiteral("--listen=::1"), QStringLiteral("--listen=0::1")}, 2,
        "--listen 0::1 is given twice");
    row("anyAddressTakesTheOther",
        {QStringLiteral("--listen=0.0.0.0"), QStringLiteral("--listen=127.0.0.1"),
         QStringLiteral("--allow-plain-http")},
        2, "clashes with --listen 0.0.0.0");
    const QStringList tls = {freshDb, QStringLiteral("--tls-cert=") + certificate,
                             QStringLiteral("--tls-key=") + goodKey};
    row("badPriorities", tls + QStringList{QStringLiteral("--tls-priorities=NORMAL:+NADA")}, 1,
        "GnuTLS does not take \"NORMAL:+NADA\" from \"+NADA\"");
    row("prioritiesNone", tls + QStringList{QStringLiteral("--tls-priorities=NONE")}, 1,
        "GnuTLS does not take \"NONE\"");
    // The configuration file: refused with its name and line.
    const auto config = [&](const char *name, const std::string &text) {
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        parlonda::test::writeFile(path, text);
        return QStringList{port0, freshDb, QStringLiteral("--config"), path};
    };
    row("configUnknownKey", config("unknown.conf", "port 0 # a comment\n\nverbose yes\n"), 2,
        "unknown.conf:3: unknown option \"verbose\"");
    row("configBadValue", config("value.conf", "rate 10\nport 80a\n"), 2,
        "value.conf:2: port takes a number from 0 to 65535, not 80a");
    row("configKeyTwice", config("twice.conf", "# c\nlisten ::1 127.0.0.1\nlisten ::1\n"), 2,
        "twice.conf:3: listen given twice (first on line 2)");
    row("configEndless", {port0, freshDb, QStringLiteral("--config=/dev/zero")}, 2,
        "the configuration /dev/zero is longer than 1 MiB");
    // The command line's --listen and --port replace the file's.
    row("checkFileOverridden",
        config("overridden.conf", "listen 0.0.0.0\nport " + std::to_string(busy)) +
            QStringList{freshDb, QStringLiteral("--listen=127.0.0.1"), QStringLiteral("--check")},
        0, "good to start");
    row("readOnlyDatabase", {port0, QStringLiteral("--db=") + readOnlyDatabase()}, 1,
        "cannot write to");

    row("portTooHigh", {QStringLiteral("--port"), QStringLiteral("65536")}, 2, "from 0 to 65535");
    row("portNotNumber", {QStringLiteral("--port=80a")}, 2, "from 0 to 65535");
    row("portMissing", {QStringLiteral("--port")}, 2, "needs a value");
    row("emptyDb", {QStringLiteral("--db=")}, 2, "needs a value");
    row("unknownOption", {QStringLiteral("--verbose")}, 2, "unknown option");
    row("trustedProxyPrefixTooLong", {QStringLiteral("--trusted-proxy=10.0.0.0/33")}, 2,
        "prefix length must be 0 to 32");
    row("trustedProxyName", {QStringLiteral("--trusted-proxy=balancer.example.net")}, 2,
        "not a numeric IPv4 or IPv6");
    row("metricsWithoutPort", {QStringLiteral("--metrics-listen=127.0.0.1")}, 2,
        "--metrics-listen takes ADDR:PORT");
    row("metricsHostName", {QStringLiteral("--metrics-listen=localhost:9100")}, 2,
        "--metrics-listen takes ADDR:PORT");
    row("maxWaitZero", {QStringLiteral("--max-wait=0")}, 2, "--max-wait takes a number");
    row("repeatWindowOverADay", {QStringLiteral("--repeat-window=86401")}, 2, "from 0 to 86400");
    // --check, on the port the service above holds: what a start would use,
    // without listening.
    const QStringList good = {QStringLiteral("--port=%1").arg(m_service->port()), freshDb,
                              QStringLiteral("--tls-cert=") + certificate,
                              QStringLiteral("--tls-key=") + goodKey};
    row("checkGood", good + QStringList{QStringLiteral("--check")}, 0, "good to start");
    // It creates nothing (see badCommandLine_exitsWithError).
    row("checkMissingDatabase",
        {QStringLiteral("--check"), port0, QStringLiteral("--db=") + m_dir.filePath("none.db")}, 0,
        "a start would create ");
    row("dbInMissingFolder",
        {port0, QStringLiteral("--db"),
         m_dir.filePath(QStringLiteral("no/such/folder/accounts.db"))},
        1, "No such file or directory");
}

void TestRegnickService::badCommandLine_exitsWithError()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, reason);

    // What a start refuses, --check refuses with the same words; and a
    // --check leaves the database as it found it, there or not.
    const bool check = arguments.contains(QStringLiteral("--check"));
    for (const QStringList &run :
         {arguments, check || exitCode == 0 ? QStringList() : QStringList{"--check"} + arguments}) {
        if (run.isEmpty())
            continue;
        const QString db = run.filter(QStringLiteral("--db=")).value(0).mid(5);
        const bool dbThere = QFile::exists(db);
        QProcess service;
        service.start(RegnickProcess::program(), run);
        QVERIFY(service.waitForFinished());
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        const QByteArray errors = service.readAllStandardError();
        const QByteArray output = service.readAllStandardOutput();
        QVERIFY2(service.exitCode() == exitCode, errors.constData());
        // A --check that passes says so on standard output; a refusal says why
        // on standard error, and nothing else.
        const QByteArray said = exitCode == 0 ? output : errors;
        QVERIFY2(said.startsWith("parlonda-regnick: ") && said.contains(reason), said.constData());
        QVERIFY(exitCode == 0 || output.isEmpty());
        if (run.contains(QStringLiteral("--check")))
            QCOMPARE(QFile::exists(db), dbThere);
    }
}

// A database that SQLite itself will only read, whoever runs the test (file
// modes do not stop root): a write format version above 2 in its header.
QString TestRegnickService::readOnlyDatabase()
{
    const QString path = m_dir.filePath(QStringLiteral("read-only.db"));
    if (QFile::exists(path))
        return path;
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    QFile file(path);
    if (file.open(QIODevice::ReadWrite) && file.seek(18))
        file.write("\x03", 1); // byte 18: the file format write version
    return path;
}

QTEST_GUILESS_MAIN(TestRegnickService)
#include "regnick_service_test.moc"
