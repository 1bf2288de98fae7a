#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

namespace parlonda::test {

// A TCP connection to the service on 127.0.0.1 from a chosen loopback
// address (127.0.0.2, 127.0.0.3...: each one a different client to the
// service), for clients that misbehave: idle, trickling, flooding. Plain
// blocking sockets, so the test decides every byte.
class RawConnection
{
public:
    RawConnection(const char *sourceAddress, quint16 port);
    ~RawConnection();
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool connected() const { return m_fd >= 0; }

    // False once the service has closed its side.
    bool send(QByteArrayView bytes);

    // Everything until the service closes the connection, or what came
    // before `timeoutMs` passed.
    QByteArray readAll(int timeoutMs);

    // True when the service closes the connection within `timeoutMs`; what
    // it sent before is dropped.
    bool closedWithin(int timeoutMs);

private:
    // Reads until the service closes (true) or `timeoutMs` passed (false),
    // appending what came to `into` unless it is null.
    bool readUntilClosed(int timeoutMs, QByteArray *into);

    int m_fd = -1;
};

// The status of an HTTP answer ("HTTP/1.1 429 ..."); -1 for none.
int httpStatus(const QByteArray &answer);

// The value of one header of an HTTP answer, empty when missing.
QByteArray httpHeader(const QByteArray &answer, const QByteArray &name);

} // namespace parlonda::test
