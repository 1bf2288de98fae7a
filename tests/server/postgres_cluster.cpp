#include "tests/server/postgres_cluster.h"

#include "tests/support/test_files.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QUrl>
#include <QtDebug>
#include <grp.h>
#include <libpq-fe.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace parlonda::test {
namespace {

constexpr int kTimeoutMs = 30000;

QString tool(const char *name)
{
    return QStringLiteral(PARLONDA_POSTGRES_BINDIR "/") + QLatin1String(name);
}

// Who the server runs as: this user, or "postgres" instead of root.
struct Owner
{
    bool changes = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

Owner serverOwner()
{
    Owner owner;
    if (::geteuid() != 0)
        return owner;
    const passwd *user = ::getpwnam("postgres");
    if (!user)
        user = ::getpwnam("nobody");
    if (user)
        owner = {true, user->pw_uid, user->pw_gid};
    return owner;
}

void setUpChild(QProcess &process)
{
    const Owner owner = serverOwner();
    process.setChildProcessModifier([owner] {
        if (owner.changes) {
            ::setgroups(0, nullptr);
            if (::setgid(owner.gid) != 0 || ::setuid(owner.uid) != 0)
                ::_exit(126);
        }
        // After setuid, which clears it: a test that crashes must not leave
        // its server running. SIGQUIT is the server's immediate shutdown.
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
    });
}

} // namespace

PostgresCluster::PostgresCluster(Durability durability) : m_durability(durability)
{
    const Owner owner = serverOwner();
    if (owner.changes &&
        ::chown(QFile::encodeName(m_dir.path()).constData(), owner.uid, owner.gid) != 0)
        qWarning("cannot hand %s to the server's user", qPrintable(m_dir.path()));
    m_server.setProgram(tool("postgres"));
    m_server.setStandardErrorFile(m_dir.filePath(QStringLiteral("server.log")), QIODevice::Append);
    m_server.setStandardOutputFile(QProcess::nullDevice());
}

PostgresCluster::~PostgresCluster()
{
    stop(SIGQUIT);
}

bool PostgresCluster::start(QString &error)
{
    if (!m_dir.isValid()) {
        error = QStringLiteral("no temporary folder");
        return false;
    }
    const QString data = dataDir();
    if (!m_made) {
        if (!runTool("initdb",
                     {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("parlonda"),
                      QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"),
                      QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                      QStringLiteral("--no-sync"), QStringLiteral("--no-instructions")},
                     error))
            return false;
        m_made = true;
    }

    setUpChild(m_server);
    QStringList arguments = {
        QStringLiteral("-D"), data,
        QStringLiteral("-c"), QStringLiteral("listen_addresses="),
        QStringLiteral("-c"), QStringLiteral("unix_socket_directories=") + m_dir.path(),
        QStringLiteral("-c"), QStringLiteral("max_connections=200")};
    if (m_durability == Durability::None)
        arguments += {QStringLiteral("-c"), QStringLiteral("fsync=off"), QStringLiteral("-c"),
                      QStringLiteral("full_page_writes=off")};
    m_server.setArguments(arguments);
    m_server.start();
    if (!m_server.waitForStarted(kTimeoutMs)) {
        error = QStringLiteral("cannot start postgres: ") + m_server.errorString();
        return false;
    }
    const QByteArray ping = conninfo(QStringLiteral("postgres")).toUtf8();
    for (const QDeadlineTimer deadline(kTimeoutMs); PQping(ping.constData()) != PQPING_OK;) {
        if (m_server.state() != QProcess::Running || deadline.hasExpired()) {
            error = QStringLiteral("postgres did not start: ") + QString::fromLocal8Bit(log());
            stop(SIGQUIT);
            return false;
        }
        // The server says nothing else when it is ready; asking is the way.
        QThread::msleep(20);
    }
    return true;
}

bool PostgresCluster::stop(int signal)
{
    if (m_server.state() == QProcess::NotRunning)
        return false;
    ::kill(static_cast<pid_t>(m_server.processId()), signal);
    if (!m_server.waitForFinished(kTimeoutMs)) {
        m_server.kill();
        m_server.waitForFinished(kTimeoutMs);
        return false;
    }
    return true;
}

bool PostgresCluster::runTool(const char *name, const QStringList &arguments, QString &error) const
{
    QProcess process;
    setUpChild(process);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool(name), arguments);
    if (process.waitForFinished(kTimeoutMs) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    error = QLatin1String(name) + QStringLiteral(" failed: ") +
            QString::fromLocal8Bit(process.readAll());
    return false;
}

void PostgresCluster::freeze(int signal)
{
    const qint64 server = m_server.processId();
    ::kill(static_cast<pid_t>(server), signal);
    for (const QByteArray &child :
         fileBytes(QStringLiteral("/proc/%1/task/%1/children").arg(server)).split(' '))
        if (child.toInt() > 0)
            ::kill(child.toInt(), signal);
}

bool PostgresCluster::startStandbyOf(PostgresCluster &primary, QString &error)
{
    m_made = runTool("pg_basebackup",
                     {QStringLiteral("-D"), dataDir(), QStringLiteral("-h"), primary.m_dir.path(),
                      QStringLiteral("-U"), QStringLiteral("parlonda"), QStringLiteral("-R"),
                      QStringLiteral("--no-sync")},
                     error);
    // From now on the primary answers a commit once this standby has it.
    return m_made && start(error) &&
           primary.execute(QStringLiteral("postgres"),
                           "ALTER SYSTEM SET synchronous_standby_names = '*'") &&
           primary.execute(QStringLiteral("postgres"), "SELECT pg_reload_conf()");
}

QString PostgresCluster::createDatabase(const QString &name, const QByteArray &options)
{
    if (!execute(QStringLiteral("postgres"), "CREATE DATABASE " + name.toUtf8() + ' ' + options))
        return {};
    return uri(name);
}

QString PostgresCluster::uri(const QString &database,
                             const QList<const PostgresCluster *> &standbys) const
{
    QString hosts = host();
    for (const PostgresCluster *standby : standbys)
        hosts += u',' + standby->host();
    return QStringLiteral("postgresql://parlonda:%1@/%2?host=%3")
               .arg(QLatin1String(kPassword), database, hosts) +
           (standbys.isEmpty() ? QString() : QStringLiteral("&target_session_attrs=read-write"));
}

QString PostgresCluster::host() const
{
    return QString::fromLatin1(QUrl::toPercentEncoding(m_dir.path()));
}

QString PostgresCluster::conninfo(const QString &database) const
{
    return QStringLiteral("postgresql:///%1?user=parlonda&host=%2").arg(database, host());
}

std::optional<QList<QStringList>> PostgresCluster::run(const QString &database,
                                                       const QByteArray &sql,
                                                       const QList<QByteArray> &parameters)
{
    const std::unique_ptr<PGconn, decltype(&PQfinish)> connection(
        PQconnectdb(conninfo(database).toUtf8().constData()), &PQfinish);
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        qWarning("%s", PQerrorMessage(connection.get()));
        return std::nullopt;
    }
    PQsetClientEncoding(connection.get(), "UTF8");
    QList<const char *> values;
    for (const QByteArray &parameter : parameters)
        values.append(parameter.constData());
    const std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQexecParams(connection.get(), sql.constData(), static_cast<int>(values.size()), nullptr,
                     values.constData(), nullptr, nullptr, 0),
        &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        qWarning("%s: %s", sql.constData(), PQresultErrorMessage(result.get()));
        return std::nullopt;
    }
    QList<QStringList> rows;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        QStringList columns;
        for (int column = 0; column < PQnfields(result.get()); ++column)
            columns.append(QString::fromUtf8(PQgetvalue(result.get(), row, column)));
        rows.append(columns);
    }
    return rows;
}

QList<QStringList> PostgresCluster::rows(const QString &database, const QByteArray &sql,
                                         const QList<QByteArray> &parameters)
{
    return run(database, sql, parameters).value_or(QList<QStringList>{});
}

bool PostgresCluster::execute(const QString &database, const QByteArray &sql)
{
    return run(database, sql, {}).has_value();
}

QByteArray PostgresCluster::log() const
{
    return fileBytes(m_dir.filePath(QStringLiteral("server.log")));
}

} // namespace parlonda::test
