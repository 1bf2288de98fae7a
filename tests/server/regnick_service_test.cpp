// The registration service as the client meets it: the real process, over
// HTTP on 127.0.0.1.
#include "tests/server/regnick_process.h"

#include <QByteArrayList>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <httplib.h>
#include <latch>
#include <memory>
#include <sodium.h>
#include <sqlite3.h>
#include <thread>
#include <utility>
#include <vector>

using parlonda::test::RegnickProcess;

namespace {

const QByteArray kPath = "/cgi-bin/regnick.pl";
const QByteArray kFormType = "application/x-www-form-urlencoded";
constexpr qsizetype kMaxBody = 16 * 1024;

struct Answer
{
    int status = -1;
    QByteArray body;
    QByteArray allow;
};

Answer send(const QString &baseUrl, const QByteArray &method, const QByteArray &path,
            const QByteArray &contentType, const QByteArray &body)
{
    httplib::Client client(baseUrl.toStdString());
    httplib::Request request;
    request.method = method.toStdString();
    request.path = path.toStdString();
    request.body = body.toStdString();
    if (!contentType.isEmpty())
        request.set_header("Content-Type", contentType.toStdString());
    const httplib::Result result = client.send(request);
    Answer answer;
    if (result) {
        answer.status = result->status;
        answer.body = QByteArray::fromStdString(result->body);
        answer.allow = QByteArray::fromStdString(result->get_header_value("Allow"));
    }
    return answer;
}

Answer post(const QString &baseUrl, const QByteArray &body)
{
    return send(baseUrl, "POST", kPath, kFormType, body);
}

// The client's seven fields in its order, values already form-encoded.
using Fields = QList<std::pair<QByteArray, QByteArray>>;

Fields clientFields(const QByteArray &nick)
{
    return {{"nick", nick},      {"nombres", "Ana+Mar%EDa"}, {"email", "ana%40example.org"},
            {"tel", "555-0142"}, {"ciudad", "Quito"},        {"pais", "Ecuador"},
            {"paswd", "clave-7"}};
}

QByteArray join(const Fields &fields)
{
    QByteArrayList pairs;
    for (const auto &[key, value] : fields)
        pairs << key + '=' + value;
    return pairs.join('&');
}

QByteArray form(const QByteArray &nick)
{
    return join(clientFields(nick));
}

QByteArray formWith(const QByteArray &nick, const QByteArray &key, const QByteArray &value)
{
    Fields fields = clientFields(nick);
    for (auto &field : fields) {
        if (field.first == key)
            field.second = value;
    }
    return join(fields);
}

QByteArray formWithout(const QByteArray &nick, const QByteArray &key)
{
    Fields fields = clientFields(nick);
    fields.removeIf([&](const auto &field) { return field.first == key; });
    return join(fields);
}

// A valid form of exactly `size` bytes, padded in the names.
QByteArray formOfSize(const QByteArray &nick, qsizetype size)
{
    const qsizetype bare = formWith(nick, "nombres", "").size();
    return formWith(nick, "nombres", QByteArray(size - bare, 'a'));
}

QByteArray lastLine(const QByteArray &text)
{
    return text.trimmed().split('\n').last();
}

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

Database openReadOnly(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    return Database(db, &sqlite3_close);
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
    void chunkedBodyOver16KiB_isTooLarge();
    void secondSignUp_sameNickInAnyCase_isError_data();
    void secondSignUp_sameNickInAnyCase_isError();
    void concurrentSignUpsOfOneNick_exactlyOneRegistered();
    void signUp_storesDecodedTextsAndOnlyAHash();
    void restart_keepsAccounts();
    void stopSignal_exitsWithStatusZero_data();
    void stopSignal_exitsWithStatusZero();
    void help_mentionsEveryOption();
    void badCommandLine_exitsWithError_data();
    void badCommandLine_exitsWithError();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<RegnickProcess> m_service;
};

void TestRegnickService::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<RegnickProcess>(m_dir.filePath(QStringLiteral("accounts.db")));
    QVERIFY(m_service->start());
    QVERIFY2(m_service->baseUrl().startsWith(QStringLiteral("http://127.0.0.1:")),
             qPrintable(m_service->baseUrl()));
}

void TestRegnickService::cleanupTestCase()
{
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
    QTest::newRow("keysInOtherOrder")
        << post << kPath << type
        << QByteArray("paswd=x&pais=Chile&ciudad=Arica&tel=&email=e%40x&nombres=Eva&nick=eva")
        << 200 << QByteArray("OK") << QByteArray("registered");
    QTest::newRow("bodyOf16KiB") << post << kPath << type << formOfSize("fede", kMaxBody) << 200
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

    const auto rejected = [&](const char *tag, const QByteArray &body, const char *reason) {
        QTest::newRow(tag) << post << kPath << type << body << 400 << QByteArray(reason)
                           << QByteArray("rejected");
    };
    rejected("emptyBody", QByteArray(), "missing field: nick");
    rejected("missingPhone", formWithout("juli", "tel"), "missing field: tel");
    rejected("missingPassword", formWithout("juli", "paswd"), "missing field: paswd");
    rejected("nickTwice", form("juli") + "&nick=otro", "given twice: nick");
    rejected("unknownKey", form("juli") + "&edad=30", "unknown field");
    rejected("pairWithoutEquals", formWith("juli", "nombres", "Juan") + "&Ana", "malformed");
    rejected("brokenEscape", formWith("juli", "ciudad", "%G1"), "escape in field: ciudad");
    rejected("cutEscape", formWith("juli", "paswd", "abc%4"), "escape in field: paswd");
    rejected("lineFeedInNick", formWith("ju%0Ali", "nick", "ju%0Ali"),
             "control character in field: nick");
    rejected("nulInNames", formWith("juli", "nombres", "a%00b"),
             "control character in field: nombres");
    rejected("delInEmail", formWith("juli", "email", "a%7F%40b"),
             "control character in field: email");
    rejected("undefinedByteInCity", formWith("juli", "ciudad", "Quito%81"),
             "control character in field: ciudad");
    rejected("tabInPassword", formWith("juli", "paswd", "a%09b"),
             "control character in field: paswd");
    rejected("colonInNick", formWith("ju:li", "nick", "ju:li"), "\":\" in field: nick");
    rejected("colonInPhone", formWith("juli", "tel", "555%3A1"), "\":\" in field: tel");
    rejected("colonInCountry", formWith("juli", "pais", "Per%FA%3A"), "\":\" in field: pais");
    rejected("emptyNick", formWith("", "nick", ""), "empty field: nick");
    rejected("emptyNames", formWith("juli", "nombres", ""), "empty field: nombres");
    rejected("emptyEmail", formWith("juli", "email", ""), "empty field: email");
    rejected("emptyCity", formWith("juli", "ciudad", ""), "empty field: ciudad");
    rejected("emptyCountry", formWith("juli", "pais", ""), "empty field: pais");
    rejected("emptyPassword", formWith("juli", "paswd", ""), "empty field: paswd");
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
    QVERIFY2(line.endsWith(' ' + outcome + ' ' + QByteArray::number(status)), line.constData());
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

void TestRegnickService::secondSignUp_sameNickInAnyCase_isError_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("secondReply");

    QTest::newRow("sameNick") << QByteArray("marta") << QByteArray("marta") << QByteArray("Error");
    QTest::newRow("upperCase") << QByteArray("lucia") << QByteArray("LUCIA") << QByteArray("Error");
    QTest::newRow("pastedMixedCase")
        << QByteArray("Pedro") << QByteArray("pEDRO") << QByteArray("Error");
    // "ñandú" and "ÑANDÚ", which ASCII-only case folding would keep apart.
    QTest::newRow("accentedUpperCase")
        << QByteArray("%F1and%FA") << QByteArray("%D1AND%DA") << QByteArray("Error");
    QTest::newRow("longerNick") << QByteArray("sol") << QByteArray("sola") << QByteArray("OK");
    QTest::newRow("accentedOther")
        << QByteArray("rene") << QByteArray("ren%E9") << QByteArray("OK");
}

void TestRegnickService::secondSignUp_sameNickInAnyCase_isError()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, secondReply);

    const Answer registered = post(m_service->baseUrl(), form(first));
    QCOMPARE(registered.status, 200);
    QCOMPARE(registered.body, QByteArray("OK"));

    const Answer again = post(m_service->baseUrl(), form(second));
    QCOMPARE(again.status, 200);
    QCOMPARE(again.body, secondReply);
}

void TestRegnickService::concurrentSignUpsOfOneNick_exactlyOneRegistered()
{
    constexpr int kClients = 20;
    const std::string url = m_service->baseUrl().toStdString();
    const std::string body = form("carrera").toStdString();
    std::atomic<int> registered = 0;
    std::atomic<int> taken = 0;
    std::latch go(1);

    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            httplib::Client client(url);
            client.set_read_timeout(30);
            go.wait();
            const httplib::Result result =
                client.Post(kPath.toStdString(), body, kFormType.toStdString());
            if (result && result->status == 200 && result->body == "OK")
                ++registered;
            else if (result && result->status == 200 && result->body == "Error")
                ++taken;
        });
    }
    go.count_down();
    for (std::thread &client : clients)
        client.join();

    QCOMPARE(registered.load(), 1);
    QCOMPARE(taken.load(), kClients - 1);
}

void TestRegnickService::signUp_storesDecodedTextsAndOnlyAHash()
{
    const QByteArray password = QStringLiteral("Contraseña-Secreta-42").toUtf8();
    const Answer answer = post(m_service->baseUrl(), "nick=Jos%E9&nombres=Jos%E9+N%FA%F1ez"
                                                     "&email=jose%40example.org&tel=%2B51+84+555"
                                                     "&ciudad=Cuzco&pais=Pa%EDs"
                                                     "&paswd=Contrase%F1a-Secreta-42");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body, QByteArray("OK"));

    const QString dbPath = m_dir.filePath(QStringLiteral("accounts.db"));
    const Database db = openReadOnly(dbPath);
    QVERIFY(db);
    sqlite3_stmt *raw = nullptr;
    QCOMPARE(sqlite3_prepare_v2(db.get(),
                                "SELECT nick, names, email, phone, city, country, password_hash "
                                "FROM accounts WHERE nick_key = 'josé'",
                                -1, &raw, nullptr),
             SQLITE_OK);
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> row(raw, &sqlite3_finalize);
    QCOMPARE(sqlite3_step(row.get()), SQLITE_ROW);
    const auto column = [&](int i) {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(row.get(), i)));
    };
    QCOMPARE(column(0), QStringLiteral("José"));
    QCOMPARE(column(1), QStringLiteral("José Núñez"));
    QCOMPARE(column(2), QStringLiteral("jose@example.org"));
    QCOMPARE(column(3), QStringLiteral("+51 84 555"));
    QCOMPARE(column(4), QStringLiteral("Cuzco"));
    QCOMPARE(column(5), QStringLiteral("País"));

    const QByteArray hash = column(6).toUtf8();
    QVERIFY2(hash.startsWith("$argon2id$"), hash.constData());
    QCOMPARE(crypto_pwhash_str_needs_rehash(hash.constData(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                            crypto_pwhash_MEMLIMIT_INTERACTIVE),
             0);
    QCOMPARE(crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                      static_cast<unsigned long long>(password.size())),
             0);

    QFile file(dbPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!file.readAll().contains("Secreta-42"));

    QTRY_VERIFY(m_service->log().contains("\"José\" registered 200"));
    const QString log = QString::fromUtf8(m_service->log());
    static const QRegularExpression line(
        QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z POST /cgi-bin/regnick\.pl )"
                       R"("José" registered 200$)"),
        QRegularExpression::MultilineOption);
    QVERIFY2(line.match(log).hasMatch(), qPrintable(log.right(500)));
    QVERIFY(!log.contains(QStringLiteral("Secreta-42")));
    QVERIFY(!log.contains(QStringLiteral("$argon2id$")));
}

void TestRegnickService::restart_keepsAccounts()
{
    RegnickProcess service(m_dir.filePath(QStringLiteral("restart.db")));
    QVERIFY(service.start());
    QCOMPARE(post(service.baseUrl(), form("rosa")).body, QByteArray("OK"));
    QVERIFY(service.stop());

    QVERIFY(service.start());
    const Answer again = post(service.baseUrl(), form("Rosa"));
    QCOMPARE(again.status, 200);
    QCOMPARE(again.body, QByteArray("Error"));
    QVERIFY(service.stop());
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

void TestRegnickService::help_mentionsEveryOption()
{
    QProcess help;
    help.start(RegnickProcess::program(), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished());
    QCOMPARE(help.exitStatus(), QProcess::NormalExit);
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char *word : {"--listen", "--port", "--db", "--help", "127.0.0.1", "8080",
                             "listening on http://", "SIGINT", "SIGTERM"}) {
        QVERIFY2(text.contains(word), word);
    }
}

void TestRegnickService::badCommandLine_exitsWithError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("portTooHigh") << QStringList{QStringLiteral("--port"), QStringLiteral("65536")}
                                 << 2;
    QTest::newRow("portNotNumber") << QStringList{QStringLiteral("--port=80a")} << 2;
    QTest::newRow("portMissing") << QStringList{QStringLiteral("--port")} << 2;
    QTest::newRow("emptyDb") << QStringList{QStringLiteral("--db=")} << 2;
    QTest::newRow("unknownOption") << QStringList{QStringLiteral("--verbose")} << 2;
    QTest::newRow("dbInMissingFolder")
        << QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                       m_dir.filePath(QStringLiteral("no/such/folder/accounts.db"))}
        << 1;
}

void TestRegnickService::badCommandLine_exitsWithError()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);

    QProcess service;
    service.start(RegnickProcess::program(), arguments);
    QVERIFY(service.waitForFinished());
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), exitCode);
    QVERIFY(service.readAllStandardError().startsWith("parlonda-regnick: "));
    QVERIFY(service.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestRegnickService)
#include "regnick_service_test.moc"
