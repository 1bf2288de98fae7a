#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <utility>

namespace parlonda::test {

// A load balancer in front of a service on 127.0.0.1. It listens on a
// socket this side opened on a port the kernel chose and passed down
// (HAProxy: bind fd@3; nginx: an inherited socket, NGINX=3;), so it is
// reachable as soon as it started, with no port to race for.
class HaproxyFront
{
public:
    enum class Program { Haproxy, Nginx };
    using Replacements = QList<std::pair<QByteArray, QByteArray>>;
    // HAProxy in TCP mode, telling the service each client in a PROXY
    // protocol version 2 header (send-proxy-v2), without health checks.
    // Its configuration and output go to files in `directory`.
    HaproxyFront(quint16 servicePort, QString directory);
    // `program` run with an operator's configuration: the file `example`
    // with its listening address (HAProxy's "bind :443", nginx's "listen
    // 443") made the passed socket and each replacement made; nginx's inside
    // an http {} block of its own, unless it is a stream {} block.
    HaproxyFront(Program program, const QString &example, const Replacements &replacements,
                 QString directory);
    ~HaproxyFront();
    HaproxyFront(const HaproxyFront &) = delete;
    HaproxyFront &operator=(const HaproxyFront &) = delete;

    // False when the configuration is refused or HAProxy does not start.
    bool start();
    quint16 port() const { return m_port; }
    // What HAProxy said, for a failing test.
    QByteArray output() const;

private:
    Program m_program = Program::Haproxy;
    QByteArray m_configuration;
    QString m_directory;
    int m_listener = -1;
    quint16 m_port = 0;
    QProcess m_process;
};

} // namespace parlonda::test
