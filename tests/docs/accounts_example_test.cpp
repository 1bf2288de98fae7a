// The example of docs/accounts.md, the very file the page shows, compiled as
// a chat server's developer would and run against an account that the real
// service stored in PostgreSQL from the dialog's own request body.
#include "exchange/registration_request.h"
#include "tests/server/postgres_cluster.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace parlonda::test;

namespace {

QByteArray fileBytes(const char *path)
{
    QFile file(QString::fromUtf8(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestAccountsExample : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void page_showsTheExampleFileVerbatim();
    void example_acceptsOnlyTheRightPassword_data();
    void example_acceptsOnlyTheRightPassword();

private:
    QTemporaryDir m_dir;
    PostgresCluster m_cluster;
    std::unique_ptr<RegnickProcess> m_service;
    QString m_chatServer; // the chat server's connection: a role that may only read
};

void TestAccountsExample::initTestCase()
{
    QString error;
    QVERIFY2(m_cluster.start(error), qPrintable(error));
    const QString db = m_cluster.createDatabase(QStringLiteral("parlonda"));
    m_service = std::make_unique<RegnickProcess>(db, QStringList(), m_dir.filePath("regnick"));
    QVERIFY2(m_service->start(), m_service->errors().constData());

    // Typed into the dialog: its nick and password boxes lower-case typed
    // letters, but "µ" has no capital in Windows-1252 and "€" is no letter.
    const QStringList boxes = {QStringLiteral("ñandú-µ"),         QStringLiteral("Ana Núñez"),
                               QStringLiteral("ana@example.org"), QString(),
                               QStringLiteral("Cuzco"),           QStringLiteral("Perú"),
                               QStringLiteral("€uro-señal")};
    const Answer answer = post(m_service->baseUrl(), parlonda::registrationBody(boxes));
    QCOMPARE(answer.body, QByteArray("OK"));
    // A second account, then locked by the operator.
    QStringList locked = boxes;
    locked[0] = QStringLiteral("bloqueada");
    QCOMPARE(post(m_service->baseUrl(), parlonda::registrationBody(locked)).body, QByteArray("OK"));
    QVERIFY(m_cluster.execute(QStringLiteral("parlonda"),
                              "UPDATE accounts SET status = 'locked', locked_reason = 'spam', "
                              "locked_at = now() WHERE nick_key = 'bloqueada'"));

    QVERIFY(m_cluster.execute(QStringLiteral("parlonda"), "CREATE ROLE chat LOGIN"));
    QVERIFY(m_cluster.execute(QStringLiteral("parlonda"), "GRANT SELECT ON accounts TO chat"));
    m_chatServer = db;
    m_chatServer.replace(QStringLiteral("parlonda:") + QLatin1String(PostgresCluster::kPassword),
                         QStringLiteral("chat"));
}

void TestAccountsExample::cleanupTestCase()
{
    if (m_service)
        QVERIFY(m_service->stop());
}

void TestAccountsExample::page_showsTheExampleFileVerbatim()
{
    const QByteArray page = fileBytes(ACCOUNTS_PAGE);
    const QByteArray example = fileBytes(EXAMPLE_SOURCE);
    QVERIFY(!example.isEmpty());
    const QByteArray opening = "```cpp\n";
    const qsizetype start = page.indexOf(opening) + opening.size();
    QVERIFY(start >= opening.size());
    QCOMPARE(page.mid(start, page.indexOf("```\n", start) - start), example);
}

void TestAccountsExample::example_acceptsOnlyTheRightPassword_data()
{
    QTest::addColumn<QString>("nick");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("status");

    QTest::newRow("asRegistered") << QStringLiteral("ñandú-µ") << QStringLiteral("€uro-señal") << 0;
    // Folded, "µ" is the Greek small mu: a fold that only lower-cases misses it.
    QTest::newRow("nickInCapitals")
        << QStringLiteral("ÑANDÚ-µ") << QStringLiteral("€uro-señal") << 0;
    QTest::newRow("wrongPassword")
        << QStringLiteral("ñandú-µ") << QStringLiteral("€URO-SEÑAL") << 1;
    QTest::newRow("noSuchAccount") << QStringLiteral("ñandú") << QStringLiteral("€uro-señal") << 1;
    QTest::newRow("locked") << QStringLiteral("bloqueada") << QStringLiteral("€uro-señal") << 1;
}

void TestAccountsExample::example_acceptsOnlyTheRightPassword()
{
    QFETCH(QString, nick);
    QFETCH(QString, password);
    QFETCH(int, status);

    QProcess example;
    example.start(QStringLiteral(EXAMPLE_PROGRAM), {m_chatServer, nick, password});
    QVERIFY(example.waitForFinished());
    QVERIFY2(example.exitStatus() == QProcess::NormalExit,
             example.readAllStandardError().constData());
    QCOMPARE(example.exitCode(), status);
}

QTEST_GUILESS_MAIN(TestAccountsExample)
#include "accounts_example_test.moc"
