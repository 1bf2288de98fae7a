#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <csignal>
#include <vector>

namespace parlonda::test {

// The built parlonda-regnick service as a child process, on 127.0.0.1 and a
// free port, with its own database. Its request log goes to a file beside
// the database (--log), appended across restarts, and so does its standard
// error, to another, so that a long run can never block on a full pipe.
class RegnickProcess
{
public:
    // `db` is an SQLite file or a PostgreSQL URI. `arguments` go after --port,
    // --db and --log: limits, TLS files... The log and standard error files
    // are named after `files`, by default the SQLite file.
    explicit RegnickProcess(QString db, QStringList arguments = {}, QString files = {});
    ~RegnickProcess();
    RegnickProcess(const RegnickProcess &) = delete;
    RegnickProcess &operator=(const RegnickProcess &) = delete;

    // For the next start: variables added to the service's environment
    // ("NOTIFY_SOCKET=...", "JOURNAL_STREAM=..."), as systemd would set them.
    void setEnvironment(const QStringList &variables) { m_environment = variables; }
    // For the next start: listening sockets handed over as systemd does
    // (socket activation: descriptors 3 and on, LISTEN_FDS, LISTEN_PID).
    // They stay open here as well.
    void passSockets(const std::vector<int> &fds) { m_sockets = fds; }
    // For the next start: no --log; the log goes to standard error, which
    // is `fd` (a pipe's end, say), as under systemd without --log.
    void logToStandardError(int fd) { m_standardError = fd; }
    // For the next start: the limit on open files, soft and hard, as
    // `ulimit -n` would set it; 0 leaves it as it is.
    void limitFiles(unsigned limit) { m_fileLimit = limit; }

    // The path of the built service binary.
    static QString program();

    // Starts the service and waits until it is accepting connections; false
    // when it fails to start or to say so within a few seconds.
    bool start() { return begin() && waitUntilListening(); }
    // The two halves of start(), so that several services can start at once.
    bool begin();
    bool waitUntilListening();

    // "http://127.0.0.1:PORT" (https with TLS) once started.
    QString baseUrl() const { return m_baseUrl; }

    // Sends `signal` (SIGTERM unless told) and waits for the end; true when
    // the service ended with exit status 0.
    bool stop(int signal = SIGTERM);

    qint64 processId() const { return m_process.processId(); }
    // --db: the SQLite file or the URI.
    QString db() const { return m_db; }

    // The logrotate file the package ships, made to rotate this service's
    // log and to signal this process instead of the systemd unit.
    QByteArray logrotateConfig() const;

    // Every line of the request log so far.
    QString logPath() const { return m_files + QStringLiteral(".log"); }
    // What it wrote to standard error, as to an operator.
    QByteArray errors() const;
    QByteArray log() const;
    // The port part of baseUrl().
    quint16 port() const;

private:
    QString m_db;
    QString m_files;
    QStringList m_arguments;
    QStringList m_environment;
    std::vector<int> m_sockets;
    unsigned m_fileLimit = 0;
    int m_standardError = -1;
    QString m_baseUrl;
    QProcess m_process;
};

} // namespace parlonda::test
