#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <csignal>
#include <optional>

namespace parlonda::test {

// A throwaway PostgreSQL cluster in a temporary folder, for one test
// program: made with initdb on the first start and removed with the folder.
// It listens on a Unix socket in that folder only, so no port is taken and
// no other cluster is reached; anyone may connect as "parlonda" (trust), so
// the password in its URIs is never checked. Run as the "postgres" user when
// the tests run as root, since the server refuses root. The server is a
// child of the test and dies with it, however the test ends.
class PostgresCluster
{
public:
    // Tests need nothing to survive a power cut, and go faster without
    // syncing; a benchmark beside SQLite, which syncs every sign-up, needs it.
    enum class Durability { None, SyncEveryCommit };
    explicit PostgresCluster(Durability durability = Durability::None);
    // Stops the server and removes everything.
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // Starts the server (the first time, after making the cluster) and waits
    // until it takes connections. False with the reason in `error`.
    bool start(QString &error);
    // Sends `signal` (SIGINT: a fast shutdown, which ends every session;
    // SIGQUIT: an immediate one, as a crash) and waits until the server has
    // exited.
    bool stop(int signal = SIGINT);
    // SIGSTOP (or SIGCONT) to the server and every process of it, as a
    // machine that stopped answering.
    void freeze(int signal = SIGSTOP);

    // Makes this cluster the synchronous streaming standby of `primary`,
    // which is running, and starts it; false with the reason in `error`.
    bool startStandbyOf(PostgresCluster &primary, QString &error);
    // Waits until it takes writes.
    bool promote(QString &error)
    {
        return runTool(
            "pg_ctl",
            {QStringLiteral("promote"), QStringLiteral("-w"), QStringLiteral("-D"), dataDir()},
            error);
    }

    // Makes an empty database; its URI for the service, with a password in
    // it as an operator's would have.
    QString createDatabase(const QString &name, const QByteArray &options = {});
    // With `standbys`, a URI naming every server that finds the one that
    // takes writes.
    QString uri(const QString &database, const QList<const PostgresCluster *> &standbys = {}) const;
    static constexpr const char *kPassword = "s3cret-pw";

    // Runs SQL in `database` as the superuser; every row's values as text.
    // An empty list (and a warning) on failure.
    QList<QStringList> rows(const QString &database, const QByteArray &sql,
                            const QList<QByteArray> &parameters = {});
    bool execute(const QString &database, const QByteArray &sql);

    // The server's own log, to show when something went wrong.
    QByteArray log() const;

private:
    std::optional<QList<QStringList>> run(const QString &database, const QByteArray &sql,
                                          const QList<QByteArray> &parameters);
    QString conninfo(const QString &database) const;
    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }
    QString host() const;
    bool runTool(const char *name, const QStringList &arguments, QString &error) const;

    QTemporaryDir m_dir;
    QProcess m_server;
    Durability m_durability;
    bool m_made = false;
};

} // namespace parlonda::test
