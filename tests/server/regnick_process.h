#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <csignal>

namespace parlonda::test {

// The built parlonda-regnick service as a child process, on 127.0.0.1 and a
// free port, with its own database. Its standard error (the request log)
// goes to a file beside the database, appended across restarts, so that a
// long run can never block on a full pipe.
class RegnickProcess
{
public:
    explicit RegnickProcess(QString dbPath);
    ~RegnickProcess();
    RegnickProcess(const RegnickProcess &) = delete;
    RegnickProcess &operator=(const RegnickProcess &) = delete;

    // The path of the built service binary.
    static QString program();

    // Starts the service and waits until it is accepting connections; false
    // when it fails to start or to say so within a few seconds.
    bool start();

    // "http://127.0.0.1:PORT" once started.
    QString baseUrl() const { return m_baseUrl; }

    // Sends `signal` (SIGTERM unless told) and waits for the end; true when
    // the service ended with exit status 0.
    bool stop(int signal = SIGTERM);

    qint64 processId() const { return m_process.processId(); }

    // Everything the service has written to standard error so far.
    QString logPath() const { return m_dbPath + QStringLiteral(".log"); }
    QByteArray log() const;

private:
    QString m_dbPath;
    QString m_baseUrl;
    QProcess m_process;
};

} // namespace parlonda::test
