#include "bench/service_clients.h"

#include "tests/server/regnick_client.h"

#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <latch>

namespace parlonda::bench {

using namespace std::chrono_literals;
using test::RawConnection;

std::unique_ptr<test::RegnickProcess> startService(QTemporaryDir &dir, const QStringList &arguments)
{
    static int count = 0;
    auto service = std::make_unique<test::RegnickProcess>(
        dir.filePath(QStringLiteral("bench%1.db").arg(count++)), arguments);
    if (!service->start())
        fail(QStringLiteral("the service did not start"));
    return service;
}

void fail(const QString &why)
{
    std::fprintf(stderr, "bench-service: %s\n", qPrintable(why));
    std::exit(1);
}

SignUpAnswer signUp(const char *source, quint16 port, const QByteArray &nick,
                    const QByteArray &given)
{
    const QByteArray body = given.isEmpty() ? test::form(nick) : given;
    const Clock::time_point start = Clock::now();
    RawConnection connection(source, port);
    connection.send("POST " + test::kRegnickPath +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + test::kFormType +
                    "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const QByteArray answer = connection.readAll(60000);
    SignUpAnswer a;
    a.seconds = secondsSince(start);
    a.status = test::httpStatus(answer);
    a.body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    return a;
}

QByteArray uniqueNick(const char *prefix, int i)
{
    static std::atomic<int> serial = 0;
    return prefix + QByteArray::number(i) + "x" + QByteArray::number(serial++);
}

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
                const SignUpAnswer a =
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

double medianSignUpSeconds(quint16 port, const char *source, int runs, const char *prefix)
{
    QList<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const SignUpAnswer a = signUp(source, port, uniqueNick(prefix, i));
        if (a.status != 200)
            std::fprintf(stderr, "bench-service: sign-up answered %d\n", a.status);
        seconds.append(a.seconds);
    }
    return median(seconds);
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

Attack::Attack(quint16 port, int idle, int trickling)
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

Attack::~Attack()
{
    m_stop = true;
    m_thread.join();
}

int Attack::open() const
{
    int count = 0;
    for (const auto *list : {&m_idle, &m_trickling}) {
        for (const auto &c : *list)
            count += c->connected() && !c->closedWithin(0);
    }
    return count;
}

void Attack::trickle()
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

} // namespace parlonda::bench
