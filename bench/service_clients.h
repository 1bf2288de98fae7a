#pragma once

#include "bench/process_stats.h"
#include "tests/server/raw_connection.h"
#include "tests/server/regnick_process.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace parlonda::bench {

// What the service measures share: the service on a fresh database, and
// clients, well-behaved and hostile, each from its own loopback address.

// A service on a fresh database in `dir`; the benchmark ends when it does
// not start.
std::unique_ptr<test::RegnickProcess> startService(QTemporaryDir &dir,
                                                   const QStringList &arguments = {});

// Ends the benchmark with `why` on standard error.
[[noreturn]] void fail(const QString &why);

struct SignUpAnswer
{
    int status = -1;
    QByteArray body;
    double seconds = 0;
};

// One sign-up over its own connection from `source`, as the dialog sends it;
// `body` instead of the dialog's form for `nick` when given.
SignUpAnswer signUp(const char *source, quint16 port, const QByteArray &nick,
                    const QByteArray &body = {});

// A nick no other sign-up of this run has taken.
QByteArray uniqueNick(const char *prefix, int i);

// `total` sign-ups from `clients` clients at once, each from its own loopback
// address, taking the services at `ports` in turn; sign-ups a second. Adds
// those not answered 200 "OK" to `failures`.
double signUpsPerSecond(const QList<quint16> &ports, int clients, int total, int &failures);

// The median time of `runs` sign-ups one after the other from `source`.
double medianSignUpSeconds(quint16 port, const char *source, int runs, const char *prefix);

double secondsSince(Clock::time_point start);

// "Name:   1234 kB" from /proc/PID/status, in MiB; -1 when missing.
double statusMibOf(qint64 pid, QByteArrayView name);

// Connections that hold the service's sockets: `idle` ones that send
// nothing, and `trickling` ones that send their request header one byte a
// second and never finish it.
class Attack
{
public:
    Attack(quint16 port, int idle, int trickling);
    ~Attack();
    Attack(const Attack &) = delete;
    Attack &operator=(const Attack &) = delete;

    // Connections the service still holds open.
    int open() const;

private:
    void trickle();

    std::vector<std::unique_ptr<test::RawConnection>> m_idle;
    std::vector<std::unique_ptr<test::RawConnection>> m_trickling;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

} // namespace parlonda::bench
