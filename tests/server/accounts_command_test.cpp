// `parlonda-regnick accounts`, the real program, against the databases of a
// running service: the same actions on an SQLite file and on PostgreSQL,
// in the order an operator would run them, each row building on the rows
// before it.
#include "tests/server/postgres_cluster.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sqlite3.h>

using namespace parlonda::test;

namespace {

struct Run
{
    int status = -1;
    QByteArray said; // standard output and error
};

Run runAccounts(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(RegnickProcess::program(), QStringList{QStringLiteral("accounts")} + arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAll()};
}

} // namespace

class TestAccountsCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void action_onEitherStore_doesAsDocumented_data();
    void action_onEitherStore_doesAsDocumented();

private:
    QTemporaryDir m_dir;
    PostgresCluster m_cluster;
    QHash<QString, QString> m_db, m_other;
    QHash<QString, std::shared_ptr<RegnickProcess>> m_services;
};

void TestAccountsCommand::initTestCase()
{
    QString error;
    QVERIFY2(m_cluster.start(error), qPrintable(error));
    m_db[QStringLiteral("sqlite")] = m_dir.filePath(QStringLiteral("accounts.db"));
    m_other[QStringLiteral("postgresql")] = m_dir.filePath(QStringLiteral("copy.db"));
    m_db[QStringLiteral("postgresql")] = m_cluster.createDatabase(QStringLiteral("accounts"));
    m_other[QStringLiteral("sqlite")] = m_cluster.createDatabase(QStringLiteral("copy"));
    for (const QString &backend : m_db.keys()) {
        auto service =
            std::make_shared<RegnickProcess>(m_db[backend], kRelaxed, m_dir.filePath(backend));
        QVERIFY2(service->start(), service->errors().constData());
        for (const char *nick : {"Marta", "lucia", "doble"})
            QCOMPARE(post(service->baseUrl(), form(nick)).body, QByteArray("OK"));
        QCOMPARE(
            post(service->baseUrl(), formWith("borrame", "email", "borrame%40example.org")).body,
            QByteArray("OK"));
        m_services[backend] = service;
    }
}

void TestAccountsCommand::cleanupTestCase()
{
    for (const auto &service : std::as_const(m_services))
        QVERIFY(service->stop());
}

void TestAccountsCommand::action_onEitherStore_doesAsDocumented_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QStringList>("arguments"); // --db follows; %FILE, %OTHER: see below
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");   // in what it printed
    QTest::addColumn<QByteArray>("signUp"); // a form sent after; empty: none
    QTest::addColumn<QByteArray>("answer");

    for (const QString &backend : {QStringLiteral("sqlite"), QStringLiteral("postgresql")}) {
        const bool sqlite = backend == u"sqlite";
        const auto row = [&](const char *tag, const QString &arguments, int status,
                             const QByteArray &said, const QByteArray &input = {},
                             const QByteArray &signUp = {}, const QByteArray &answer = {}) {
            QTest::addRow("%s:%s", qPrintable(backend), tag)
                << backend << arguments.split(u' ') << input << status << said << signUp << answer;
        };
        row("list", "list", 0, "Marta                             active");
        row("listJsonFirst", "--json list --match LU*", 0, "{\"nick\":\"lucia\",\"nick_key\"");
        row("showFolded", "show MARTA", 0, "email:         ana@example.org\n");
        row("showNoOne", "show nadie", 67, "no account \"nadie\"");
        row("lock", "lock marta --reason spam", 0, "accounts lock \"marta\" by ", {}, form("Marta"),
            "Error");
        row("showLocked", "show marta --json", 0,
            "\"status\":\"locked\",\"locked_reason\":\"spam\"");
        row("listLocked", "list --status locked --json", 0, "\"nick\":\"Marta\"");
        row("lockReasonOfTwoLines", "lock marta --reason=a\nb", 65, "the reason is one line");
        row("unlock", "unlock marta", 0, "accounts unlock \"marta\" by ", {}, form("Marta"), "OK");
        // Hashed as a sign-up hashes it: its repeat, "ñ" in Windows-1252, matches.
        row("setPassword", "set-password LUCIA", 0, "accounts set-password \"LUCIA\" by ",
            "nueva-se\xc3\xb1"
            "al\n",
            formWith("lucia", "paswd", "nueva-se%F1al"), "OK");
        row("setPasswordEmpty", "set-password lucia", 65, "the password is empty", "\n");
        row("setPasswordNoOne", "set-password nadie", 67, "no account \"nadie\"", "x\n");
        row("delete", "delete borrame", 0, "accounts delete \"borrame\" by ", {}, form("borrame"),
            "Error");
        row("deleteAgain", "delete borrame", 67, "no account \"borrame\"");
        row("deleteTwiceAtOnce", "delete doble", 0, "no account \"doble\"");
        row("backup", "backup %FILE", sqlite ? 0 : 64, sqlite ? "backed up" : "pg_dump");
        if (sqlite)
            row("backupOverAFile", "backup %FILE", 73, "File exists");
        row("copy", "copy --to %OTHER", 0, "copied 4 accounts and tombstones");
        row("copyAgain", "copy --to %OTHER", 0,
            "every account (4 accounts and tombstones) is already");
        row("copyBack", "copy --db %OTHER --to %DB", 0, "already in");
        if (sqlite) {
            // Another process holds the write lock: a change is told to come
            // back, a read goes on.
            row("lockWhileLocked", "lock lucia --reason spam", 75, "database is locked");
            row("showWhileLocked", "show lucia", 0, "nick_key:      lucia");
        }
        row("unknownAction", "borrar lucia", 64, "unknown action borrar");
        row("optionOfAnother", "list --reason x", 64, "list does not take --reason");
    }
    QTest::newRow("noSuchFile") << QStringLiteral("sqlite")
                                << QStringList{"list", "--db", "/nada.db"} << QByteArray() << 66
                                << QByteArray("no accounts database at") << QByteArray()
                                << QByteArray();
    QTest::newRow("unreachable") << QStringLiteral("postgresql")
                                 << QStringList{"list", "--db", "postgresql:///x?host=/nada"}
                                 << QByteArray() << 69 << QByteArray("cannot connect")
                                 << QByteArray() << QByteArray();
}

void TestAccountsCommand::action_onEitherStore_doesAsDocumented()
{
    QFETCH(QString, backend);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QByteArray, said);
    QFETCH(QByteArray, signUp);
    QFETCH(QByteArray, answer);
    const QString backupFile = m_dir.filePath(backend + QStringLiteral("-backup.db"));
    arguments.replaceInStrings(QStringLiteral("%FILE"), backupFile);
    arguments.replaceInStrings(QStringLiteral("%OTHER"), m_other[backend]);
    arguments.replaceInStrings(QStringLiteral("%DB"), m_db[backend]);
    if (!arguments.contains(QStringLiteral("--db")))
        arguments += {QStringLiteral("--db"), m_db[backend]};

    sqlite3 *shell = nullptr;
    if (QByteArray(QTest::currentDataTag()).endsWith("WhileLocked")) {
        QCOMPARE(sqlite3_open(QFile::encodeName(m_db[backend]).constData(), &shell), SQLITE_OK);
        QCOMPARE(sqlite3_exec(shell, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    const auto closeShell = qScopeGuard([shell] { sqlite3_close(shell); });
    Run run;
    if (QByteArray(QTest::currentDataTag()).endsWith("AtOnce")) {
        // One of the two deletes finds the account, the other does not.
        QProcess other;
        other.start(RegnickProcess::program(), QStringList{QStringLiteral("accounts")} + arguments);
        run = runAccounts(arguments);
        QVERIFY(other.waitForFinished(60000));
        QCOMPARE(run.status + other.exitCode(), 67);
        run.said += other.readAllStandardError();
    } else {
        run = runAccounts(arguments, input);
        QCOMPARE(run.status, status);
    }
    QVERIFY2(run.said.contains(said), run.said.constData());
    if (!signUp.isEmpty())
        QCOMPARE(post(m_services[backend]->baseUrl(), signUp).body, answer);

    const bool sqlite = backend == u"sqlite";
    if (sqlite && arguments.first() == u"delete" && status == 0) {
        // Neither the file nor its -wal holds the e-mail any more.
        for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
            QFile file(m_db[backend] + suffix);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(!file.readAll().contains("borrame@example.org"));
        }
    }
    if (sqlite && arguments.first() == u"backup" && status == 0) {
        QCOMPARE(QFileInfo(backupFile).permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        // Nor does the backup, made after the deletion.
        QFile copy(backupFile);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QVERIFY(!copy.readAll().contains("borrame@example.org"));
        QVERIFY(runAccounts({QStringLiteral("show"), QStringLiteral("lucia"),
                             QStringLiteral("--db"), backupFile})
                    .said.contains("nick_key:      lucia"));
    }
}

QTEST_GUILESS_MAIN(TestAccountsCommand)
#include "accounts_command_test.moc"
