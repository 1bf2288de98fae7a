// What the service keeps, and how it behaves when its database does: the
// same cases against each place it keeps accounts, an SQLite file and a
// PostgreSQL database on a throwaway cluster of the test's own. The service
// is the real process; the stored rows are read back directly, and databases
// it cannot use are opened with the store library itself.
#include "server/store/account_store.h"
#include "server/store/database_inspection.h"
#include "tests/server/postgres_cluster.h"
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_client.h"
#include "tests/server/regnick_process.h"
#include "tests/support/refused_port.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <latch>
#include <libpq-fe.h>
#include <memory>
#include <signal.h>
#include <sodium.h>
#include <sqlite3.h>
#include <thread>
#include <vector>

using namespace parlonda::test;

namespace {

const QStringList kBackends = {QStringLiteral("sqlite"), QStringLiteral("postgresql")};

// One data row per backend, for a case that has no other data.
void backendRows()
{
    QTest::addColumn<QString>("backend");
    for (const QString &backend : kBackends)
        QTest::newRow(qPrintable(backend)) << backend;
}

// A database of either kind, and where the service's log and standard error
// go for it.
struct Store
{
    QString backend;
    QString name;
    QString db; // --db: the file or the URI
    QString files;
};

// Sends every form at once, each to its own service's address, each over its
// own connection; the answers in the same order. `whileSending` runs as soon
// as all are on their way.
QList<Answer> signUpsAtOnce(const QList<std::pair<QString, QByteArray>> &requests,
                            const std::function<void()> &whileSending = {})
{
    QList<Answer> answers(requests.size());
    std::latch go(1);
    std::vector<std::thread> clients;
    for (qsizetype i = 0; i < requests.size(); ++i) {
        clients.emplace_back([&, i] {
            go.wait();
            answers[i] = post(requests[i].first, requests[i].second);
        });
    }
    go.count_down();
    if (whileSending)
        whileSending();
    for (std::thread &client : clients)
        client.join();
    return answers;
}

// Runs SQL on an SQLite file as a person at its shell would.
bool sqliteExecute(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
    char *message = nullptr;
    const bool done = sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK;
    if (!done)
        qWarning("%s", message);
    sqlite3_free(message);
    return done;
}

// The accounts table as the service made it before it kept a schema
// version, and an account in it.
const char *const kOldAccount =
    "INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, password_hash) "
    "VALUES ('Antigua', 'antigua', 'A', 'a@example.org', '', 'Lima', 'Peru', '$argon2id$x')";
const QHash<QString, const char *> kUnversionedTable = {
    {QStringLiteral("sqlite"), R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id            INTEGER PRIMARY KEY,
    nick          TEXT NOT NULL,
    nick_key      TEXT NOT NULL UNIQUE CHECK (nick_key <> ''),
    names         TEXT NOT NULL,
    email         TEXT NOT NULL,
    phone         TEXT NOT NULL,
    city          TEXT NOT NULL,
    country       TEXT NOT NULL,
    password_hash TEXT NOT NULL,
    created_at    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
)sql"},
    {QStringLiteral("postgresql"), R"sql(
CREATE TABLE accounts (
    id            bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    nick          text NOT NULL,
    nick_key      text NOT NULL UNIQUE CHECK (nick_key <> ''),
    names         text NOT NULL,
    email         text NOT NULL,
    phone         text NOT NULL,
    city          text NOT NULL,
    country       text NOT NULL,
    password_hash text NOT NULL,
    created_at    timestamptz NOT NULL DEFAULT now()
);
)sql"},
};

constexpr int kInterruptedSignUps = 8;

// Sign-ups of the new nicks "<prefix>0" to "<prefix>7", sent at once to a
// service with one hash worker; `interrupt` runs as soon as the first is
// registered, while the others are being hashed or still wait for the worker.
QList<Answer> signUpsInterrupted(const RegnickProcess &service, const QByteArray &prefix,
                                 const std::function<void()> &interrupt)
{
    QList<std::pair<QString, QByteArray>> requests;
    for (int i = 0; i < kInterruptedSignUps; ++i)
        requests.append({service.baseUrl(), form(prefix + QByteArray::number(i))});
    return signUpsAtOnce(requests, [&] {
        QTRY_VERIFY(service.log().contains(" registered 200"));
        interrupt();
    });
}

// A sign-up sent again while it is told to come back (503), for a while.
Answer signUpOnceBack(const QString &baseUrl, const QByteArray &nick)
{
    Answer answer;
    for (QDeadlineTimer deadline(10000);
         (answer = post(baseUrl, form(nick))).status == 503 && !deadline.hasExpired();)
        QTest::qWait(20);
    return answer;
}

const QStringList kRelaxedWithMetrics =
    kRelaxed + QStringList{QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0")};

// A value of the service's metrics: `name` is a whole series name.
int metric(const RegnickProcess &service, const char *name)
{
    const QString url = QRegularExpression(QStringLiteral("metrics on (http://[0-9.:]+)/metrics"))
                            .match(QString::fromUtf8(service.log()))
                            .captured(1);
    return QRegularExpression(QLatin1String("\n%1 ([0-9]+)").arg(QLatin1String(name)))
        .match(QString::fromUtf8(send(url, "GET", "/metrics", {}, {}).body))
        .captured(1)
        .toInt();
}

qsizetype countOf(const QList<Answer> &answers, int status, const QByteArray &body = {})
{
    return std::count_if(answers.begin(), answers.end(), [&](const Answer &answer) {
        return answer.status == status && (body.isEmpty() || answer.body == body);
    });
}

} // namespace

class TestAccountStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void secondSignUp_sameNick_isTakenOrARecentRepeat_data();
    void secondSignUp_sameNick_isTakenOrARecentRepeat();
    void signUp_storesDecodedTextsAndOnlyAHash_data() { backendRows(); }
    void signUp_storesDecodedTextsAndOnlyAHash();
    void restart_keepsAccounts_data() { backendRows(); }
    void restart_keepsAccounts();
    void stopDuringSignUps_keepsEveryAcknowledgedAccount_data() { backendRows(); }
    void stopDuringSignUps_keepsEveryAcknowledgedAccount();
    void instances_raceForOneNick_shareAccounts_keepThemWhenKilled_data();
    void instances_raceForOneNick_shareAccounts_keepThemWhenKilled();

    void olderSchema_isBroughtUpToDate_keepsAccounts_data();
    void olderSchema_isBroughtUpToDate_keepsAccounts();
    void databaseLost_answers503_andServesAgainOnceItIsBack();
    void databaseTrouble_isBusy_andPassesWithItsCause_data();
    void databaseTrouble_isBusy_andPassesWithItsCause();
    void databaseItCannotUse_refusesToStart_data();
    void databaseItCannotUse_refusesToStart();

private:
    Store freshStore(const QString &backend, const QString &name);
    // nick, names, email, phone, city, country and password_hash of the
    // account with this folded nick; empty when there is none.
    QStringList storedAccount(const Store &store, const QByteArray &nickKey);
    // The schema version the store records; -1 when there is none.
    int schemaVersion(const Store &store);

    QTemporaryDir m_dir;
    PostgresCluster m_cluster;
    // One service per backend, shared by the cases that need nothing else.
    QHash<QString, Store> m_shared;
    QHash<QString, std::shared_ptr<RegnickProcess>> m_services;
};

void TestAccountStore::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QVERIFY(m_dir.isValid());
    QString error;
    QVERIFY2(m_cluster.start(error), qPrintable(error));
    for (const QString &backend : kBackends) {
        m_shared[backend] = freshStore(backend, QStringLiteral("shared"));
        const Store &store = m_shared[backend];
        m_services[backend] =
            std::make_shared<RegnickProcess>(store.db, kRelaxedWithMetrics, store.files);
        QVERIFY2(m_services[backend]->start(), m_services[backend]->errors().constData());
    }
}

void TestAccountStore::cleanupTestCase()
{
    for (const auto &service : std::as_const(m_services))
        QVERIFY(service->stop());
}

Store TestAccountStore::freshStore(const QString &backend, const QString &name)
{
    Store store{backend, name, {}, m_dir.filePath(backend + u'-' + name)};
    if (backend == u"sqlite")
        store.db = m_dir.filePath(name + QStringLiteral(".db"));
    else
        store.db = m_cluster.createDatabase(name);
    return store;
}

QStringList TestAccountStore::storedAccount(const Store &store, const QByteArray &nickKey)
{
    const char *sql = "SELECT nick, names, email, phone, city, country, password_hash "
                      "FROM accounts WHERE nick_key = ";
    if (store.backend == u"postgresql") {
        const QList<QStringList> rows =
            m_cluster.rows(store.name, sql + QByteArray("$1"), {nickKey});
        return rows.isEmpty() ? QStringList() : rows.first();
    }
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(store.db).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, (sql + QByteArray("?1")).constData(), -1, &raw, nullptr) !=
        SQLITE_OK) {
        qWarning("%s", sqlite3_errmsg(db));
        return {};
    }
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> row(raw, &sqlite3_finalize);
    sqlite3_bind_text(raw, 1, nickKey.constData(), static_cast<int>(nickKey.size()),
                      SQLITE_TRANSIENT);
    QStringList columns;
    if (sqlite3_step(raw) == SQLITE_ROW) {
        for (int i = 0; i < 7; ++i)
            columns.append(
                QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(raw, i))));
    }
    return columns;
}

int TestAccountStore::schemaVersion(const Store &store)
{
    if (store.backend == u"postgresql") {
        const QByteArray exists = "SELECT to_regclass('schema_version') IS NOT NULL";
        if (m_cluster.rows(store.name, exists) != QList<QStringList>{{QStringLiteral("t")}})
            return -1;
        const QList<QStringList> rows =
            m_cluster.rows(store.name, "SELECT version FROM schema_version");
        return rows.size() == 1 ? rows.first().first().toInt() : -1;
    }
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(store.db).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
    sqlite3_stmt *raw = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> row(raw, &sqlite3_finalize);
    return sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int(raw, 0) : -1;
}

void TestAccountStore::secondSignUp_sameNick_isTakenOrARecentRepeat_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("between"); // SQL run between the two; empty: none
    QTest::addColumn<QByteArray>("outcome");

    for (const QString &backend : kBackends) {
        const auto row = [&](const char *tag, const QByteArray &first, const QByteArray &second,
                             const char *outcome, const QByteArray &between = {}) {
            QTest::addRow("%s:%s", qPrintable(backend), tag)
                << backend << first << second << between << QByteArray(outcome);
        };
        // Every entry the same, the nick folded: its own answer lost, sent again.
        row("sameEntries", form("marta"), form("marta"), "repeated");
        // "ñandú" and "ÑANDÚ", which ASCII-only case folding would keep apart.
        row("accentedUpperCase", form("%F1and%FA"), form("%D1AND%DA"), "repeated");
        for (const char *key : {"nombres", "email", "tel", "ciudad", "pais", "paswd"}) {
            const QByteArray nick = QByteArray("otro-") + key;
            QTest::addRow("%s:other %s", qPrintable(backend), key)
                << backend << form(nick) << formWith(nick.toUpper(), key, "x%40y") << QByteArray()
                << QByteArray("taken");
        }
        const bool sqlite = backend == u"sqlite";
        const auto created = [](const QByteArray &at) {
            return "UPDATE accounts SET created_at = " + at +
                   " WHERE id = (SELECT max(id) FROM accounts)";
        };
        const auto ago = [&](const char *s) -> QByteArray {
            return created(sqlite ? "strftime('%Y-%m-%dT%H:%M:%SZ', 'now', '-" + QByteArray(s) +
                                        " seconds')"
                                  : "now() - interval '" + QByteArray(s) + " seconds'");
        };
        row("createdOverAnHourAgo", form("vieja"), form("vieja"), "taken", ago("3700"));
        row("createdNearlyAnHourAgo", form("reciente"), form("reciente"), "repeated", ago("3500"));
        row("createdAtUnreadable", form("ilegible"), form("ilegible"), "taken",
            created(sqlite ? "'ayer'" : "'-infinity'"));
        // SQLite keeps milliseconds since schema version 2, whole seconds before.
        if (sqlite)
            row("createdNearlyAnHourAgoToTheMillisecond", form("milesima"), form("milesima"),
                "repeated", created("strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-3500 seconds')"));
        const QByteArray now = sqlite ? "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')" : "now()";
        row("lockedSince", form("bloqueada"), form("bloqueada"), "taken",
            "UPDATE accounts SET status = 'locked', locked_reason = 'spam', locked_at = " + now +
                " WHERE id = (SELECT max(id) FROM accounts)");
        // A deletion leaves a tombstone, which holds the nick for the
        // cool-down (90 days) and frees it after.
        const QByteArray deleted =
            QByteArray(sqlite ? "DELETE FROM accounts WHERE id = (SELECT max(id) FROM accounts); "
                              : "WITH gone AS (DELETE FROM accounts WHERE id = (SELECT max(id) "
                                "FROM accounts)) ") +
            "INSERT INTO tombstones VALUES ";
        const QByteArray ninetyOneDaysAgo =
            sqlite ? "strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-91 days')"
                   : "now() - interval '91 days'";
        row("deletedSince", form("borrada"), form("borrada"), "taken",
            deleted + "('borrada', " + now + ")");
        row("deletedLongAgo", form("olvidada"), form("olvidada"), "registered",
            deleted + "('olvidada', " + ninetyOneDaysAgo + ")");
        row("longerNick", form("sol"), form("sola"), "registered");
        row("accentedOther", form("rene"), form("ren%E9"), "registered");
    }
}

void TestAccountStore::secondSignUp_sameNick_isTakenOrARecentRepeat()
{
    QFETCH(QString, backend);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, between);
    QFETCH(QByteArray, outcome);
    RegnickProcess &service = *m_services[backend];

    const Answer registered = post(service.baseUrl(), first);
    QCOMPARE(registered.status, 200);
    QCOMPARE(registered.body, QByteArray("OK"));
    if (!between.isEmpty()) {
        const QByteArray sql = between;
        QVERIFY(backend == u"sqlite" ? sqliteExecute(m_shared[backend].db, sql.constData())
                                     : m_cluster.execute(m_shared[backend].name, sql));
    }

    // Within the window the password is checked whatever the other entries,
    // so that the time of the answer does not tell which of them matched.
    const int hashesBefore = metric(service, "parlonda_hash_seconds_count");
    const Answer again = post(service.baseUrl(), second);
    QCOMPARE(again.status, 200);
    QCOMPARE(again.body, QByteArray(outcome == "taken" ? "Error" : "OK"));
    QTRY_COMPARE(lastOutcome(service.log()), outcome + " 200");
    QCOMPARE(metric(service, "parlonda_hash_seconds_count") - hashesBefore,
             outcome == "taken" &&
                     (between.contains(" created_at ") || between.contains("tombstones"))
                 ? 0
                 : 1);
}

void TestAccountStore::signUp_storesDecodedTextsAndOnlyAHash()
{
    QFETCH(QString, backend);
    RegnickProcess &service = *m_services[backend];
    const QByteArray password = QStringLiteral("Contraseña-Secreta-42").toUtf8();
    const Answer answer = post(service.baseUrl(), "nick=Jos%E9&nombres=Jos%E9+N%FA%F1ez"
                                                  "&email=jose%40example.org&tel=%2B51+84+555"
                                                  "&ciudad=Cuzco&pais=Pa%EDs"
                                                  "&paswd=Contrase%F1a-Secreta-42");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body, QByteArray("OK"));

    const QStringList stored = storedAccount(m_shared[backend], QStringLiteral("josé").toUtf8());
    QCOMPARE(stored.size(), 7);
    QCOMPARE(stored.mid(0, 6),
             (QStringList{QStringLiteral("José"), QStringLiteral("José Núñez"),
                          QStringLiteral("jose@example.org"), QStringLiteral("+51 84 555"),
                          QStringLiteral("Cuzco"), QStringLiteral("País")}));
    const QByteArray hash = stored[6].toUtf8();
    QVERIFY2(hash.startsWith("$argon2id$"), hash.constData());
    QCOMPARE(crypto_pwhash_str_needs_rehash(hash.constData(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                            crypto_pwhash_MEMLIMIT_INTERACTIVE),
             0);
    QCOMPARE(crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                      static_cast<unsigned long long>(password.size())),
             0);
    if (backend == u"sqlite") {
        QFile file(m_shared[backend].db);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("Secreta-42"));
    }

    QTRY_VERIFY(service.log().contains("\"José\" registered 200"));
    const QString log = QString::fromUtf8(service.log());
    static const QRegularExpression line(
        QStringLiteral(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1 POST /cgi-bin/regnick\.pl )"
            R"("José" registered 200$)"),
        QRegularExpression::MultilineOption);
    QVERIFY2(line.match(log).hasMatch(), qPrintable(log.right(500)));
    QVERIFY(!log.contains(QStringLiteral("Secreta-42")));
    QVERIFY(!log.contains(QStringLiteral("$argon2id$")));
}

void TestAccountStore::restart_keepsAccounts()
{
    QFETCH(QString, backend);
    const Store store = freshStore(backend, QStringLiteral("restart"));
    RegnickProcess service(store.db, {}, store.files);
    QVERIFY(service.start());
    QCOMPARE(post(service.baseUrl(), form("rosa")).body, QByteArray("OK"));
    QVERIFY(service.stop());
    // E-mail addresses, hashes and the log's nicks are for the owner only.
    QStringList privateFiles = {service.logPath()};
    if (backend == u"sqlite")
        privateFiles.append(store.db);
    for (const QString &path : privateFiles)
        QCOMPARE(QFileInfo(path).permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

    QVERIFY(service.start());
    const Answer again = post(service.baseUrl(), formWith("Rosa", "ciudad", "Lima"));
    QCOMPARE(again.status, 200);
    QCOMPARE(again.body, QByteArray("Error"));
    QVERIFY(service.stop());
}

void TestAccountStore::stopDuringSignUps_keepsEveryAcknowledgedAccount()
{
    QFETCH(QString, backend);
    // One worker, so that most sign-ups are still waiting when the signal
    // comes, and no time to hash them: those are told to try again.
    const Store store = freshStore(backend, QStringLiteral("stopping"));
    RegnickProcess service(store.db,
                           kRelaxed +
                               QStringList{QStringLiteral("--hash-workers"), QStringLiteral("1"),
                                           QStringLiteral("--stop-timeout"), QStringLiteral("0")},
                           store.files);
    QVERIFY(service.start());

    const QList<Answer> answers =
        signUpsInterrupted(service, "parada", [&] { QVERIFY(service.stop(SIGTERM)); });

    for (int i = 0; i < kInterruptedSignUps; ++i) {
        QVERIFY(answers[i].body == "OK" ||
                (answers[i].status == 503 && answers[i].retryAfter == "1"));
        QCOMPARE(storedAccount(store, "parada" + QByteArray::number(i)).isEmpty(),
                 answers[i].status == 503);
    }
    QVERIFY(countOf(answers, 503) > 0);
}

void TestAccountStore::instances_raceForOneNick_shareAccounts_keepThemWhenKilled_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("instances");
    // An SQLite file is for one service on one machine; a PostgreSQL
    // database is there to be shared.
    QTest::newRow("sqlite:oneInstance") << QStringLiteral("sqlite") << 1;
    QTest::newRow("postgresql:twoInstances") << QStringLiteral("postgresql") << 2;
}

void TestAccountStore::instances_raceForOneNick_shareAccounts_keepThemWhenKilled()
{
    QFETCH(QString, backend);
    QFETCH(int, instances);
    // All start at once on a database without the table yet.
    const Store store = freshStore(backend, QStringLiteral("shared_by_all"));
    std::vector<std::unique_ptr<RegnickProcess>> services;
    for (int i = 0; i < instances; ++i) {
        services.push_back(std::make_unique<RegnickProcess>(
            store.db, kRelaxed, store.files + u'-' + QString::number(i)));
        QVERIFY(services.back()->begin());
    }
    for (const auto &service : services)
        QVERIFY2(service->waitUntilListening(), service->errors().constData());
    const auto through = [&](int i) { return services[i % instances]->baseUrl(); };

    // Clients spread over the instances, all for one nick, at once: most
    // pass their look-up before any has inserted, so the insert decides.
    // Each costs a hash: a few are enough.
    constexpr int kRacers = 8;
    QList<std::pair<QString, QByteArray>> race;
    for (int i = 0; i < kRacers; ++i)
        race.append({through(i), formWith("carrera", "ciudad", "C" + QByteArray::number(i))});
    const QList<Answer> raced = signUpsAtOnce(race);
    QCOMPARE(countOf(raced, 200, "OK"), 1);
    QCOMPARE(countOf(raced, 200, "Error"), kRacers - 1);

    // One person's sign-up twice at once, the second sent while the first is
    // hashed: both are told "OK".
    const QList<Answer> twice =
        signUpsAtOnce({{through(0), form("dos-veces")}, {through(1), form("dos-veces")}});
    QCOMPARE(countOf(twice, 200, "OK"), 2);

    // What one instance registered, the next finds taken, in any case, by
    // its look-up.
    for (int i = 0; i < instances; ++i) {
        const QByteArray nick = "desde-" + QByteArray::number(i);
        QCOMPARE(post(through(i), form(nick)).body, QByteArray("OK"));
        QCOMPARE(post(through(i + 1), formWith(nick.toUpper(), "ciudad", "Lima")).body,
                 QByteArray("Error"));
        QTRY_COMPARE(lastOutcome(services[(i + 1) % instances]->log()), QByteArray("taken 200"));
    }

    // The first instance killed while all take sign-ups: the others go on,
    // and every account any of them acknowledged is there.
    QList<std::pair<QString, QByteArray>> signUps;
    for (int i = 0; i < 16; ++i)
        signUps.append({through(i), form("muerte" + QByteArray::number(i))});
    RegnickProcess &killed = *services.front();
    const QList<Answer> answers = signUpsAtOnce(signUps, [&] {
        QTRY_VERIFY(killed.log().contains("\"muerte"));
        QVERIFY(!killed.stop(SIGKILL));
    });
    for (qsizetype i = 0; i < answers.size(); ++i) {
        if (answers[i].body == "OK")
            QVERIFY2(!storedAccount(store, "muerte" + QByteArray::number(i)).isEmpty(),
                     qPrintable(QString::number(i)));
        if (i % instances != 0)
            QCOMPARE(answers[i].body, QByteArray("OK"));
    }
    QVERIFY(countOf(answers, -1) > 0);
    for (int i = 1; i < instances; ++i)
        QVERIFY(services[i]->stop());
}

void TestAccountStore::olderSchema_isBroughtUpToDate_keepsAccounts_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("version"); // 0: made before the schema had a version
    for (const QString &backend : kBackends) {
        for (const int version : {0, 1})
            QTest::addRow("%s:version%d", qPrintable(backend), version) << backend << version;
    }
}

void TestAccountStore::olderSchema_isBroughtUpToDate_keepsAccounts()
{
    QFETCH(QString, backend);
    QFETCH(int, version);
    const bool sqlite = backend == u"sqlite";
    const Store store = freshStore(backend, QStringLiteral("older%1").arg(version));
    // Version 1 is the unversioned table, recorded as such.
    QList<const char *> made = {kUnversionedTable[backend], kOldAccount};
    if (version == 1 && sqlite)
        made.append("PRAGMA user_version = 1");
    else if (version == 1)
        made += {"CREATE TABLE schema_version (one_row boolean PRIMARY KEY DEFAULT true "
                 "CHECK (one_row), version integer NOT NULL)",
                 "INSERT INTO schema_version (version) VALUES (1)"};
    for (const char *sql : made)
        QVERIFY(sqlite ? sqliteExecute(store.db, sql) : m_cluster.execute(store.name, sql));
    // A role the service ran as, which may only read and add accounts.
    const QByteArray adder = "escritor" + QByteArray::number(version);
    QVERIFY(sqlite ||
            (m_cluster.execute(store.name, "CREATE ROLE " + adder) &&
             m_cluster.execute(store.name, "GRANT SELECT, INSERT ON accounts TO " + adder)));
    // --check and --init-db learn it read-only, changing nothing.
    parlonda::DatabaseInspection found;
    std::string error;
    QVERIFY2(parlonda::inspectDatabase(store.db.toStdString(), found, error), error.c_str());
    QVERIFY(found.action == parlonda::DatabaseInspection::Action::Upgrade &&
            found.version == version);
    const QByteArray createdAt = "SELECT created_at FROM accounts";
    const QList<QStringList> created =
        sqlite ? QList<QStringList>() : m_cluster.rows(store.name, createdAt);
    QCOMPARE(schemaVersion(store), version ? 1 : sqlite ? 0 : -1);

    RegnickProcess service(store.db, {}, store.files);
    QVERIFY2(service.start(), service.errors().constData());
    QCOMPARE(schemaVersion(store), 2);
    QCOMPARE(post(service.baseUrl(), form("ANTIGUA")).body, QByteArray("Error"));
    QCOMPARE(post(service.baseUrl(), form("nueva")).body, QByteArray("OK"));
    QVERIFY(service.stop());
    // The old account as it was, now active; every required text checked.
    const QByteArray oldRow =
        "SELECT status, password_hash FROM accounts WHERE nick_key = 'antigua'";
    const QByteArray emptyHash = "UPDATE accounts SET password_hash = '' WHERE nick_key = 'nueva'";
    if (sqlite) {
        QCOMPARE(storedAccount(store, "antigua").value(6), QStringLiteral("$argon2id$x"));
        QVERIFY(!sqliteExecute(store.db, emptyHash.constData()));
    } else {
        QCOMPARE(m_cluster.rows(store.name, oldRow),
                 (QList<QStringList>{{QStringLiteral("active"), QStringLiteral("$argon2id$x")}}));
        QCOMPARE(m_cluster.rows(store.name, createdAt).first(), created.first());
        QVERIFY(!m_cluster.execute(store.name, emptyHash));
        // It may still look nicks up, tombstones included, and free them.
        const QByteArray may = "has_table_privilege('" + adder + "', 'tombstones', '";
        QCOMPARE(m_cluster.rows(store.name, "SELECT " + may + "SELECT') AND " + may + "DELETE')"),
                 QList<QStringList>{{QStringLiteral("t")}});
    }
    // Started again on its own schema, it changes nothing.
    QVERIFY2(service.start(), service.errors().constData());
    QCOMPARE(schemaVersion(store), 2);
    QCOMPARE(post(service.baseUrl(), formWith("Nueva", "ciudad", "Lima")).body,
             QByteArray("Error"));
    QVERIFY(service.stop());
}

void TestAccountStore::databaseLost_answers503_andServesAgainOnceItIsBack()
{
    const Store store = freshStore(QStringLiteral("postgresql"), QStringLiteral("lost"));
    RegnickProcess service(
        store.db, kRelaxed + QStringList{QStringLiteral("--hash-workers"), QStringLiteral("1")},
        store.files);
    QVERIFY(service.start());

    // The database stops once the first of these is in: the others meet the loss.
    const QList<Answer> answers =
        signUpsInterrupted(service, "perdida", [&] { QVERIFY(m_cluster.stop()); });
    QVERIFY(countOf(answers, 200, "OK") >= 1);
    QVERIFY(countOf(answers, 503) >= 1);
    QCOMPARE(countOf(answers, 200, "OK") + countOf(answers, 503), kInterruptedSignUps);
    QTRY_VERIFY(service.log().contains("unavailable 503"));
    // A load balancer asking now is told to send no one here.
    QCOMPARE(send(service.baseUrl(), "GET", "/healthz", {}, {}).status, 503);

    // An instance that starts now says why it cannot work, without the
    // password, and exits for its supervisor to try again.
    QProcess starting;
    starting.start(RegnickProcess::program(),
                   {QStringLiteral("--port=0"), QStringLiteral("--db"), store.db});
    QVERIFY(starting.waitForFinished());
    const QByteArray refusal = starting.readAllStandardError();
    QCOMPARE(starting.exitCode(), 1);
    QVERIFY2(refusal.startsWith("parlonda-regnick: cannot connect to the accounts database "
                                "postgresql://parlonda@/lost?host="),
             refusal.constData());
    QVERIFY2(refusal.contains("No such file or directory"), refusal.constData());
    QVERIFY2(!refusal.contains(PostgresCluster::kPassword), refusal.constData());

    // The running one connects again by itself once the database is back.
    QString error;
    QVERIFY2(m_cluster.start(error), qPrintable(error));
    QCOMPARE(signUpOnceBack(service.baseUrl(), "vuelta").body, QByteArray("OK"));
    QCOMPARE(send(service.baseUrl(), "GET", "/healthz", {}, {}).body, QByteArray("ok\n"));
    // A 503 while storing leaves the account stored or not: the same
    // sign-up again is then its repeat or a new one, "OK" either way.
    for (int i = 0; i < kInterruptedSignUps; ++i) {
        const QByteArray nick = "perdida" + QByteArray::number(i);
        if (answers[i].body == "OK")
            QVERIFY(!storedAccount(store, nick).isEmpty());
        else
            QCOMPARE(post(service.baseUrl(), form(nick)).body, QByteArray("OK"));
    }

    QVERIFY(service.stop());
}

void TestAccountStore::databaseTrouble_isBusy_andPassesWithItsCause_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QByteArray>("said"); // in the error line; empty: no trouble seen
    QTest::newRow("lockedByAShell") << QStringLiteral("sqlite") << QByteArray("database is locked");
    QTest::newRow("diskFull") << QStringLiteral("sqlite") << QByteArray("database or disk is full");
    QTest::newRow("frozen") << QStringLiteral("postgresql") << QByteArray("no answer in time");
    // The first sign-up after these finds the database up.
    QTest::newRow("restartedAtOnce") << QStringLiteral("postgresql") << QByteArray();
    QTest::newRow("failedOver") << QStringLiteral("postgresql") << QByteArray();
    // The primary hangs (a machine that stopped) rather than ends.
    QTest::newRow("failedOverFromAFrozenPrimary") << QStringLiteral("postgresql") << QByteArray();
    // From the start, the URI's first server drops every connection attempt.
    QTest::newRow("firstServerSilent") << QStringLiteral("postgresql") << QByteArray();
    // Sign-ups that lose the race at the insert meet a look-up connection
    // that hangs when they read the account that won.
    QTest::newRow("readerHangsAfterALostRace") << QStringLiteral("postgresql") << QByteArray();
}

void TestAccountStore::databaseTrouble_isBusy_andPassesWithItsCause()
{
    QFETCH(QString, backend);
    QFETCH(QByteArray, said);
    const QByteArray trouble = QTest::currentDataTag();
    Store store = freshStore(backend, QString::fromLatin1(trouble.toLower()));
    // A small disk of its own; a primary and its synchronous standby.
    const QString disk = m_dir.filePath(QStringLiteral("disk"));
    PostgresCluster primary, standby;
    const bool failingOver = trouble.startsWith("failedOver");
    int reader = 0; // the service's look-up connection's server process
    const auto cleanUp = qScopeGuard([&] {
        m_cluster.freeze(SIGCONT);
        if (reader > 0)
            ::kill(reader, SIGCONT);
        if (failingOver)
            primary.freeze(SIGCONT);
        if (trouble == "diskFull")
            QProcess::execute(QStringLiteral("umount"), {disk});
    });
    QString error;
    const RefusedPort silent(RefusedPort::Kind::Silent);
    if (trouble == "diskFull") {
        QDir().mkpath(disk);
        if (QProcess::execute(QStringLiteral("mount"),
                              QStringList{"-t", "tmpfs", "-o", "size=1m", "tmpfs", disk}) != 0)
            QSKIP("needs root, to mount a small tmpfs");
        store.db = disk + QStringLiteral("/full.db");
    } else if (failingOver) {
        QVERIFY2(primary.start(error) && standby.startStandbyOf(primary, error), qPrintable(error));
        primary.createDatabase(store.name);
        store.db = primary.uri(store.name, {&standby});
    } else if (trouble == "firstServerSilent") {
        store.db.replace(QStringLiteral("?host="), QStringLiteral("?host=127.0.0.1,"));
        store.db += QStringLiteral("&port=%1,5432").arg(silent.port());
    }
    RegnickProcess service(store.db, kRelaxedWithMetrics, store.files);
    QVERIFY2(service.start(), service.errors().constData());
    const auto signUp = [&](const QByteArray &nick) { return post(service.baseUrl(), form(nick)); };
    for (const char *nick : {"antes0", "antes1", "antes2"})
        QCOMPARE(signUp(nick).body, QByteArray("OK"));

    sqlite3 *shell = nullptr;
    QFile filler(disk + QStringLiteral("/filler"));
    if (trouble == "lockedByAShell") {
        sqlite3_open(QFile::encodeName(store.db).constData(), &shell);
        QCOMPARE(sqlite3_exec(shell, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    } else if (trouble == "diskFull") {
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'x')) == 4096) {
        }
    } else if (trouble == "frozen") {
        m_cluster.freeze();
    } else if (trouble == "restartedAtOnce") {
        QVERIFY(m_cluster.stop(SIGQUIT));
        QVERIFY2(m_cluster.start(error), qPrintable(error));
    } else if (trouble == "readerHangsAfterALostRace") {
        // One person's sign-up, sent many times at once: all find the nick
        // free and are held at the insert (or wait for a worker) until the
        // look-up connection hangs; "Error" would send them to another nick.
        const std::unique_ptr<PGconn, decltype(&PQfinish)> holder(
            PQconnectdb(store.db.toUtf8().constData()), &PQfinish);
        const auto run = [&holder](const char *sql) {
            const std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(holder.get(), sql),
                                                                       &PQclear);
            return PQresultStatus(result.get()) == PGRES_COMMAND_OK;
        };
        QVERIFY2(run("BEGIN; LOCK TABLE tombstones IN EXCLUSIVE MODE"),
                 PQerrorMessage(holder.get()));
        const QList<Answer> raced = signUpsAtOnce(
            QList<std::pair<QString, QByteArray>>(8, {service.baseUrl(), form("carrera")}), [&] {
                QTRY_COMPARE(m_cluster
                                     .rows(store.name, "SELECT count(*) FROM pg_stat_activity "
                                                       "WHERE datname = current_database() AND "
                                                       "wait_event_type = 'Lock'")
                                     .value(0)
                                     .value(0)
                                     .toInt() +
                                 metric(service, "parlonda_hash_queue_depth"),
                             8);
                reader = m_cluster
                             .rows(store.name, "SELECT pid FROM pg_stat_activity WHERE datname = "
                                               "current_database() AND query LIKE 'SELECT 1 %'")
                             .value(0)
                             .value(0)
                             .toInt();
                QVERIFY(reader > 0 && ::kill(reader, SIGSTOP) == 0);
                QVERIFY(run("ROLLBACK"));
            });
        QCOMPARE(countOf(raced, 200, "Error"), 0);
        QVERIFY(countOf(raced, 503) >= 1);
    } else if (failingOver) {
        if (trouble == "failedOver")
            QVERIFY(primary.stop());
        else
            primary.freeze();
        QVERIFY2(standby.promote(error), qPrintable(error));
    }

    if (!said.isEmpty()) {
        // While a sign-up waits for the database, the rest is answered.
        RawConnection waiting("127.0.0.1", service.port());
        const QByteArray body = form("durante");
        QVERIFY(waiting.send(
            "POST /cgi-bin/regnick.pl HTTP/1.1\r\nHost: x\r\nContent-Type: " + kFormType +
            "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body));
        QCOMPARE(send(service.baseUrl(), "GET", "/nada", {}, {}).status, 404);
        QVERIFY(send(service.baseUrl(), "GET", "/healthz", {}, {}).status > 0);
        if (trouble != "diskFull") // answered once hashed
            QVERIFY(waiting.readAll(0).isEmpty());
        const QByteArray busy = waiting.readAll(30000);
        QVERIFY2(busy.startsWith("HTTP/1.1 503") && !httpHeader(busy, "Retry-After").isEmpty(),
                 busy.constData());
        const Answer health = send(service.baseUrl(), "GET", "/healthz", {}, {});
        QVERIFY(health.status == 503 && !health.retryAfter.isEmpty());
        QTRY_VERIFY2(service.log().contains(": " + said + "\n"),
                     service.log().right(500).constData());

        sqlite3_close(shell); // its transaction rolled back
        filler.remove();
        m_cluster.freeze(SIGCONT);
        QCOMPARE(signUpOnceBack(service.baseUrl(), "despues").body, QByteArray("OK"));
        QTRY_COMPARE(send(service.baseUrl(), "GET", "/healthz", {}, {}).status, 200);
        QVERIFY(storedAccount(store, "durante").isEmpty());
    } else if (trouble == "failedOverFromAFrozenPrimary") {
        QCOMPARE(signUpOnceBack(service.baseUrl(), "despues").body, QByteArray("OK"));
        // Its sessions on the frozen primary went unused once one timed out.
        QVERIFY2(!service.log().contains("cannot add"), service.log().constData());
    } else {
        QCOMPARE(signUp("despues").body, QByteArray("OK"));
    }
    PostgresCluster &now = failingOver ? standby : m_cluster;
    if (backend == u"postgresql")
        QCOMPARE(now.rows(store.name, "SELECT count(*) FROM accounts"),
                 QList<QStringList>{
                     {trouble.startsWith("reader") ? QStringLiteral("5") : QStringLiteral("4")}});
    QVERIFY(service.stop());
}

void TestAccountStore::databaseItCannotUse_refusesToStart_data()
{
    QTest::addColumn<QString>("db");
    QTest::addColumn<QByteArray>("reason");

    // Its letters could not hold every nick.
    const QString latin1 = m_cluster.createDatabase(
        QStringLiteral("latin1"),
        "ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
    QTest::newRow("notUtf8") << latin1 << QByteArray("the database's encoding is LATIN1, not UTF8");

    // A role that may look nicks up but not add them would fail every
    // sign-up after spending its hash. Here the password comes as a parameter.
    const Store store = freshStore(QStringLiteral("postgresql"), QStringLiteral("read_only"));
    std::string error;
    parlonda::AccountStore::open(store.db.toStdString(), error);
    m_cluster.execute(store.name, "CREATE ROLE lector LOGIN");
    m_cluster.execute(store.name, "GRANT SELECT ON accounts TO lector");
    QString asReader = store.db;
    asReader.replace(QStringLiteral("parlonda:") + QLatin1String(PostgresCluster::kPassword),
                     QStringLiteral("lector"));
    asReader += QStringLiteral("&password=") + QLatin1String(PostgresCluster::kPassword);
    QTest::newRow("mayNotAdd") << asReader
                               << QByteArray(
                                      "cannot add accounts in postgresql://lector@/read_only?"
                                      "host=");

    // A newer release has changed the schema: this one does not know what
    // that means for its own writes.
    const QByteArray newer = "has schema version 99, newer than this parlonda-regnick knows (2)";
    const Store newerFile = freshStore(QStringLiteral("sqlite"), QStringLiteral("newer"));
    sqliteExecute(newerFile.db, "PRAGMA user_version = 99");
    QTest::newRow("sqlite:newerSchema") << newerFile.db << newer;
    const Store newerDatabase = freshStore(QStringLiteral("postgresql"), QStringLiteral("newer"));
    RegnickProcess(newerDatabase.db, {}, newerDatabase.files).start();
    m_cluster.execute(newerDatabase.name, "UPDATE schema_version SET version = 99");
    QTest::newRow("postgresql:newerSchema") << newerDatabase.db << newer;

    // libpq quotes what it cannot read, here the password itself.
    QTest::newRow("malformedUri") << QStringLiteral("postgresql://parlonda:%1%zz@/x")
                                         .arg(QLatin1String(PostgresCluster::kPassword))
                                  << QByteArray("invalid percent-encoded token: \"***\"");
}

void TestAccountStore::databaseItCannotUse_refusesToStart()
{
    QFETCH(QString, db);
    QFETCH(QByteArray, reason);

    // What the service prints before it exits with status 1.
    std::string error;
    QVERIFY(!parlonda::AccountStore::open(db.toStdString(), error));
    const QByteArray said = QByteArray::fromStdString(error);
    // --check, read-only, refuses it alike.
    parlonda::DatabaseInspection found;
    std::string inspected;
    QVERIFY(!parlonda::inspectDatabase(db.toStdString(), found, inspected));
    QCOMPARE(inspected, error);
    QVERIFY2(said.contains(reason), said.constData());
    QVERIFY2(!said.contains(PostgresCluster::kPassword), said.constData());
}

QTEST_GUILESS_MAIN(TestAccountStore)
#include "account_store_test.moc"
