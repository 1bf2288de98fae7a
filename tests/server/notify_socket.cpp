#include "tests/server/notify_socket.h"

#include <QDeadlineTimer>
#include <QFile>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace parlonda::test {

NotifySocket::NotifySocket(const QString &path) : m_path(path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (static_cast<std::size_t>(name.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 &&
        ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

NotifySocket::~NotifySocket()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        QFile::remove(m_path);
    }
}

QByteArray NotifySocket::next(int timeoutMs)
{
    pollfd wanted{m_fd, POLLIN, 0};
    if (m_fd < 0 || ::poll(&wanted, 1, timeoutMs) <= 0)
        return {};
    char buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    return n > 0 ? QByteArray(buffer, n) : QByteArray();
}

bool NotifySocket::waitFor(const QByteArray &line, int timeoutMs)
{
    for (const QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired();) {
        const QByteArray message = next(static_cast<int>(deadline.remainingTime()));
        if (message.split('\n').contains(line))
            return true;
    }
    return false;
}

} // namespace parlonda::test
