#include "tests/support/forwarding_proxy.h"

#include <QTcpSocket>
#include <QUrl>
#include <utility>

namespace parlonda::test {
namespace {

// Bytes one way, until either side closes; then both are closed.
void relay(QTcpSocket *from, QTcpSocket *to)
{
    QObject::connect(from, &QTcpSocket::readyRead, to, [from, to] { to->write(from->readAll()); });
    QObject::connect(from, &QTcpSocket::disconnected, to, [from, to] {
        to->write(from->readAll());
        to->disconnectFromHost();
    });
}

} // namespace

ForwardingProxy::ForwardingProxy(int targetPort) : m_targetPort(targetPort)
{
    if (!m_server.listen(QHostAddress::LocalHost))
        qFatal("ForwardingProxy: cannot listen on 127.0.0.1");
    connect(&m_server, &QTcpServer::newConnection, this, &ForwardingProxy::accept);
}

QString ForwardingProxy::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void ForwardingProxy::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        // The head of the first request decides where the connection goes.
        connect(client, &QTcpSocket::readyRead, this, [this, client] {
            const QByteArray seen = client->peek(64 * 1024);
            const qsizetype headEnd = seen.indexOf("\r\n\r\n");
            if (headEnd < 0 || client->property("relayed").toBool())
                return;
            client->setProperty("relayed", true);
            const QByteArray head = client->read(headEnd + 4);
            const QByteArray requestLine = head.left(head.indexOf("\r\n"));
            m_requestLines.append(QString::fromLatin1(requestLine));

            // Open at once, so that what is written before it connects waits in its buffer.
            auto *upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_targetPort));
            if (std::exchange(m_loseNextAnswer, false))
                connect(upstream, &QTcpSocket::readyRead, client, &QTcpSocket::abort);
            else
                relay(upstream, client);
            relay(client, upstream);
            const QList<QByteArray> words = requestLine.split(' ');
            if (words.value(0) == "CONNECT") {
                connect(upstream, &QTcpSocket::connected, client,
                        [client] { client->write("HTTP/1.1 200 Connection established\r\n\r\n"); });
            } else {
                // "POST http://host:port/path HTTP/1.1" becomes "POST /path HTTP/1.1".
                const QUrl target(QString::fromLatin1(words.value(1)));
                QByteArray relative =
                    words.value(0) + ' ' + target.path(QUrl::FullyEncoded).toLatin1();
                if (target.hasQuery())
                    relative += '?' + target.query(QUrl::FullyEncoded).toLatin1();
                relative += ' ' + words.value(2);
                upstream->write(relative + head.mid(requestLine.size()) + client->readAll());
            }
        });
    }
}

} // namespace parlonda::test
