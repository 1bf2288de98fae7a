#include "tests/support/refused_port.h"

#include <QtGlobal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace parlonda::test {

RefusedPort::RefusedPort(Kind kind)
{
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        qFatal("RefusedPort: cannot bind a socket on 127.0.0.1");
    m_port = ntohs(address.sin_port);
    if (kind == Kind::Silent) {
        m_held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::listen(m_socket, 0) != 0 ||
            ::connect(m_held, reinterpret_cast<sockaddr *>(&address), length) != 0)
            qFatal("RefusedPort: cannot fill a listening queue on 127.0.0.1");
    }
}

RefusedPort::~RefusedPort()
{
    ::close(m_held);
    ::close(m_socket);
}

QString RefusedPort::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

} // namespace parlonda::test
