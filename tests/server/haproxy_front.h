#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

namespace parlonda::test {

// HAProxy (Debian's haproxy) in TCP mode in front of a service on
// 127.0.0.1, telling it each client in a PROXY protocol version 2 header
// (send-proxy-v2), as a load balancer would. It listens on a socket this
// side opened on a port the kernel chose and passed down (bind fd@3), so
// it is reachable as soon as it started, with no port to race for.
class HaproxyFront
{
public:
    // Its configuration and output go to files in `directory`.
    HaproxyFront(quint16 servicePort, QString directory);
    ~HaproxyFront();
    HaproxyFront(const HaproxyFront &) = delete;
    HaproxyFront &operator=(const HaproxyFront &) = delete;

    // False when the configuration is refused or HAProxy does not start.
    bool start();
    quint16 port() const { return m_port; }
    // What HAProxy said, for a failing test.
    QByteArray output() const;

private:
    quint16 m_servicePort;
    QString m_directory;
    int m_listener = -1;
    quint16 m_port = 0;
    QProcess m_process;
};

} // namespace parlonda::test
