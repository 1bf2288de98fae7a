#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

namespace parlonda {

// The form's transfer control: one HTTP request at a time, started with
// Execute() and reported through StateChanged(), with the body read back
// piecewise through GetChunk().
//
// Every notification is delivered through the event loop, never from inside
// Execute(), so a caller may reset its own "waiting" flag after Execute()
// returns without missing the completion.
//
// Requests go through the user's proxy, as the system configures it (on Linux
// http_proxy, https_proxy and no_proxy), and https addresses are verified
// against the system's trusted certificates; an error of verification is
// never ignored. The transfer gives the manager it is handed a proxy factory
// of its own: give it a manager of its own.
//
// A request is put on the wire at most once: Qt's own resend of a request
// whose connection closed before any answer is switched off, because a
// registration that reached the service once must not reach it twice.
//
// Redirects go the way browsers take them after a form: a 301, 302 or 303
// is followed with a GET to the new address, without the body, at most
// kMaxRedirects times and never from https to http, and the answer is the
// page finally reached. A 307 or 308 would send the body again: it is not
// followed (for a request with a body), nor is a redirect past those limits,
// and then that redirect is the answer, with its status. The timeout covers
// the whole chain.
class HttpTransfer : public QObject
{
    Q_OBJECT

public:
    // Codes reported through StateChanged; the form acts on ResponseCompleted and Error.
    enum State : qint16 {
        None = 0,
        ResolvingHost = 1,
        HostResolved = 2,
        Connecting = 3,
        Connected = 4,
        Requesting = 5,
        RequestSent = 6,
        ReceivingResponse = 7,
        ResponseReceived = 8,
        Disconnecting = 9,
        Disconnected = 10,
        Error = 11,
        ResponseCompleted = 12
    };
    Q_ENUM(State)

    // Why the last request ended in Error. A connection that breaks before the
    // answer is complete counts as Unreachable, like one that never opens;
    // Insecure is an https connection that could not be made secure
    // (certificate refused, handshake failed, no TLS support), over which
    // nothing was sent.
    enum class Failure { None, Unreachable, TimedOut, Insecure };
    Q_ENUM(Failure)

    static constexpr std::chrono::milliseconds kDefaultTimeout{30000};
    // The form reads a few bytes of the answer; a server that sends more must
    // not make the program grow, so anything past this is read and dropped.
    static constexpr qsizetype kMaxBodyBytes = 64 * 1024;
    // Redirects followed for one request, as browsers' forms allow.
    static constexpr int kMaxRedirects = 5;

    // The transfer does not own the manager.
    explicit HttpTransfer(QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~HttpTransfer() override;

    // Limit for the whole transfer, from Execute() to a complete answer; a
    // server that trickles its answer runs into it as well.
    void setTimeout(std::chrono::milliseconds total);
    std::chrono::milliseconds timeout() const { return m_timeout; }

    // Certificate authorities trusted besides the system's, for https.
    void setCaCertificates(const QList<QSslCertificate> &certificates);

    // Starts a request and returns at once. operation is "POST", "GET" (also
    // when empty) or any other method, sent as it stands. inputHdrs holds
    // header lines "Name: value", CR LF separated if several; header text is
    // sent in Windows-1252. Returns false and starts nothing while a request
    // is still executing (or when the transfer has no network manager).
    bool Execute(const QUrl &url, const QString &operation, const QByteArray &inputData,
                 const QString &inputHdrs);
    bool StillExecuting() const { return m_executing; }

    // Aborts the request in flight, silently: no StateChanged for it afterwards.
    void Cancel();

    // The next chunk of at most `size` bytes of the received body, decoded as
    // Windows-1252; successive calls continue where the last stopped. Empty
    // when nothing is left.
    QString GetChunk(qsizetype size);

    // HTTP status of the completed response; 0 when there is none.
    int statusCode() const { return m_statusCode; }
    Failure failure() const { return m_failure; }
    // Qt's own words on the failure, for the program's log: never the body.
    // Empty when there was none.
    QString errorString() const { return m_errorString; }

signals:
    void StateChanged(qint16 state);

private:
    void onReadyRead();
    void onFinished();
    void complete(int status);
    Failure failureOf(QNetworkReply *reply) const;
    void onTimeout();
    void storeBody();
    void releaseReply();
    void fail(Failure failure, const QString &detail);
    void report(State state);

    QPointer<QNetworkAccessManager> m_manager;
    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    QUrl m_url;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    QList<QSslCertificate> m_caCertificates;
    QStringList m_sslErrors; // of the request in flight
    bool m_encrypted = false;
    // Bumped by every Execute() and Cancel(): notifications queued for an
    // earlier request compare it and stay silent.
    quint64 m_generation = 0;
    bool m_executing = false;
    bool m_receiving = false;
    QByteArray m_body;
    qsizetype m_readPosition = 0;
    int m_statusCode = 0;
    Failure m_failure = Failure::None;
    QString m_errorString;
};

} // namespace parlonda
