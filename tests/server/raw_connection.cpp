#include "tests/server/raw_connection.h"

#include <QDeadlineTimer>
#include <QList>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace parlonda::test {

RawConnection::RawConnection(const char *sourceAddress, quint16 port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, sourceAddress, &source.sin_addr);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0 ||
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawConnection::~RawConnection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawConnection::send(QByteArrayView bytes)
{
    qsizetype sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent,
                                 static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return m_fd >= 0;
}

QByteArray RawConnection::readAll(int timeoutMs)
{
    QByteArray all;
    readUntilClosed(timeoutMs, &all);
    return all;
}

bool RawConnection::closedWithin(int timeoutMs)
{
    return readUntilClosed(timeoutMs, nullptr);
}

bool RawConnection::readUntilClosed(int timeoutMs, QByteArray *into)
{
    const QDeadlineTimer deadline(timeoutMs);
    // At least one look, also with no time to wait.
    for (bool first = true; m_fd >= 0 && (first || !deadline.hasExpired()); first = false) {
        pollfd wanted{m_fd, POLLIN, 0};
        if (::poll(&wanted, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        if (into)
            into->append(buffer, n);
    }
    return false;
}

int httpStatus(const QByteArray &answer)
{
    const QList<QByteArray> words = answer.left(answer.indexOf('\r')).split(' ');
    bool ok = false;
    const int status = words.size() >= 2 ? words[1].toInt(&ok) : -1;
    return answer.startsWith("HTTP/") && ok ? status : -1;
}

QByteArray httpHeader(const QByteArray &answer, const QByteArray &name)
{
    const QByteArray head = answer.left(answer.indexOf("\r\n\r\n"));
    for (const QByteArray &line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

} // namespace parlonda::test
