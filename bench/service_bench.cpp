// The service section of ./benchmark: parlonda-regnick as clients, slow ones
// and attackers meet it, each figure beside a reference measured in the same
// run. Prints a Markdown table (stdout) and progress (stderr).

#include "bench/report_table.h"
#include "bench/service_clients.h"
#include "server/signup/hash_pool.h"
#include "server/signup/password_hash.h"
#include "tests/server/haproxy_front.h"
#include "tests/server/notify_socket.h"
#include "tests/server/postgres_cluster.h"
#include "tests/server/regnick_client.h"
#include "tests/server/tls_connection.h"
#include "tests/support/test_certificates.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <latch>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace parlonda::bench;
using parlonda::test::PostgresCluster;
using parlonda::test::RawConnection;
using parlonda::test::RegnickProcess;
using namespace std::chrono_literals;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

void progress(const char *step)
{
    std::fprintf(stderr, "bench-service: %s\n", step);
}

bool sqliteExecute(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    const bool done = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
}

// The same number of Argon2id hashes as the service makes, on `workers`
// threads, no HTTP.
double bareHashesPerSecond(unsigned workers, int total)
{
    std::atomic<int> next = 0;
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now();
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            while (next++ < total) {
                if (!parlonda::hashPassword("clave-7"))
                    std::fprintf(stderr, "bench-service: out of memory for a hash\n");
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    return total / secondsSince(start);
}

// A sign-up rate against a reference rate, which it must reach `target`
// of with no sign-up failed.
Row rateRow(const QString &measure, double rate, double reference, double target, int failures)
{
    const double ratio = rate / reference;
    return {measure,
            number(rate, 1) + QStringLiteral("/s"),
            number(reference, 1) + QStringLiteral("/s"),
            number(ratio * 100, 1) + QStringLiteral(" %"),
            QStringLiteral("≥ %1 %").arg(target * 100),
            metOrMissedBy(ratio >= target && failures == 0,
                          number((target - ratio) * 100, 1) + QStringLiteral(" points"))};
}

// Registrations a second at 16 clients, against the bare hash rate on as
// many threads as the service has hash workers (its default).
Row throughput(QTemporaryDir &dir, unsigned workers)
{
    constexpr int kClients = 16;
    constexpr int kTotal = 96; // 6 per client: within the default rate
    constexpr int kRuns = 3;
    QList<double> service;
    QList<double> bare;
    int failures = 0;
    for (int run = 0; run < kRuns; ++run) {
        progress("throughput: bare hashes...");
        bare.append(bareHashesPerSecond(workers, kTotal));
        progress("throughput: sign-ups at 16 clients...");
        const auto s = startService(dir);
        service.append(signUpsPerSecond({s->port()}, kClients, kTotal, failures));
        s->stop();
    }
    return rateRow(QStringLiteral("Sign-ups a second, 16 clients at once, %1 sign-ups "
                                  "(median of %2 runs; %3 failed)")
                       .arg(kTotal)
                       .arg(kRuns)
                       .arg(failures),
                   median(service), median(bare), 0.9, failures);
}

// The same load with the accounts on PostgreSQL (a throwaway cluster on this
// machine, syncing every commit as SQLite does, a fresh database each run):
// one instance, then two sharing one database with the clients taking them
// in turn, beside one instance on SQLite. Every process shares the same
// processors.
QList<Row> onPostgres(QTemporaryDir &dir, unsigned workers)
{
    constexpr int kClients = 16;
    constexpr int kTotal = 96;
    constexpr int kRuns = 3;
    PostgresCluster cluster(PostgresCluster::Durability::SyncEveryCommit);
    QString error;
    if (!cluster.start(error))
        fail(error);
    QList<double> sqlite;
    QList<double> one;
    QList<double> two;
    int failures = 0;
    for (int run = 0; run < kRuns; ++run) {
        progress("throughput: one instance on SQLite...");
        {
            const auto s = startService(dir);
            sqlite.append(signUpsPerSecond({s->port()}, kClients, kTotal, failures));
            s->stop();
        }
        progress("throughput: one instance on PostgreSQL...");
        {
            const QString db = cluster.createDatabase(QStringLiteral("one%1").arg(run));
            RegnickProcess s(db, {}, dir.filePath(QStringLiteral("one%1").arg(run)));
            if (!s.start())
                fail(QStringLiteral("the service did not start on PostgreSQL"));
            one.append(signUpsPerSecond({s.port()}, kClients, kTotal, failures));
            s.stop();
        }
        progress("throughput: two instances on one PostgreSQL...");
        {
            const QString db = cluster.createDatabase(QStringLiteral("two%1").arg(run));
            RegnickProcess a(db, {}, dir.filePath(QStringLiteral("two%1a").arg(run)));
            RegnickProcess b(db, {}, dir.filePath(QStringLiteral("two%1b").arg(run)));
            if (!a.start() || !b.start())
                fail(QStringLiteral("two services did not start on PostgreSQL"));
            two.append(signUpsPerSecond({a.port(), b.port()}, kClients, kTotal, failures));
            a.stop();
            b.stop();
        }
    }
    const double twoRatio = median(two) / median(one);
    return {rateRow(QStringLiteral("Sign-ups a second as above, one instance on PostgreSQL "
                                   "(reference: one on SQLite; median of %1 runs; %2 failed in "
                                   "this block)")
                        .arg(kRuns)
                        .arg(failures),
                    median(one), median(sqlite), 0.9, failures),
            {QStringLiteral("Sign-ups a second as above, two instances on one PostgreSQL, "
                            "clients taking them in turn (reference: one instance on "
                            "PostgreSQL; median of %1 runs)")
                 .arg(kRuns),
             number(median(two), 1) + QStringLiteral("/s"),
             number(median(one), 1) + QStringLiteral("/s"),
             number(twoRatio, 2) + QStringLiteral("×"),
             QStringLiteral("none: %1 processors for both").arg(workers), QStringLiteral("–")}};
}

// A sign-up while 200 clients trickle headers and 500 sit idle, against the
// same sign-up on the quiet service; then how long a stop takes, against a
// stop of a quiet service. A stop waits --stop-timeout for requests under
// way, which the tricklers never finish: 1 s here.
QList<Row> underAttack(QTemporaryDir &dir)
{
    constexpr int kRuns = 5; // twice that is the default burst
    QList<Row> rows;
    double stopUnderAttack = 0;
    {
        const auto s = startService(dir, {QStringLiteral("--stop-timeout"), QStringLiteral("1")});
        progress("sign-up on a quiet service...");
        const double quiet = medianSignUpSeconds(s->port(), "127.0.0.1", kRuns, "quiet");
        progress("sign-up under 200 trickling and 500 idle connections...");
        Attack attack(s->port(), 500, 200);
        std::this_thread::sleep_for(3s); // let the tricklers trickle
        const double attacked = medianSignUpSeconds(s->port(), "127.0.0.1", kRuns, "attacked");
        rows.append(
            {QStringLiteral("Sign-up while 200 connections trickle headers at 1 byte/s "
                            "and 500 sit idle (%1 of them still open at the end; median "
                            "of %2)")
                 .arg(attack.open())
                 .arg(kRuns),
             number(attacked * 1000, 0) + QStringLiteral(" ms"),
             number(quiet * 1000, 0) + QStringLiteral(" ms"),
             signedNumber((attacked - quiet) * 1000, 0) + QStringLiteral(" ms"),
             QStringLiteral("≤ +1000 ms"),
             metOrMissedBy(attacked - quiet <= 1.0,
                           number((attacked - quiet - 1.0) * 1000, 0) + QStringLiteral(" ms"))});

        progress("stop under attack, sign-ups in progress...");
        std::vector<std::thread> signUps;
        for (int i = 0; i < 8; ++i) {
            signUps.emplace_back([&, i] {
                signUp(("127.0.4." + QByteArray::number(i + 1)).constData(), s->port(),
                       uniqueNick("stop", i));
            });
        }
        std::this_thread::sleep_for(50ms);
        const Clock::time_point start = Clock::now();
        s->stop(SIGTERM);
        stopUnderAttack = secondsSince(start);
        for (std::thread &t : signUps)
            t.join();
    }
    const auto s = startService(dir);
    const Clock::time_point start = Clock::now();
    s->stop(SIGTERM);
    const double quietStop = secondsSince(start);
    rows.append({QStringLiteral("SIGTERM to exit, with the attack above and 8 sign-ups under "
                                "way (one run; --stop-timeout 1, then at most 2 s)"),
                 number(stopUnderAttack * 1000, 0) + QStringLiteral(" ms"),
                 number(quietStop * 1000, 0) + QStringLiteral(" ms"),
                 signedNumber((stopUnderAttack - quietStop) * 1000, 0) + QStringLiteral(" ms"),
                 QStringLiteral("≤ 3000 ms"),
                 metOrMissedBy(stopUnderAttack <= 3.0,
                               number((stopUnderAttack - 3.0) * 1000, 0) + QStringLiteral(" ms"))});
    return rows;
}

// Silent connections, 16 from each of 63 addresses (1008, 8 more than the
// default --max-connections), each opened again as soon as the service
// closes it, so that they keep making room for one another;
// meanwhile new clients one after the other, 50 ms apart, each waiting at
// most 2 s for its answer: the slowest, against the same clients on the
// quiet service.
Row servedWhileSilentConnectionsHoldTheLimit(QTemporaryDir &dir)
{
    progress("new clients while silent connections hold --max-connections...");
    constexpr int kConnections = 63 * 16;
    constexpr int kClients = 20;
    const auto s = startService(dir);
    const auto slowest = [&](int &answered) {
        double worst = 0;
        for (int i = 0; i < kClients; ++i) {
            const Clock::time_point start = Clock::now();
            RawConnection probe("127.0.7.1", s->port());
            probe.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
            answered += parlonda::test::httpStatus(probe.readAll(2000)) == 404;
            worst = std::max(worst, secondsSince(start));
            std::this_thread::sleep_for(50ms);
        }
        return worst;
    };
    int answeredQuiet = 0;
    const double quiet = slowest(answeredQuiet);
    const auto source = [](std::size_t i) { return "127.0.6." + QByteArray::number(1 + i / 16); };
    std::vector<std::unique_ptr<RawConnection>> silent(kConnections);
    for (std::size_t i = 0; i < silent.size(); ++i)
        silent[i] = std::make_unique<RawConnection>(source(i).constData(), s->port());
    // Until the service has taken them all in: the ones over the limit made room.
    const auto closedNow = [&] {
        return std::count_if(silent.begin(), silent.end(),
                             [](const auto &c) { return c->closedWithin(0); });
    };
    for (const Clock::time_point start = Clock::now();
         closedNow() < kConnections - 1000 && secondsSince(start) < 10;)
        std::this_thread::sleep_for(10ms);
    std::atomic<bool> stop = false;
    std::atomic<int> reopened = 0;
    std::thread attacker([&] {
        while (!stop) {
            for (std::size_t i = 0; i < silent.size(); ++i) {
                if (silent[i]->closedWithin(0)) {
                    silent[i] = std::make_unique<RawConnection>(source(i).constData(), s->port());
                    ++reopened;
                }
            }
        }
    });
    int answered = 0;
    const double attacked = slowest(answered);
    stop = true;
    attacker.join();
    silent.clear();
    s->stop();
    const bool met = answered == kClients && attacked - quiet <= 0.25;
    return {QStringLiteral("Slowest of %1 new clients, one after the other, while %2 silent "
                           "connections from 63 addresses take turns at all of --max-connections, "
                           "each opened again once closed (%3 answered, %4 silent ones reopened; "
                           "reference: the same clients on the quiet service)")
                .arg(kClients)
                .arg(kConnections)
                .arg(answered)
                .arg(reopened.load()),
            number(attacked * 1000, 1) + QStringLiteral(" ms"),
            number(quiet * 1000, 1) + QStringLiteral(" ms"),
            signedNumber((attacked - quiet) * 1000, 1) + QStringLiteral(" ms"),
            QStringLiteral("all answered, ≤ +250 ms"),
            metOrMissedBy(met, answered < kClients
                                   ? QStringLiteral("%1 unanswered").arg(kClients - answered)
                                   : number((attacked - quiet - 0.25) * 1000, 1) +
                                         QStringLiteral(" ms"))};
}

// 1000 TLS connections, their handshakes done, then closed: the resident
// memory once the service has been idle a while (it hands freed memory
// back after a second with no connection), against before them.
Row tlsMemoryAtRest(QTemporaryDir &dir)
{
    progress("RSS at rest after 1000 TLS connections...");
    constexpr int kConnections = 1000;
    const parlonda::test::Pem pem = parlonda::test::TestCa().issue({"127.0.0.1"});
    const QString certificate = dir.filePath(QStringLiteral("bench-cert.pem"));
    const QString key = dir.filePath(QStringLiteral("bench-key.pem"));
    if (!parlonda::test::writeFile(certificate, pem.certificate) ||
        !parlonda::test::writeFile(key, pem.privateKey))
        fail(QStringLiteral("cannot write the certificate"));
    const auto s = startService(
        dir, {QStringLiteral("--tls-cert"), certificate, QStringLiteral("--tls-key"), key,
              QStringLiteral("--max-connections-per-address"), QString::number(kConnections)});
    const qint64 pid = s->processId();
    const double beforeMib = statusMibOf(pid, "VmRSS");
    int established = 0;
    double openMib = 0;
    {
        std::vector<std::unique_ptr<parlonda::test::TlsConnection>> open;
        for (int i = 0; i < kConnections; ++i) {
            open.push_back(std::make_unique<parlonda::test::TlsConnection>(s->port()));
            established += open.back()->established();
        }
        openMib = statusMibOf(pid, "VmRSS");
    }
    // At rest: the lowest reading over the next 5 s.
    double restMib = openMib;
    for (const Clock::time_point closed = Clock::now(); secondsSince(closed) < 5;) {
        std::this_thread::sleep_for(100ms);
        restMib = std::min(restMib, statusMibOf(pid, "VmRSS"));
    }
    s->stop();
    return {QStringLiteral("RSS at rest, 5 s after %1 TLS connections closed (%2 handshakes "
                           "done; %3 MiB while open; reference: before them)")
                .arg(kConnections)
                .arg(established)
                .arg(number(openMib, 1)),
            number(restMib, 1) + QStringLiteral(" MiB"),
            number(beforeMib, 1) + QStringLiteral(" MiB"),
            signedNumber(restMib - beforeMib, 1) + QStringLiteral(" MiB"),
            QStringLiteral("≤ +10 MiB"),
            metOrMissedBy(restMib - beforeMib <= 10,
                          number(restMib - beforeMib - 10, 1) + QStringLiteral(" MiB"))};
}

// Peak memory of a 64-client run, against the bound the hash pool sets.
Row peakMemory(QTemporaryDir &dir, unsigned workers)
{
    progress("peak RSS over 64 clients...");
    const auto s =
        startService(dir, {QStringLiteral("--rate"), QStringLiteral("0"),
                           QStringLiteral("--max-connections-per-address"), QStringLiteral("128")});
    const double idleMib = statusMibOf(s->processId(), "VmHWM");
    int failures = 0;
    signUpsPerSecond({s->port()}, 64, 128, failures);
    const double peakMib = statusMibOf(s->processId(), "VmHWM");
    s->stop();
    const double bound = workers * 64.0 + 64.0;
    return {QStringLiteral("Peak RSS (VmHWM) of the service, 64 clients, 128 sign-ups "
                           "(%1 workers; reference: just started)")
                .arg(workers),
            number(peakMib, 1) + QStringLiteral(" MiB"),
            number(idleMib, 1) + QStringLiteral(" MiB"),
            signedNumber(peakMib - idleMib, 1) + QStringLiteral(" MiB"),
            QStringLiteral("≤ %1 MiB").arg(number(bound, 0)),
            metOrMissedBy(peakMib <= bound, number(peakMib - bound, 1) + QStringLiteral(" MiB"))};
}

// Headers flooding every connection the service takes, each up to just under
// the per-connection memory.
Row headerFlood(QTemporaryDir &dir)
{
    progress("header flood...");
    constexpr int kConnections = 990; // the limit is 1000
    constexpr int kMemory = 32768;    // the default --connection-memory
    const auto s = startService(dir);
    const double beforeMib = statusMibOf(s->processId(), "VmHWM");
    std::vector<std::unique_ptr<RawConnection>> flood;
    // Long lines: many short ones run out of room for their records first,
    // and the service answers 431 and lets the connection go.
    QByteArray headers = "POST /cgi-bin/regnick.pl HTTP/1.1\r\n";
    for (int i = 0; headers.size() < kMemory * 3 / 4; ++i)
        headers += "X-" + QByteArray::number(i) + ": " + QByteArray(1000, 'v') + "\r\n";
    for (int i = 0; i < kConnections; ++i) {
        // 15 per address: under the per-address limit.
        auto c = std::make_unique<RawConnection>(
            ("127.0.2." + QByteArray::number(1 + i / 15)).constData(), s->port());
        c->send(headers);
        flood.push_back(std::move(c));
    }
    std::this_thread::sleep_for(2s); // let the service read what was sent
    const double floodMib = statusMibOf(s->processId(), "VmHWM");
    int open = 0;
    for (const auto &c : flood)
        open += !c->closedWithin(0);
    flood.clear();
    s->stop();
    const double boundMib = kMemory * 1000.0 / kMiB;
    return {QStringLiteral("Peak RSS growth, %1 connections each sending %2 KiB of headers "
                           "(%3 still open after 2 s; reference: the service before)")
                .arg(kConnections)
                .arg(number(static_cast<double>(headers.size()) / 1024.0, 1))
                .arg(open),
            number(floodMib, 1) + QStringLiteral(" MiB"),
            number(beforeMib, 1) + QStringLiteral(" MiB"),
            signedNumber(floodMib - beforeMib, 1) + QStringLiteral(" MiB"),
            QStringLiteral("≤ +%1 MiB (32 KiB × 1000)").arg(number(boundMib, 1)),
            metOrMissedBy(floodMib - beforeMib <= boundMib,
                          number(floodMib - beforeMib - boundMib, 1) + QStringLiteral(" MiB"))};
}

// The same sign-up again within the repeat window (one hash, like a new
// sign-up), and again once the accounts are older than the window (a
// look-up, no hash): each against a new sign-up, one after the other.
QList<Row> repeatAndTaken(QTemporaryDir &dir)
{
    progress("repeat and taken nick against new sign-up...");
    constexpr int kRuns = 20;
    const auto s = startService(dir, {QStringLiteral("--rate"), QStringLiteral("0")});
    const auto timed = [&](const QByteArray &nick, const char *expected,
                           const QByteArray &body = {}) {
        const SignUpAnswer answer = signUp("127.0.0.1", s->port(), nick, body);
        if (answer.body != expected)
            fail(QStringLiteral("expected %1, got %2").arg(expected, answer.body));
        return answer.seconds;
    };
    QList<QByteArray> nicks;
    QList<double> fresh;
    QList<double> repeated;
    // Guesses with a wrong password at an account within the window: the
    // right city, or a wrong one, in turns.
    QList<double> rightCity;
    QList<double> wrongCity;
    for (int i = 0; i < kRuns; ++i) {
        nicks.append(uniqueNick("dup", i));
        fresh.append(timed(nicks.last(), "OK"));
        repeated.append(timed(nicks.last(), "OK"));
        const QByteArray guess = parlonda::test::formWith(nicks.last(), "paswd", "adivina");
        const QByteArray otherCity = QByteArray(guess).replace("ciudad=", "ciudad=Otra");
        for (int turn = 0; turn < 2; ++turn) {
            if ((i + turn) % 2 == 0)
                rightCity.append(timed(nicks.last(), "Error", guess));
            else
                wrongCity.append(timed(nicks.last(), "Error", otherCity));
        }
    }
    if (!sqliteExecute(s->db(), "UPDATE accounts SET created_at = "
                                "strftime('%Y-%m-%dT%H:%M:%SZ', 'now', '-2 hours')"))
        fail(QStringLiteral("cannot age the accounts"));
    QList<double> taken;
    for (const QByteArray &nick : nicks)
        taken.append(timed(nick, "Error"));
    s->stop();

    const double slower = median(repeated) / median(fresh);
    const double faster = median(fresh) / median(taken);
    const double guessRatio = median(wrongCity) / median(rightCity);
    return {{QStringLiteral("Repeat answered: the same sign-up again within the window (median "
                            "of %1; reference: a new sign-up, both one hash)")
                 .arg(kRuns),
             number(median(repeated) * 1000, 1) + QStringLiteral(" ms"),
             number(median(fresh) * 1000, 1) + QStringLiteral(" ms"),
             number(slower, 2) + QStringLiteral("×"), QStringLiteral("≤ 1.5×"),
             metOrMissedBy(slower <= 1.5, number(slower - 1.5, 2) + QStringLiteral("×"))},
            {QStringLiteral("Taken nick answered: the same sign-up again outside the window "
                            "(median of %1; reference: a new sign-up)")
                 .arg(kRuns),
             number(median(taken) * 1000, 2) + QStringLiteral(" ms"),
             number(median(fresh) * 1000, 1) + QStringLiteral(" ms"),
             number(faster, 0) + QStringLiteral("× faster"), QStringLiteral("≥ 10×"),
             metOrMissedBy(faster >= 10, number(10 - faster, 1) + QStringLiteral("×"))},
            {QStringLiteral("Guess at an account within the window, wrong password: a wrong city "
                            "(median of %1; reference: the right city)")
                 .arg(kRuns),
             number(median(wrongCity) * 1000, 1) + QStringLiteral(" ms"),
             number(median(rightCity) * 1000, 1) + QStringLiteral(" ms"),
             number(guessRatio, 2) + QStringLiteral("×"), QStringLiteral("0.9–1.1×"),
             metOrMissedBy(guessRatio >= 0.9 && guessRatio <= 1.1,
                           number(guessRatio < 0.9 ? guessRatio - 0.9 : guessRatio - 1.1, 2) +
                               QStringLiteral("×"))}};
}

// Sign-ups a second through HAProxy in TCP mode with send-proxy-v2, against
// the same clients straight to the service; both trust 127.0.0.1, so the
// service reads the PROXY header on every connection that comes through it.
Row throughHaproxy(QTemporaryDir &dir)
{
    constexpr int kClients = 16;
    constexpr int kTotal = 96; // 6 per client: within the default rate
    constexpr int kRuns = 3;
    const QStringList trusting = {QStringLiteral("--trusted-proxy"), QStringLiteral("127.0.0.1")};
    QList<double> straight;
    QList<double> proxied;
    int failures = 0;
    for (int run = 0; run < kRuns; ++run) {
        progress("through HAProxy: straight to the service...");
        {
            const auto s = startService(dir, trusting);
            straight.append(signUpsPerSecond({s->port()}, kClients, kTotal, failures));
            s->stop();
        }
        progress("through HAProxy: through it...");
        const auto s = startService(dir, trusting);
        parlonda::test::HaproxyFront haproxy(s->port(), dir.path());
        if (!haproxy.start())
            fail(QStringLiteral("HAProxy did not start: ") + QString::fromUtf8(haproxy.output()));
        proxied.append(signUpsPerSecond({haproxy.port()}, kClients, kTotal, failures));
        s->stop();
    }
    return rateRow(QStringLiteral("Sign-ups a second through HAProxy (TCP, send-proxy-v2), 16 "
                                  "clients, %1 sign-ups (median of %2 runs; %3 failed; "
                                  "reference: straight to the service)")
                       .arg(kTotal)
                       .arg(kRuns)
                       .arg(failures),
                   median(proxied), median(straight), 0.95, failures);
}

// Three times what the workers can hash in --max-wait (2 s), arriving at
// once from as many loopback addresses: every sign-up answered, none
// acknowledged (so none stored) later than --max-wait plus 5 s after it was
// sent, and the shed ones answered at once.
QList<Row> burst(QTemporaryDir &dir, unsigned workers)
{
    constexpr int kMaxWait = 2;
    progress("burst: the hash rate...");
    const double rate = bareHashesPerSecond(workers, 20);
    const int total = int(3 * rate * kMaxWait);
    progress("burst: sign-ups all at once...");
    const auto s = startService(dir, {QStringLiteral("--max-wait"), QString::number(kMaxWait)});
    std::vector<SignUpAnswer> answers(static_cast<std::size_t>(total));
    std::latch go(1);
    std::vector<std::thread> clients;
    for (int i = 0; i < total; ++i) {
        clients.emplace_back([&, i] {
            const QByteArray source =
                "127.0." + QByteArray::number(50 + i / 250) + '.' + QByteArray::number(1 + i % 250);
            go.wait();
            answers[std::size_t(i)] = signUp(source.constData(), s->port(), uniqueNick("burst", i));
        });
    }
    go.count_down();
    for (std::thread &t : clients)
        t.join();
    s->stop();

    int registered = 0;
    int unanswered = 0;
    QList<double> shed;
    double latestRegistered = 0;
    for (const SignUpAnswer &a : answers) {
        if (a.status == 200 && a.body == "OK") {
            ++registered;
            latestRegistered = std::max(latestRegistered, a.seconds);
        } else if (a.status == 503) {
            shed.append(a.seconds);
        } else {
            ++unanswered;
        }
    }
    const double shedMedian = shed.isEmpty() ? 0 : median(shed);
    const QString what =
        QStringLiteral("%1 sign-ups at once from %1 addresses, 3× what %2 workers hash in "
                       "--max-wait %3 s (%4 registered, %5 shed, %6 neither)")
            .arg(total)
            .arg(workers)
            .arg(kMaxWait)
            .arg(registered)
            .arg(shed.size())
            .arg(unanswered);
    return {
        {QStringLiteral("Latest registered sign-up answered, after it was sent: ") + what,
         number(latestRegistered, 2) + QStringLiteral(" s"),
         QStringLiteral("%1 s (--max-wait)").arg(kMaxWait),
         signedNumber(latestRegistered - kMaxWait, 2) + QStringLiteral(" s"),
         QStringLiteral("≤ +5 s, every sign-up answered"),
         metOrMissedBy(latestRegistered <= kMaxWait + 5 && unanswered == 0,
                       unanswered > 0
                           ? QStringLiteral("%1 unanswered").arg(unanswered)
                           : number(latestRegistered - kMaxWait - 5, 2) + QStringLiteral(" s"))},
        {QStringLiteral("Shed sign-up answered 503, median (same burst)"),
         number(shedMedian * 1000, 1) + QStringLiteral(" ms"),
         QStringLiteral("%1 s (--max-wait)").arg(kMaxWait),
         number(shedMedian / kMaxWait * 100, 1) + QStringLiteral(" %"), QStringLiteral("≤ 50 ms"),
         metOrMissedBy(!shed.isEmpty() && shedMedian <= 0.05,
                       number(shedMedian * 1000 - 50, 1) + QStringLiteral(" ms"))},
    };
}

// From the start of the process to READY=1 on a notify socket, as systemd
// sees it, against the "listening on" line a script waits for.
Row startToReady(QTemporaryDir &dir)
{
    progress("start to READY=1...");
    constexpr int kRuns = 10;
    QList<double> toLine;
    QList<double> toReady;
    for (int i = 0; i < kRuns; ++i) {
        parlonda::test::NotifySocket notify(dir.filePath(QStringLiteral("notify%1").arg(i)));
        RegnickProcess service(dir.filePath(QStringLiteral("ready%1.db").arg(i)));
        service.setEnvironment({notify.environment()});
        const Clock::time_point start = Clock::now();
        // The line comes first, READY=1 right after it.
        if (!service.begin() || !service.waitUntilListening())
            fail(QStringLiteral("the service did not start"));
        toLine.append(secondsSince(start));
        if (!notify.waitFor("READY=1", 10000))
            fail(QStringLiteral("no READY=1 from the service"));
        toReady.append(secondsSince(start));
        service.stop();
    }
    return {QStringLiteral("Start to READY=1 on the notify socket, fresh database (median of %1; "
                           "reference: start to the \"listening on\" line)")
                .arg(kRuns),
            number(median(toReady) * 1000, 1) + QStringLiteral(" ms"),
            number(median(toLine) * 1000, 1) + QStringLiteral(" ms"),
            signedNumber((median(toReady) - median(toLine)) * 1000, 1) + QStringLiteral(" ms"),
            QStringLiteral("none set"),
            QStringLiteral("–")};
}

// SIGTERM while clients sign up, then a new service on the same port at
// once: the time from the signal to its first answer, against the same
// restart with no traffic. Connections closed by the service sit in
// TIME_WAIT on its port meanwhile.
Row restartAfterTraffic(QTemporaryDir &dir)
{
    progress("restart after traffic...");
    constexpr int kRuns = 5;
    constexpr int kClients = 8;
    const auto firstAnswer = [](quint16 port) {
        for (;;) {
            RawConnection probe("127.0.0.1", port);
            probe.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
            if (parlonda::test::httpStatus(probe.readAll(5000)) == 404)
                return;
            std::this_thread::sleep_for(1ms);
        }
    };
    const auto restart = [&](bool traffic) {
        const QString db = dir.filePath(QStringLiteral("restart%1.db").arg(traffic));
        auto first = std::make_unique<RegnickProcess>(
            db, QStringList{QStringLiteral("--rate"), QStringLiteral("0")});
        if (!first->start())
            fail(QStringLiteral("the service did not start"));
        const quint16 port = first->port();
        std::atomic<bool> stop = false;
        std::atomic<int> answered = 0;
        std::vector<std::thread> clients;
        for (int c = 0; traffic && c < kClients; ++c) {
            clients.emplace_back([&, c] {
                const QByteArray source = "127.0.4." + QByteArray::number(c + 1);
                for (int i = 0; !stop; ++i) {
                    if (signUp(source.constData(), port, uniqueNick("re", i)).status == 200)
                        ++answered;
                    else
                        std::this_thread::sleep_for(5ms); // refused while down
                }
            });
        }
        while (traffic && answered < 2 * kClients)
            std::this_thread::sleep_for(1ms);
        const Clock::time_point signalled = Clock::now();
        first->stop();
        RegnickProcess again(db, {QStringLiteral("--rate"), QStringLiteral("0"),
                                  QStringLiteral("--port"), QString::number(port)});
        if (!again.begin())
            fail(QStringLiteral("the service did not start again"));
        firstAnswer(port);
        const double seconds = secondsSince(signalled);
        stop = true;
        for (std::thread &t : clients)
            t.join();
        again.stop();
        return seconds;
    };
    QList<double> busy;
    QList<double> idle;
    for (int i = 0; i < kRuns; ++i) {
        busy.append(restart(true));
        idle.append(restart(false));
    }
    return {
        QStringLiteral("SIGTERM under traffic (%1 clients signing up) to the next start on the "
                       "same port answering (median of %2; reference: the same with no traffic)")
            .arg(kClients)
            .arg(kRuns),
        number(median(busy) * 1000, 0) + QStringLiteral(" ms"),
        number(median(idle) * 1000, 0) + QStringLiteral(" ms"),
        signedNumber((median(busy) - median(idle)) * 1000, 0) + QStringLiteral(" ms"),
        QStringLiteral("none set"),
        QStringLiteral("–")};
}

// Seconds until the answer to GET `path` is in, over a new connection.
double getSeconds(quint16 port, const QByteArray &path)
{
    const Clock::time_point start = Clock::now();
    RawConnection connection("127.0.0.1", port);
    connection.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (parlonda::test::httpStatus(connection.readAll(60000)) < 0)
        std::fprintf(stderr, "bench-service: no answer to %s\n", path.constData());
    return secondsSince(start);
}

// Sign-ups sent one after the other by `clients` threads until stop() (a
// client told 503 tries again 20 ms later), remembering when each "OK" came.
class SignUpLoad
{
public:
    SignUpLoad(quint16 port, int clients)
    {
        for (int c = 0; c < clients; ++c)
            m_threads.emplace_back([this, port, c] {
                const QByteArray source = "127.0.4." + QByteArray::number(c + 1);
                for (int i = 0; !m_stop; ++i) {
                    const QByteArray nick = uniqueNick("carga", i);
                    const SignUpAnswer a = signUp(source.constData(), port, nick);
                    const std::lock_guard lock(m_mutex);
                    if (a.status == 200 && a.body == "OK")
                        m_ok.append({Clock::now(), nick});
                    else if (a.status == 503)
                        std::this_thread::sleep_for(20ms);
                }
            });
    }
    ~SignUpLoad() { stop(); }
    void stop()
    {
        m_stop = true;
        for (std::thread &t : m_threads)
            if (t.joinable())
                t.join();
    }
    QList<std::pair<Clock::time_point, QByteArray>> ok()
    {
        const std::lock_guard lock(m_mutex);
        return m_ok;
    }

private:
    std::atomic<bool> m_stop = false;
    std::mutex m_mutex;
    QList<std::pair<Clock::time_point, QByteArray>> m_ok;
    std::vector<std::thread> m_threads;
};

// A 404 and /healthz while four clients' sign-ups wait on a PostgreSQL
// whose processes are all stopped (SIGSTOP), against the same with it up.
QList<Row> databaseFrozen(QTemporaryDir &dir)
{
    constexpr int kRuns = 20;
    PostgresCluster cluster;
    QString error;
    if (!cluster.start(error))
        fail(error);
    RegnickProcess s(cluster.createDatabase(QStringLiteral("frozen")),
                     {QStringLiteral("--rate"), QStringLiteral("0")},
                     dir.filePath(QStringLiteral("frozen")));
    if (!s.start())
        fail(QStringLiteral("the service did not start on PostgreSQL"));
    QHash<QByteArray, QList<double>> up;
    QHash<QByteArray, QList<double>> frozen;
    const QList<QByteArray> paths = {"/nada", "/healthz"};
    {
        progress("database frozen: answers with the database up...");
        SignUpLoad load(s.port(), 4);
        // Spread over two seconds: through a look-up's time-out and the
        // back-off after it.
        for (int i = 0; i < kRuns; ++i, std::this_thread::sleep_for(100ms))
            for (const QByteArray &path : paths)
                up[path].append(getSeconds(s.port(), path));
        progress("database frozen: answers with its processes stopped...");
        cluster.freeze();
        for (int i = 0; i < kRuns; ++i, std::this_thread::sleep_for(100ms))
            for (const QByteArray &path : paths)
                frozen[path].append(getSeconds(s.port(), path));
        cluster.freeze(SIGCONT);
    }
    s.stop();
    QList<Row> rows;
    for (const QByteArray &path : paths) {
        const double slowest = *std::max_element(frozen[path].begin(), frozen[path].end());
        rows.append({QStringLiteral("GET %1 answered while sign-ups wait on a stopped PostgreSQL "
                                    "(slowest of %2; reference: median, database up)")
                         .arg(QString::fromLatin1(path))
                         .arg(kRuns),
                     number(slowest * 1000, 2) + QStringLiteral(" ms"),
                     number(median(up[path]) * 1000, 2) + QStringLiteral(" ms"),
                     signedNumber((slowest - median(up[path])) * 1000, 2) + QStringLiteral(" ms"),
                     QStringLiteral("≤ 50 ms"),
                     metOrMissedBy(slowest <= 0.05,
                                   number(slowest * 1000 - 50, 1) + QStringLiteral(" ms"))});
    }
    return rows;
}

// One fail-over while `clients` sign up: the primary (with a synchronous
// standby) stopped, or frozen (SIGSTOP to all its processes, as a machine
// that hangs), and the standby promoted; the service, on a URI naming both,
// goes on by itself. The time from the promotion to the first "OK", what
// the promotion itself took, and the sign-ups answered "OK" that the new
// primary does not have.
struct FailOver
{
    std::optional<double> toFirstOk;
    double promotion = 0;
    qsizetype ok = 0;
    int missing = 0;
};

FailOver failOver(QTemporaryDir &dir, bool frozen, int clients, int run = 0,
                  std::chrono::milliseconds beforePromoting = {})
{
    PostgresCluster primary;
    PostgresCluster standby;
    QString error;
    if (!primary.start(error) || !standby.startStandbyOf(primary, error))
        fail(error);
    primary.createDatabase(QStringLiteral("failover"));
    RegnickProcess s(primary.uri(QStringLiteral("failover"), {&standby}),
                     {QStringLiteral("--rate"), QStringLiteral("0")},
                     dir.filePath(QStringLiteral("failover-%1-%2-%3")
                                      .arg(frozen ? "frozen" : "stopped")
                                      .arg(clients)
                                      .arg(run)));
    if (!s.start())
        fail(QStringLiteral("the service did not start on PostgreSQL"));
    progress("fail-over: sign-ups on the primary...");
    SignUpLoad load(s.port(), clients);
    while (load.ok().size() < 10)
        std::this_thread::sleep_for(10ms);
    progress(frozen ? "fail-over: primary frozen, standby promoted..."
                    : "fail-over: primary stopped, standby promoted...");
    if (frozen)
        primary.freeze();
    else
        primary.stop();
    std::this_thread::sleep_for(beforePromoting);
    const Clock::time_point promoting = Clock::now();
    if (!standby.promote(error))
        fail(error);
    FailOver result;
    result.promotion = secondsSince(promoting);
    const Clock::time_point deadline = Clock::now() + 30s;
    const auto firstOkAfter = [&]() -> std::optional<Clock::time_point> {
        for (const auto &[when, nick] : load.ok())
            if (when > promoting)
                return when;
        return std::nullopt;
    };
    while (!firstOkAfter() && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    load.stop();
    if (const std::optional<Clock::time_point> first = firstOkAfter())
        result.toFirstOk = std::chrono::duration<double>(*first - promoting).count();
    const QList<std::pair<Clock::time_point, QByteArray>> ok = load.ok();
    result.ok = ok.size();
    for (const auto &[when, nick] : ok)
        if (standby
                .rows(QStringLiteral("failover"), "SELECT 1 FROM accounts WHERE nick = $1", {nick})
                .isEmpty())
            ++result.missing;
    s.stop();
    if (frozen)
        primary.freeze(SIGCONT);
    return result;
}

QString secondsOrNone(const std::optional<double> &seconds)
{
    return seconds ? number(*seconds, 2) + QStringLiteral(" s") : QStringLiteral("none in 30 s");
}

QList<Row> failover(QTemporaryDir &dir)
{
    const FailOver stopped = failOver(dir, false, 2);
    // The standby promoted a second after the primary was lost, as an
    // operator or a tool would; eight clients, so that some come after the
    // ones caught waiting on the frozen primary until their time runs out;
    // the median of a few runs of each, seconds from the promotion (30 when
    // no "OK" came).
    constexpr int kClients = 8;
    constexpr int kRuns = 3;
    constexpr auto kBeforePromoting = 1s;
    QList<double> stoppedMany;
    QList<double> frozen;
    int missing = 0;
    for (int run = 0; run < kRuns; ++run) {
        stoppedMany.append(
            failOver(dir, false, kClients, run, kBeforePromoting).toFirstOk.value_or(30));
        const FailOver once = failOver(dir, true, kClients, run, kBeforePromoting);
        frozen.append(once.toFirstOk.value_or(30));
        missing += once.missing;
    }
    const double target = 2 * median(stoppedMany) + 2;
    return {
        {QStringLiteral("Fail-over: from pg_ctl promote to the first sign-up answered \"OK\" "
                        "(2 clients; reference: the promotion itself)"),
         secondsOrNone(stopped.toFirstOk), number(stopped.promotion, 2) + QStringLiteral(" s"),
         signedNumber(stopped.toFirstOk.value_or(30) - stopped.promotion, 2) + QStringLiteral(" s"),
         QStringLiteral("none set"), QStringLiteral("–")},
        {QStringLiteral("Fail-over: sign-ups answered \"OK\" missing on the new primary "
                        "(reference: all answered \"OK\")"),
         QString::number(stopped.missing), QString::number(stopped.ok),
         QString::number(stopped.ok - stopped.missing) + QStringLiteral(" kept"),
         QStringLiteral("0"),
         metOrMissedBy(stopped.missing == 0, QString::number(stopped.missing))},
        {QStringLiteral("Fail-over from a frozen primary (SIGSTOP to its processes), the "
                        "standby promoted 1 s later: from pg_ctl promote to the first \"OK\", "
                        "%1 clients (median of %2 runs; %3 \"OK\" missing on the new primary; "
                        "reference: the same with the primary stopped)")
             .arg(kClients)
             .arg(kRuns)
             .arg(missing),
         number(median(frozen), 2) + QStringLiteral(" s"),
         number(median(stoppedMany), 2) + QStringLiteral(" s"),
         signedNumber(median(frozen) - median(stoppedMany), 2) + QStringLiteral(" s"),
         QStringLiteral("≤ 2× + 2 s, none missing"),
         metOrMissedBy(median(frozen) <= target && missing == 0,
                       number(median(frozen) - target, 2) + QStringLiteral(" s"))}};
}

// A listening socket on 127.0.0.1 and a free port, as a socket unit holds
// it across restarts; -1 on failure.
int heldSocket(quint16 &port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd, 1024) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// As systemd restarts the service: SIGTERM while sign-ups wait for a hash,
// more coming meanwhile, then a new process on the same socket. Every
// sign-up must be answered: "OK", or 503 with Retry-After when the queue
// did not fit in --stop-timeout.
Row restartOnOneSocket(QTemporaryDir &dir)
{
    progress("sign-ups across a restart on one socket...");
    constexpr int kRuns = 3;
    constexpr int kAtOnce = 64;
    constexpr int kDuringStop = 32;
    int total = 0;
    int unanswered = 0;
    int told503 = 0;
    for (int run = 0; run < kRuns; ++run) {
        quint16 port = 0;
        const int socket = heldSocket(port);
        if (socket < 0)
            fail(QStringLiteral("cannot listen on 127.0.0.1"));
        const QString db = dir.filePath(QStringLiteral("one-socket%1.db").arg(run));
        const QStringList arguments = {QStringLiteral("--rate"), QStringLiteral("0")};
        auto first = std::make_unique<RegnickProcess>(db, arguments);
        first->passSockets({socket});
        if (!first->start())
            fail(QStringLiteral("the service did not start"));
        std::vector<std::thread> clients;
        std::vector<int> statuses(kAtOnce + kDuringStop, 0);
        const auto signUpAs = [&](int i) {
            clients.emplace_back([&, i] {
                const QByteArray source = "127.0.5." + QByteArray::number(i % 250 + 1);
                statuses[std::size_t(i)] =
                    signUp(source.constData(), port, uniqueNick("one", i)).status;
            });
        };
        for (int i = 0; i < kAtOnce; ++i)
            signUpAs(i);
        while (!first->log().contains(" registered 200"))
            std::this_thread::sleep_for(1ms);
        ::kill(static_cast<pid_t>(first->processId()), SIGTERM);
        for (int i = kAtOnce; i < kAtOnce + kDuringStop; ++i) {
            signUpAs(i);
            std::this_thread::sleep_for(20ms);
        }
        first->stop();
        RegnickProcess again(db, arguments);
        again.passSockets({socket});
        if (!again.start())
            fail(QStringLiteral("the service did not start again"));
        for (std::thread &t : clients)
            t.join();
        again.stop();
        ::close(socket);
        for (const int status : statuses) {
            ++total;
            unanswered += status != 200 && status != 503;
            told503 += status == 503;
        }
    }
    return {QStringLiteral("Sign-ups in flight across SIGTERM and a new process on the same "
                           "socket, as systemd restarts it: %1 at once, %2 more during the stop "
                           "(%3 runs; unanswered of all, and told 503 to retry)")
                .arg(kAtOnce)
                .arg(kDuringStop)
                .arg(kRuns),
            QStringLiteral("%1 of %2 unanswered").arg(unanswered).arg(total),
            QStringLiteral("%1 told 503").arg(told503),
            QStringLiteral("–"),
            QStringLiteral("none unanswered"),
            metOrMissedBy(unanswered == 0, QStringLiteral("%1 unanswered").arg(unanswered))};
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (sodium_init() < 0)
        return 1;
    raiseDescriptorLimit();
    std::signal(SIGPIPE, SIG_IGN);
    QTemporaryDir dir;
    // As many as the service's hash workers by default.
    const unsigned workers = parlonda::processorCount();

    QList<Row> rows;
    rows.append(throughput(dir, workers));
    rows.append(throughHaproxy(dir));
    rows.append(burst(dir, workers));
    rows.append(onPostgres(dir, workers));
    rows.append(underAttack(dir));
    rows.append(servedWhileSilentConnectionsHoldTheLimit(dir));
    rows.append(peakMemory(dir, workers));
    rows.append(headerFlood(dir));
    rows.append(tlsMemoryAtRest(dir));
    rows.append(repeatAndTaken(dir));
    rows.append(startToReady(dir));
    rows.append(restartAfterTraffic(dir));
    rows.append(restartOnOneSocket(dir));
    rows.append(databaseFrozen(dir));
    rows.append(failover(dir));
    QString text =
        tableText(QStringLiteral("service measure"), QStringLiteral("parlonda-regnick"), rows);
    text +=
        QStringLiteral(
            "\nService: defaults (%1 hash workers, 10 sign-ups a minute per "
            "address, 1000 connections, 16 per address, 60 s idle and request time-outs, 32 KiB "
            "per connection) unless the row says otherwise; a fresh database per "
            "row; every client a separate loopback address (127.0.0.0/8).\n")
            .arg(workers);
    text += machineDateAndCommand();
    std::fputs(text.toUtf8().constData(), stdout);
    return 0;
}
