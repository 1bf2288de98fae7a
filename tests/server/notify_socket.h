#pragma once

#include <QByteArray>
#include <QString>

namespace parlonda::test {

// The other end of sd_notify(): a datagram socket where systemd would have
// it, for a service started with NOTIFY_SOCKET set to address().
class NotifySocket
{
public:
    // Bound at `path`, which must not exist yet.
    explicit NotifySocket(const QString &path);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool bound() const { return m_fd >= 0; }
    // "NOTIFY_SOCKET=PATH", for the service's environment.
    QString environment() const { return QStringLiteral("NOTIFY_SOCKET=") + m_path; }

    // The next message ("READY=1\nSTATUS=..."), empty when none came
    // within `timeoutMs`.
    QByteArray next(int timeoutMs);
    // Reads messages until one has a line `line` ("READY=1"); false when
    // none did within `timeoutMs`.
    bool waitFor(const QByteArray &line, int timeoutMs);

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace parlonda::test
