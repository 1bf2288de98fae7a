#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <functional>

namespace parlonda::test {

// An HTTP proxy on 127.0.0.1 that takes requests for any host and carries
// them to one real server: names the machine cannot resolve reach that
// server through the proxy only. Plain requests are passed on with their
// request line made relative; CONNECT opens a tunnel, so TLS stays end to
// end between the client and the server. Runs on the event loop of the
// thread that made it.
class ForwardingProxy : public QObject
{
public:
    // Every request goes to 127.0.0.1:targetPort.
    explicit ForwardingProxy(int targetPort);

    int port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:PORT", as proxy variables name it.
    QString url() const;

    // The request line of every request the proxy was asked to carry, e.g.
    // "CONNECT registro.parlonda.test:443 HTTP/1.1".
    const QStringList &requestLines() const { return m_requestLines; }

private:
    void accept();

    QTcpServer m_server;
    int m_targetPort;
    QStringList m_requestLines;
};

// A stretch of network on 127.0.0.1 between a client and one server, TCP
// or a Unix socket, that can lose an answer: passes bytes both ways, but
// once armed, the first connection whose client sends `marker` has the
// server's next bytes dropped and both its sides closed. The request got
// there, and whatever it did stays done; its answer never arrives. Runs on
// the event loop of the thread that made it.
class CuttingRelay : public QObject
{
public:
    explicit CuttingRelay(quint16 targetPort);
    explicit CuttingRelay(const QString &targetSocketPath);

    quint16 port() const { return m_server.serverPort(); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

    void cutNextAnswer(QByteArray marker) { m_marker = std::move(marker); }
    int answersCut() const { return m_cut; }

private:
    void listen();
    void accept();

    QTcpServer m_server;
    std::function<QIODevice *(QObject *parent)> m_connectUpstream;
    QByteArray m_marker;
    int m_cut = 0;
};

} // namespace parlonda::test
