#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

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
    // The next request is carried, but its answer is not: when it comes back,
    // both connections are closed, as when a proxy gives up on the way.
    void loseNextAnswer() { m_loseNextAnswer = true; }

private:
    void accept();

    QTcpServer m_server;
    int m_targetPort;
    QStringList m_requestLines;
    bool m_loseNextAnswer = false;
};

} // namespace parlonda::test
