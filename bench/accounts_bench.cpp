// The accounts section of ./benchmark: `parlonda-regnick accounts` on
// 100,000 accounts, each figure beside a reference measured in the same
// run: the sqlite3 shell, psql's \copy, sign-ups with no backup under way,
// one password hash. Prints a Markdown table (stdout) and progress (stderr).

#include "bench/process_stats.h"
#include "bench/report_table.h"
#include "bench/service_clients.h"
#include "server/signup/password_hash.h"
#include "server/store/account_store.h"
#include "tests/server/postgres_cluster.h"

#include <QCoreApplication>
#include <QFile>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <sodium.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace parlonda::bench;
using parlonda::test::PostgresCluster;
using parlonda::test::RegnickProcess;

extern char **environ;

namespace {

constexpr int kAccounts = 100000;

void progress(const char *step)
{
    std::fprintf(stderr, "bench-accounts: %s\n", step);
}

struct Ran
{
    double seconds = 0;
    double peakMib = 0;
    int status = -1;
};

// Runs a program to its end, standard output to `output` (and standard
// input from `input`), timing it and reading its peak resident set size.
// That comes from GNU time, which forks the program from a small process
// of its own: a child spawned from here would count this process's pages.
Ran run(const QStringList &arguments, const char *output = "/dev/null", const char *input = nullptr)
{
    static QTemporaryDir scratch;
    const QString peakFile = scratch.filePath(QStringLiteral("peak"));
    std::vector<QByteArray> bytes = {"/usr/bin/time", "-f", "%M", "-o",
                                     QFile::encodeName(peakFile)};
    for (const QString &argument : arguments)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, output, O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (input)
        posix_spawn_file_actions_addopen(&files, STDIN_FILENO, input, O_RDONLY, 0);
    Ran ran;
    pid_t pid = 0;
    const Clock::time_point start = Clock::now();
    if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0)
        fail(QStringLiteral("cannot run ") + arguments.first());
    posix_spawn_file_actions_destroy(&files);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ran.seconds = secondsSince(start);
    QFile peak(peakFile);
    ran.peakMib =
        peak.open(QIODevice::ReadOnly) ? peak.readAll().trimmed().toDouble() / 1024.0 : -1;
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

QStringList accounts(const QString &action, const QStringList &rest)
{
    return QStringList{RegnickProcess::program(), QStringLiteral("accounts"), action} + rest;
}

// An SQLite file of the newest schema with `count` accounts, each with a
// hash of the real form.
QString sqliteWith(QTemporaryDir &dir, const QString &name, int count)
{
    const QString path = dir.filePath(name);
    std::string error;
    if (!parlonda::AccountStore::open(path.toStdString(), error))
        fail(QString::fromStdString(error));
    const QByteArray sql =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        QByteArray::number(count) +
        ") INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, "
        "password_hash) SELECT 'Usuario' || i, 'usuario' || i, 'Nombre Núñez ' || i, "
        "'usuario' || i || '@example.org', '+51 84 555 ' || i, 'Cuzco', 'Perú', "
        "'$argon2id$v=19$m=65536,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA$' || hex(randomblob(32)) FROM n";
    sqlite3 *db = nullptr;
    const bool done = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!done)
        fail(QStringLiteral("cannot fill ") + path);
    return path;
}

Row ratioRow(const QString &measure, double measured, double reference, const QString &unit,
             double most)
{
    const double ratio = measured / reference;
    return {measure,
            number(measured, 3) + unit,
            number(reference, 3) + unit,
            number(ratio, 2) + QStringLiteral("×"),
            QStringLiteral("≤ %1×").arg(most),
            metOrMissedBy(ratio <= most, number(ratio - most, 2) + QStringLiteral("×"))};
}

// list --json against the sqlite3 shell's -json of the same rows.
QList<Row> listing(const QString &db, const QString &few)
{
    constexpr int kRuns = 3;
    progress("list --json of 100,000 accounts, and sqlite3 -json...");
    const QString columns = QStringLiteral(
        "SELECT nick, nick_key, names, email, phone, city, country, created_at, status, "
        "locked_reason, locked_at FROM accounts ORDER BY id");
    QList<double> ours, shell, oursMib, shellMib, fewMib;
    for (int i = 0; i < kRuns; ++i) {
        const Ran listed = run(accounts(QStringLiteral("list"),
                                        {QStringLiteral("--json"), QStringLiteral("--db"), db}));
        const Ran json = run({QStringLiteral("sqlite3"), QStringLiteral("-json"), db, columns});
        if (listed.status != 0 || json.status != 0)
            fail(QStringLiteral("a listing failed"));
        ours.append(listed.seconds);
        oursMib.append(listed.peakMib);
        shell.append(json.seconds);
        shellMib.append(json.peakMib);
        fewMib.append(run(accounts(QStringLiteral("list"),
                                   {QStringLiteral("--json"), QStringLiteral("--db"), few}))
                          .peakMib);
    }
    const double extra = median(oursMib) - median(shellMib);
    return {ratioRow(QStringLiteral("accounts list --json, 100,000 accounts (reference: sqlite3 "
                                    "-json of the same columns; median of %1)")
                         .arg(kRuns),
                     median(ours), median(shell), QStringLiteral(" s"), 1.5),
            {QStringLiteral("accounts list --json, 100,000 accounts: peak resident memory "
                            "(reference: sqlite3 -json; the same list of 10 accounts: %1 MiB)")
                 .arg(number(median(fewMib), 1)),
             number(median(oursMib), 1) + QStringLiteral(" MiB"),
             number(median(shellMib), 1) + QStringLiteral(" MiB"),
             signedNumber(extra, 1) + QStringLiteral(" MiB"), QStringLiteral("≤ +50 MiB"),
             metOrMissedBy(extra <= 50, number(extra - 50, 1) + QStringLiteral(" MiB"))}};
}

// Sign-ups a second to a service on the 100,000 accounts, while backups
// follow one another, against the same with none.
Row signUpsDuringBackup(QTemporaryDir &dir, const QString &db)
{
    constexpr int kClients = 16;
    constexpr int kTotal = 96;
    constexpr int kRuns = 3;
    RegnickProcess service(db, {QStringLiteral("--rate"), QStringLiteral("0")});
    if (!service.start())
        fail(QStringLiteral("the service did not start"));
    QList<double> quiet, backedUp;
    int failures = 0;
    int backups = 0;
    for (int i = 0; i < kRuns; ++i) {
        progress("sign-ups with no backup...");
        quiet.append(signUpsPerSecond({service.port()}, kClients, kTotal, failures));
        progress("sign-ups during backups...");
        std::atomic<bool> stop = false;
        std::thread backing([&] {
            while (!stop) {
                const QString file = dir.filePath(QStringLiteral("backup%1.db").arg(backups++));
                if (run(accounts(QStringLiteral("backup"), {file, QStringLiteral("--db"), db}))
                        .status != 0)
                    fail(QStringLiteral("a backup failed"));
                QFile::remove(file);
            }
        });
        backedUp.append(signUpsPerSecond({service.port()}, kClients, kTotal, failures));
        stop = true;
        backing.join();
    }
    service.stop();
    const double ratio = median(backedUp) / median(quiet);
    return {QStringLiteral("Sign-ups a second, 16 clients, to a service on 100,000 accounts while "
                           "accounts backup runs again and again (%1 backups; reference: no "
                           "backup; median of %2; %3 failed)")
                .arg(backups)
                .arg(kRuns)
                .arg(failures),
            number(median(backedUp), 1) + QStringLiteral("/s"),
            number(median(quiet), 1) + QStringLiteral("/s"),
            number(ratio * 100, 1) + QStringLiteral(" %"),
            QStringLiteral("≥ 80 %"),
            metOrMissedBy(ratio >= 0.8 && failures == 0,
                          number((0.8 - ratio) * 100, 1) + QStringLiteral(" points"))};
}

// copy --to PostgreSQL against psql's \copy of the same rows from CSV.
Row copyToPostgres(QTemporaryDir &dir, const QString &db)
{
    constexpr int kRuns = 3;
    PostgresCluster cluster;
    QString error;
    if (!cluster.start(error))
        fail(error);
    const QString csv = dir.filePath(QStringLiteral("accounts.csv"));
    const QString columns = QStringLiteral("nick, nick_key, names, email, phone, city, country, "
                                           "created_at, status, password_hash");
    if (run({QStringLiteral("sqlite3"), QStringLiteral("-csv"), db,
             QStringLiteral("SELECT %1 FROM accounts").arg(columns)},
            QFile::encodeName(csv).constData())
            .status != 0)
        fail(QStringLiteral("sqlite3 -csv failed"));
    QList<double> ours, psql;
    for (int i = 0; i < kRuns; ++i) {
        progress("copy to PostgreSQL, and psql \\copy...");
        const QString target = cluster.createDatabase(QStringLiteral("copy%1").arg(i));
        const Ran copied = run(accounts(
            QStringLiteral("copy"), {QStringLiteral("--to"), target, QStringLiteral("--db"), db}));
        const QString reference = cluster.createDatabase(QStringLiteral("psql%1").arg(i));
        std::string made;
        if (!parlonda::AccountStore::open(reference.toStdString(), made))
            fail(QString::fromStdString(made));
        const Ran loaded = run(
            {QStringLiteral("psql"), QStringLiteral("-q"), reference, QStringLiteral("-c"),
             QStringLiteral("\\copy accounts (%1) FROM '%2' WITH (FORMAT csv)").arg(columns, csv)});
        if (copied.status != 0 || loaded.status != 0)
            fail(QStringLiteral("a copy failed"));
        ours.append(copied.seconds);
        psql.append(loaded.seconds);
    }
    return ratioRow(QStringLiteral("accounts copy of 100,000 accounts, SQLite to PostgreSQL, one "
                                   "transaction (reference: psql \\copy of the same rows from CSV "
                                   "into the same table; median of %1)")
                        .arg(kRuns),
                    median(ours), median(psql), QStringLiteral(" s"), 2);
}

// lock, delete and set-password on the database of a running service,
// each a whole run of the command, median of 20.
QList<Row> changes(const QString &db)
{
    constexpr int kRuns = 20;
    RegnickProcess service(db, {QStringLiteral("--rate"), QStringLiteral("0")});
    if (!service.start())
        fail(QStringLiteral("the service did not start"));
    QTemporaryDir scratch;
    const QString password = scratch.filePath(QStringLiteral("password"));
    QFile file(password);
    if (!file.open(QIODevice::WriteOnly) || file.write("nueva-se\xc3\xb1"
                                                       "al\n") < 0)
        fail(QStringLiteral("cannot write ") + password);
    file.close();
    QList<double> locked, deleted, set, hashes;
    progress("lock, delete and set-password, 20 of each...");
    for (int i = 0; i < kRuns; ++i) {
        const QString nick = QStringLiteral("usuario%1").arg(i + 1);
        const QStringList onDb = {QStringLiteral("--db"), db};
        const Ran l = run(
            accounts(QStringLiteral("lock"),
                     QStringList{nick, QStringLiteral("--reason"), QStringLiteral("spam")} + onDb));
        const Ran s = run(accounts(QStringLiteral("set-password"), QStringList{nick} + onDb),
                          "/dev/null", QFile::encodeName(password).constData());
        const Ran d = run(accounts(QStringLiteral("delete"), QStringList{nick} + onDb));
        if (l.status != 0 || s.status != 0 || d.status != 0)
            fail(QStringLiteral("a change failed"));
        locked.append(l.seconds * 1000);
        set.append(s.seconds);
        deleted.append(d.seconds * 1000);
        const Clock::time_point start = Clock::now();
        parlonda::hashPassword("nueva-señal");
        hashes.append(secondsSince(start));
    }
    service.stop();
    const auto within = [](const QString &measure, double ms) -> Row {
        return {measure,
                number(ms, 1) + QStringLiteral(" ms"),
                QStringLiteral("–"),
                QStringLiteral("–"),
                QStringLiteral("≤ 50 ms"),
                metOrMissedBy(ms <= 50, number(ms - 50, 1) + QStringLiteral(" ms"))};
    };
    return {within(QStringLiteral("accounts lock on a running service's 100,000 accounts, the "
                                  "whole command (median of 20)"),
                   median(locked)),
            within(QStringLiteral("accounts delete on a running service's 100,000 accounts, the "
                                  "whole command, checkpoint included (median of 20)"),
                   median(deleted)),
            ratioRow(QStringLiteral("accounts set-password on a running service's 100,000 "
                                    "accounts, the whole command (reference: one password hash "
                                    "as a sign-up makes it; median of 20)"),
                     median(set), median(hashes), QStringLiteral(" s"), 1.2)};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (sodium_init() < 0)
        return 1;
    QTemporaryDir dir;
    progress("filling 100,000 accounts...");
    const QString db = sqliteWith(dir, QStringLiteral("many.db"), kAccounts);
    const QString few = sqliteWith(dir, QStringLiteral("few.db"), 10);

    QList<Row> rows = listing(db, few);
    rows.append(signUpsDuringBackup(dir, db));
    rows.append(copyToPostgres(dir, db));
    rows.append(changes(db));

    QString text =
        tableText(QStringLiteral("accounts measure"), QStringLiteral("parlonda-regnick"), rows);
    text += QStringLiteral("\nAccounts: 100,000 in SQLite (WAL), each with a hash of the real "
                           "form; PostgreSQL on a throwaway cluster on this machine.\n");
    text += machineDateAndCommand();
    std::fputs(text.toUtf8().constData(), stdout);
    return 0;
}
