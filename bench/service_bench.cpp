// The service section of ./benchmark: parlonda-regnick as clients, slow ones
// and attackers meet it, each figure beside a reference measured in the same
// run. Prints a Markdown table (stdout) and progress (stderr).

#include "bench/process_stats.h"
#include "tests/server/postgres_cluster.h"
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_process.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <latch>
#include <memory>
#include <sodium.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace parlonda::bench;
using parlonda::test::httpStatus;
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

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// "Name:   1234 kB" from /proc/PID/status, in MiB; -1 when missing.
double statusMibOf(qint64 pid, QByteArrayView name)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name) && line.size() > name.size() && line[name.size()] == ':')
            return line.mid(name.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

QByteArray signUpBody(const QByteArray &nick)
{
    return "nick=" + nick +
           "&nombres=Ana+Mar%EDa&email=ana%40example.org&tel=555&ciudad=Quito&pais=Ecuador"
           "&paswd=clave-secreta-7";
}

struct Answer
{
    int status = -1;
    QByteArray body;
    double seconds = 0;
};

// One sign-up over its own connection from `source`, as the dialog sends it.
Answer signUp(const char *source, quint16 port, const QByteArray &nick)
{
    const QByteArray body = signUpBody(nick);
    const Clock::time_point start = Clock::now();
    RawConnection connection(source, port);
    connection.send("POST /cgi-bin/regnick.pl HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const QByteArray answer = connection.readAll(60000);
    Answer a;
    a.seconds = secondsSince(start);
    a.status = httpStatus(answer);
    a.body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    return a;
}

QByteArray uniqueNick(const char *prefix, int i)
{
    static std::atomic<int> serial = 0;
    return prefix + QByteArray::number(i) + "x" + QByteArray::number(serial++);
}

// A service on a fresh database.
std::unique_ptr<RegnickProcess> startService(QTemporaryDir &dir, const QStringList &arguments)
{
    static int count = 0;
    auto service = std::make_unique<RegnickProcess>(
        dir.filePath(QStringLiteral("bench%1.db").arg(count++)), arguments);
    if (!service->start()) {
        std::fprintf(stderr, "bench-service: the service did not start\n");
        std::exit(1);
    }
    return service;
}

// --- Throughput ----------------------------------------------------------

// `total` sign-ups from `clients` clients at once, each from its own loopback
// address, taking the services at `ports` in turn; sign-ups a second.
double signUpsPerSecond(const QList<quint16> &ports, int clients, int total, int &failures)
{
    std::atomic<int> next = 0;
    std::atomic<int> failed = 0;
    std::latch go(1);
    std::vector<std::thread> threads;
    std::vector<QByteArray> sources;
    for (int c = 0; c < clients; ++c)
        sources.push_back("127.0.3." + QByteArray::number(c + 1));
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            go.wait();
            for (int i = next++; i < total; i = next++) {
                const Answer a =
                    signUp(sources[c].constData(), ports[i % ports.size()], uniqueNick("tp", i));
                if (a.status != 200 || a.body != "OK")
                    ++failed;
            }
        });
    }
    const Clock::time_point start = Clock::now();
    go.count_down();
    for (std::thread &t : threads)
        t.join();
    failures += failed;
    return total / secondsSince(start);
}

// The same number of Argon2id hashes on `workers` threads, no HTTP.
double bareHashesPerSecond(unsigned workers, int total)
{
    std::atomic<int> next = 0;
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now();
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            char hash[crypto_pwhash_STRBYTES];
            const char password[] = "clave-secreta-7";
            while (next++ < total) {
                if (crypto_pwhash_str(hash, password, sizeof password - 1,
                                      crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                      crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
                    std::fprintf(stderr, "bench-service: out of memory for a hash\n");
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    return total / secondsSince(start);
}

// --- Hostile clients -------------------------------------------------------

// Connections that hold the service's sockets: `idle` ones that send
// nothing, and `trickling` ones that send their request header one byte a
// second and never finish it.
class Attack
{
public:
    Attack(quint16 port, int idle, int trickling) : m_port(port)
    {
        // 10 per address, under the service's per-address limit.
        for (int i = 0; i < idle; ++i)
            m_idle.push_back(std::make_unique<RawConnection>(
                ("127.0.1." + QByteArray::number(1 + i / 10)).constData(), port));
        for (int i = 0; i < trickling; ++i)
            m_trickling.push_back(std::make_unique<RawConnection>(
                ("127.0.0." + QByteArray::number(2 + i / 10)).constData(), port));
        m_thread = std::thread([this] { trickle(); });
    }
    ~Attack()
    {
        m_stop = true;
        m_thread.join();
    }

    // Connections the service still holds open.
    int open() const
    {
        int count = 0;
        for (const auto *list : {&m_idle, &m_trickling}) {
            for (const auto &c : *list)
                count += c->connected() && !c->closedWithin(0);
        }
        return count;
    }
    int total() const { return static_cast<int>(m_idle.size() + m_trickling.size()); }

private:
    void trickle()
    {
        const QByteArray header = "POST /cgi-bin/regnick.pl HTTP/1.1\r\nX-Slow: "
                                  "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
        for (int second = 0; !m_stop; ++second) {
            for (const auto &c : m_trickling)
                c->send(header.mid(second % header.size(), 1));
            for (int i = 0; i < 100 && !m_stop; ++i)
                std::this_thread::sleep_for(10ms);
        }
    }

    quint16 m_port;
    std::vector<std::unique_ptr<RawConnection>> m_idle;
    std::vector<std::unique_ptr<RawConnection>> m_trickling;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

double medianSignUpSeconds(quint16 port, const char *source, int runs, const char *prefix)
{
    QList<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const Answer a = signUp(source, port, uniqueNick(prefix, i));
        if (a.status != 200)
            std::fprintf(stderr, "bench-service: sign-up answered %d\n", a.status);
        seconds.append(a.seconds);
    }
    return median(seconds);
}

// --- Report ------------------------------------------------------------------

struct Row
{
    QString measure, service, reference, comparison, target, met;
};

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// "+24" or "-7": a difference with its sign.
QString signedNumber(double value, int decimals)
{
    return (value >= 0 ? QStringLiteral("+") : QString()) + number(value, decimals);
}

QString met(bool ok, const QString &missedBy)
{
    return ok ? QStringLiteral("yes") : QStringLiteral("**no**, by ") + missedBy;
}

QString machine()
{
    QString cpu = QStringLiteral("unknown CPU");
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    return QStringLiteral("%1 processors (nproc) of %2, %3 GiB RAM, %4 %5, %6")
        .arg(std::thread::hardware_concurrency())
        .arg(cpu)
        .arg(number(static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                        static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0 / kMiB,
                    1))
        .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), QSysInfo::prettyProductName());
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
    const unsigned workers = std::thread::hardware_concurrency();
    QList<Row> rows;

    // Registrations a second at 16 clients, against the bare hash rate on as
    // many threads as the service has hash workers (its default).
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
            const auto s = startService(dir, {});
            service.append(signUpsPerSecond({s->port()}, kClients, kTotal, failures));
            s->stop();
        }
        const double ratio = median(service) / median(bare);
        rows.append({QStringLiteral("Sign-ups a second, 16 clients at once, %1 sign-ups "
                                    "(median of %2 runs; %3 failed)")
                         .arg(kTotal)
                         .arg(kRuns)
                         .arg(failures),
                     number(median(service), 1) + QStringLiteral("/s"),
                     number(median(bare), 1) + QStringLiteral("/s"),
                     number(ratio * 100, 1) + QStringLiteral(" %"), QStringLiteral("≥ 90 %"),
                     met(ratio >= 0.9 && failures == 0,
                         number((0.9 - ratio) * 100, 1) + QStringLiteral(" points"))});
    }

    // The same load with the accounts on PostgreSQL (a throwaway cluster on
    // this machine, syncing every commit as SQLite does, a fresh database
    // each run): one instance, then two
    // sharing one database with the clients taking them in turn, beside one
    // instance on SQLite. Every process shares the same processors.
    {
        constexpr int kClients = 16;
        constexpr int kTotal = 96;
        constexpr int kRuns = 3;
        PostgresCluster cluster(PostgresCluster::Durability::SyncEveryCommit);
        QString error;
        if (!cluster.start(error)) {
            std::fprintf(stderr, "bench-service: %s\n", qPrintable(error));
            return 1;
        }
        QList<double> sqlite;
        QList<double> one;
        QList<double> two;
        int failures = 0;
        for (int run = 0; run < kRuns; ++run) {
            progress("throughput: one instance on SQLite...");
            {
                const auto s = startService(dir, {});
                sqlite.append(signUpsPerSecond({s->port()}, kClients, kTotal, failures));
                s->stop();
            }
            progress("throughput: one instance on PostgreSQL...");
            {
                const QString db = cluster.createDatabase(QStringLiteral("one%1").arg(run));
                RegnickProcess s(db, {}, dir.filePath(QStringLiteral("one%1").arg(run)));
                if (!s.start())
                    return 1;
                one.append(signUpsPerSecond({s.port()}, kClients, kTotal, failures));
                s.stop();
            }
            progress("throughput: two instances on one PostgreSQL...");
            {
                const QString db = cluster.createDatabase(QStringLiteral("two%1").arg(run));
                RegnickProcess a(db, {}, dir.filePath(QStringLiteral("two%1a").arg(run)));
                RegnickProcess b(db, {}, dir.filePath(QStringLiteral("two%1b").arg(run)));
                if (!a.start() || !b.start())
                    return 1;
                two.append(signUpsPerSecond({a.port(), b.port()}, kClients, kTotal, failures));
                a.stop();
                b.stop();
            }
        }
        const double oneRatio = median(one) / median(sqlite);
        rows.append({QStringLiteral("Sign-ups a second as above, one instance on PostgreSQL "
                                    "(reference: one on SQLite; median of %1 runs; %2 failed in "
                                    "this block)")
                         .arg(kRuns)
                         .arg(failures),
                     number(median(one), 1) + QStringLiteral("/s"),
                     number(median(sqlite), 1) + QStringLiteral("/s"),
                     number(oneRatio * 100, 1) + QStringLiteral(" %"), QStringLiteral("≥ 90 %"),
                     met(oneRatio >= 0.9 && failures == 0,
                         number((0.9 - oneRatio) * 100, 1) + QStringLiteral(" points"))});
        const double twoRatio = median(two) / median(one);
        rows.append({QStringLiteral("Sign-ups a second as above, two instances on one PostgreSQL, "
                                    "clients taking them in turn (reference: one instance on "
                                    "PostgreSQL; median of %1 runs)")
                         .arg(kRuns),
                     number(median(two), 1) + QStringLiteral("/s"),
                     number(median(one), 1) + QStringLiteral("/s"),
                     number(twoRatio, 2) + QStringLiteral("×"),
                     QStringLiteral("none: %1 processors for both").arg(workers),
                     QStringLiteral("–")});
    }

    // A sign-up while 200 clients trickle headers and 500 sit idle, against
    // the same sign-up on the quiet service; then how long a stop takes.
    double stopUnderAttack = 0;
    int attackOpen = 0;
    int attackTotal = 0;
    {
        constexpr int kRuns = 5; // twice that is the default burst
        const auto s = startService(dir, {});
        progress("sign-up on a quiet service...");
        const double quiet = medianSignUpSeconds(s->port(), "127.0.0.1", kRuns, "quiet");
        progress("sign-up under 200 trickling and 500 idle connections...");
        Attack attack(s->port(), 500, 200);
        std::this_thread::sleep_for(3s); // let the tricklers trickle
        const double attacked = medianSignUpSeconds(s->port(), "127.0.0.1", kRuns, "attacked");
        attackOpen = attack.open();
        attackTotal = attack.total();
        rows.append(
            {QStringLiteral("Sign-up while 200 connections trickle headers at 1 byte/s and 500 "
                            "sit idle (%1 of them still open at the end; median of %2)")
                 .arg(attackOpen)
                 .arg(kRuns),
             number(attacked * 1000, 0) + QStringLiteral(" ms"),
             number(quiet * 1000, 0) + QStringLiteral(" ms"),
             signedNumber((attacked - quiet) * 1000, 0) + QStringLiteral(" ms"),
             QStringLiteral("≤ +1000 ms"),
             met(attacked - quiet <= 1.0,
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
    {
        const auto s = startService(dir, {});
        const Clock::time_point start = Clock::now();
        s->stop(SIGTERM);
        const double quietStop = secondsSince(start);
        rows.append({QStringLiteral("SIGTERM to exit, with the attack above and 8 sign-ups under "
                                    "way (one run)"),
                     number(stopUnderAttack * 1000, 0) + QStringLiteral(" ms"),
                     number(quietStop * 1000, 0) + QStringLiteral(" ms"),
                     signedNumber((stopUnderAttack - quietStop) * 1000, 0) + QStringLiteral(" ms"),
                     QStringLiteral("≤ 2000 ms"),
                     met(stopUnderAttack <= 2.0,
                         number((stopUnderAttack - 2.0) * 1000, 0) + QStringLiteral(" ms"))});
    }

    // Peak memory of a 64-client run, against the bound the hash pool sets.
    {
        progress("peak RSS over 64 clients...");
        const auto s = startService(dir, {QStringLiteral("--rate"), QStringLiteral("0"),
                                          QStringLiteral("--max-connections-per-address"),
                                          QStringLiteral("128")});
        const double idleMib = statusMibOf(s->processId(), "VmHWM");
        int failures = 0;
        signUpsPerSecond({s->port()}, 64, 128, failures);
        const double peakMib = statusMibOf(s->processId(), "VmHWM");
        s->stop();
        const double bound = workers * 64.0 + 64.0;
        rows.append({QStringLiteral("Peak RSS (VmHWM) of the service, 64 clients, 128 sign-ups "
                                    "(%1 workers; reference: just started)")
                         .arg(workers),
                     number(peakMib, 1) + QStringLiteral(" MiB"),
                     number(idleMib, 1) + QStringLiteral(" MiB"),
                     signedNumber(peakMib - idleMib, 1) + QStringLiteral(" MiB"),
                     QStringLiteral("≤ %1 MiB").arg(number(bound, 0)),
                     met(peakMib <= bound, number(peakMib - bound, 1) + QStringLiteral(" MiB"))});
    }

    // Headers flooding every connection the service takes, each up to just
    // under the per-connection memory.
    {
        progress("header flood...");
        constexpr int kConnections = 990; // the limit is 1000
        constexpr int kMemory = 32768;    // the default --connection-memory
        const auto s = startService(dir, {});
        const double beforeMib = statusMibOf(s->processId(), "VmHWM");
        std::vector<std::unique_ptr<RawConnection>> flood;
        // Long lines: many short ones run out of room for their records
        // first, and the service answers 431 and lets the connection go.
        QByteArray headers = "POST /cgi-bin/regnick.pl HTTP/1.1\r\n";
        for (int i = 0; headers.size() < kMemory * 3 / 4; ++i)
            headers += "X-" + QByteArray::number(i) + ": " + QByteArray(1000, 'v') + "\r\n";
        int accepted = 0;
        for (int i = 0; i < kConnections; ++i) {
            // 15 per address: under the per-address limit.
            auto c = std::make_unique<RawConnection>(
                ("127.0.2." + QByteArray::number(1 + i / 15)).constData(), s->port());
            accepted += c->send(headers);
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
        rows.append(
            {QStringLiteral("Peak RSS growth, %1 connections each sending %2 KiB of headers "
                            "(%3 still open after 2 s; reference: the service before)")
                 .arg(kConnections)
                 .arg(number(static_cast<double>(headers.size()) / 1024.0, 1))
                 .arg(open),
             number(floodMib, 1) + QStringLiteral(" MiB"),
             number(beforeMib, 1) + QStringLiteral(" MiB"),
             signedNumber(floodMib - beforeMib, 1) + QStringLiteral(" MiB"),
             QStringLiteral("≤ +%1 MiB (32 KiB × 1000)").arg(number(boundMib, 1)),
             met(floodMib - beforeMib <= boundMib,
                 number(floodMib - beforeMib - boundMib, 1) + QStringLiteral(" MiB"))});
        Q_UNUSED(accepted);
    }

    // A taken nick against a new sign-up, one after the other.
    {
        progress("taken nick against new sign-up...");
        constexpr int kRuns = 20;
        const auto s = startService(dir, {QStringLiteral("--rate"), QStringLiteral("0")});
        QList<double> fresh;
        QList<double> taken;
        for (int i = 0; i < kRuns; ++i) {
            const QByteArray nick = uniqueNick("dup", i);
            fresh.append(signUp("127.0.0.1", s->port(), nick).seconds);
            taken.append(signUp("127.0.0.1", s->port(), nick).seconds);
        }
        s->stop();
        const double ratio = median(fresh) / median(taken);
        rows.append({QStringLiteral("Taken nick answered (median of %1; reference: a new "
                                    "sign-up)")
                         .arg(kRuns),
                     number(median(taken) * 1000, 2) + QStringLiteral(" ms"),
                     number(median(fresh) * 1000, 1) + QStringLiteral(" ms"),
                     number(ratio, 0) + QStringLiteral("× faster"), QStringLiteral("≥ 10×"),
                     met(ratio >= 10, number(10 - ratio, 1) + QStringLiteral("×"))});
    }

    QString text = QStringLiteral("| service measure | parlonda-regnick | reference | ratio / "
                                  "difference | target | met? |\n|---|---:|---:|---:|---|---|\n");
    for (const Row &r : rows)
        text += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |\n")
                    .arg(r.measure, r.service, r.reference, r.comparison, r.target, r.met);
    text +=
        QStringLiteral(
            "\nService: defaults (%1 hash workers, 10 sign-ups a minute per "
            "address, 1000 connections, 16 per address, 60 s idle and request time-outs, 32 KiB "
            "per connection) unless the row says otherwise; a fresh database per "
            "row; every client a separate loopback address (127.0.0.0/8).\n")
            .arg(workers);
    text += QStringLiteral("Machine: %1.\nDate: %2.\nCommand: `./benchmark`\n")
                .arg(machine(),
                     QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm t")));
    std::fputs(text.toUtf8().constData(), stdout);
    Q_UNUSED(attackTotal);
    return 0;
}
