#include "exchange/http_transfer.h"

#include "common/cp1252.h"

#include <QByteArrayView>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <cstring>

namespace parlonda {

namespace {

// QNetworkReply reports most HTTP error statuses as errors too; those are
// still complete answers whose status the caller wants to read. Only what
// breaks the transport itself is a failure.
bool isAnswerFromServer(QNetworkReply::NetworkError error)
{
    if (error == QNetworkReply::NoError)
        return true;
    // Qt reports "400 Bad Request" in the protocol range. A 407 is the
    // proxy's, not the service's, so it stays a failure of the transport.
    if (error == QNetworkReply::ProtocolInvalidOperationError)
        return true;
    const bool contentError =
        error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError;
    const bool serverError =
        error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError;
    return contentError || serverError;
}

// A redirect Qt did not follow (past the hop limit, from https to http, or
// to no address or one that is not http): the redirect itself is the
// answer. A 307 or 308 it could not follow ends as ContentReSendError, in
// the content range above.
bool isRedirectNotFollowed(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::TooManyRedirectsError ||
           error == QNetworkReply::InsecureRedirectError ||
           error == QNetworkReply::ProtocolUnknownError;
}

void addHeaders(QNetworkRequest &request, const QString &headerText)
{
    // CR LF is what callers pass; a bare LF is forgiven.
    const auto lines = QStringView(headerText).split(u'\n', Qt::SkipEmptyParts);
    for (QStringView line : lines) {
        const qsizetype colon = line.indexOf(u':');
        if (colon <= 0)
            continue;
        const QStringView name = line.first(colon).trimmed();
        const QStringView value = line.sliced(colon + 1).trimmed();
        if (!name.isEmpty())
            request.setRawHeader(cp1252::encode(name), cp1252::encode(value));
    }
}

// The user's proxy for each request, as the system configures it. Qt does
// the same by default, but through a process-wide switch that any code may
// turn off; a factory of the manager's own does not depend on it.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

// The request body, readable once. Qt resends a request by itself when its
// connection closes before any answer, but only if it can rewind the body:
// this device cannot be rewound, so the resend ends in ContentReSendError
// instead of a second registration. It must not be a QBuffer, which Qt's
// upload code reads directly and always rewinds.
class OneShotBody : public QIODevice
{
public:
    OneShotBody(QByteArray data, QObject *parent) : QIODevice(parent), m_data(std::move(data))
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override
    {
        return m_data.size() - m_position + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 length = qMin(maxSize, m_data.size() - m_position);
        std::memcpy(data, m_data.constData() + m_position, static_cast<std::size_t>(length));
        m_position += length;
        return length;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_position = 0;
};

} // namespace

HttpTransfer::HttpTransfer(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_manager(manager)
{
    if (m_manager)
        m_manager->setProxyFactory(new SystemProxyFactory);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &HttpTransfer::onTimeout);
}

HttpTransfer::~HttpTransfer()
{
    releaseReply();
}

void HttpTransfer::setTimeout(std::chrono::milliseconds total)
{
    m_timeout = total;
}

void HttpTransfer::setCaCertificates(const QList<QSslCertificate> &certificates)
{
    m_caCertificates = certificates;
}

bool HttpTransfer::Execute(const QUrl &url, const QString &operation, const QByteArray &inputData,
                           const QString &inputHdrs)
{
    if (m_executing || !m_manager)
        return false;

    ++m_generation;
    m_url = url;
    m_body.clear();
    m_readPosition = 0;
    m_statusCode = 0;
    m_failure = Failure::None;
    m_errorString.clear();
    m_sslErrors.clear();
    m_receiving = false;
    m_encrypted = false;
    m_executing = true;
    m_deadline.start(m_timeout);

    const bool secure = url.scheme().compare(u"https", Qt::CaseInsensitive) == 0;
    if (secure && !QSslSocket::supportsSsl()) {
        // Qt would say only that the protocol is unknown.
        fail(Failure::Insecure, QStringLiteral("No TLS support available (Qt TLS backend: %1)")
                                    .arg(QSslSocket::activeBackend()));
        return true;
    }

    QNetworkRequest request(url);
    // Qt's own rule is the browsers': a 301, 302 or 303 is followed with a
    // GET without the body, never from https to http. It would follow a 307
    // or 308 with the same body, but cannot: the body is read once (see
    // OneShotBody), so those end as ContentReSendError with nothing sent.
    // Not UserVerifiedRedirectPolicy: on Qt 6.4 the second redirect of a
    // chain comes twice, and the reply then ends with status 100 and no page.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    if (secure && !m_caCertificates.isEmpty()) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(m_caCertificates);
        request.setSslConfiguration(ssl);
    }
    addHeaders(request, inputHdrs);

    const QString verb = operation.trimmed();
    const auto body = [&] {
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        request.setHeader(QNetworkRequest::ContentLengthHeader, inputData.size());
        return new OneShotBody(inputData, this);
    };
    QNetworkReply *reply = nullptr;
    QIODevice *upload = nullptr;
    if (verb.isEmpty() || verb.compare(u"GET", Qt::CaseInsensitive) == 0) {
        reply = m_manager->get(request);
    } else if (verb.compare(u"HEAD", Qt::CaseInsensitive) == 0) {
        reply = m_manager->head(request); // as a custom verb Qt would wait for a body
    } else if (verb.compare(u"POST", Qt::CaseInsensitive) == 0) {
        upload = body();
        reply = m_manager->post(request, upload);
    } else {
        upload = body();
        reply = m_manager->sendCustomRequest(request, verb.toLatin1(), upload);
    }
    if (upload)
        upload->setParent(reply); // read until the reply is done, gone with it

    m_reply = reply;
    // Qt stops reading the socket while this much is unread, which keeps a
    // flood from piling up between our reads.
    reply->setReadBufferSize(kMaxBodyBytes);

    connect(reply, &QNetworkReply::socketStartedConnecting, this, [this] { report(Connecting); });
    connect(reply, &QNetworkReply::requestSent, this, [this] { report(RequestSent); });
    connect(reply, &QNetworkReply::readyRead, this, &HttpTransfer::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HttpTransfer::onFinished);
    connect(reply, &QNetworkReply::encrypted, this, [this] { m_encrypted = true; });
    // Kept for the log; the errors are not ignored, so the handshake fails.
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            m_sslErrors.append(error.errorString());
    });
    return true;
}

void HttpTransfer::Cancel()
{
    ++m_generation;
    m_deadline.stop();
    releaseReply();
    m_executing = false;
}

QString HttpTransfer::GetChunk(qsizetype size)
{
    if (size <= 0 || m_readPosition >= m_body.size())
        return {};
    const qsizetype length = qMin(size, m_body.size() - m_readPosition);
    const QByteArrayView chunk = QByteArrayView(m_body).sliced(m_readPosition, length);
    m_readPosition += length;
    return cp1252::decode(chunk);
}

void HttpTransfer::onReadyRead()
{
    if (!m_reply)
        return;
    if (!m_receiving) {
        m_receiving = true;
        report(ReceivingResponse);
    }
    storeBody();
}

void HttpTransfer::onFinished()
{
    if (!m_reply)
        return;
    storeBody();

    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status > 0 &&
        (isAnswerFromServer(m_reply->error()) || isRedirectNotFollowed(m_reply->error()))) {
        complete(status);
        return;
    }
    // Qt names the first certificate error in its text; the others too.
    QString detail = m_reply->errorString();
    QStringList more;
    for (const QString &sslError : std::as_const(m_sslErrors)) {
        if (!detail.contains(sslError))
            more.append(sslError);
    }
    if (!more.isEmpty())
        detail += QStringLiteral(" (%1)").arg(more.join(QStringLiteral("; ")));
    fail(failureOf(m_reply), detail);
}

void HttpTransfer::complete(int status)
{
    m_deadline.stop();
    releaseReply();
    m_executing = false;
    m_statusCode = status;
    report(ResponseReceived);
    report(ResponseCompleted);
}

HttpTransfer::Failure HttpTransfer::failureOf(QNetworkReply *reply) const
{
    switch (reply->error()) {
    case QNetworkReply::TimeoutError:
        return Failure::TimedOut;
    case QNetworkReply::SslHandshakeFailedError:
        return Failure::Insecure;
    default:
        // A secure connection that ends before its handshake does, with
        // certificate errors, is the handshake failing too.
        return !m_encrypted && !m_sslErrors.isEmpty() ? Failure::Insecure : Failure::Unreachable;
    }
}

void HttpTransfer::onTimeout()
{
    if (!m_executing)
        return;
    fail(Failure::TimedOut, QStringLiteral("No complete answer from %1 within %2 ms")
                                .arg(m_url.toDisplayString())
                                .arg(m_timeout.count()));
}

void HttpTransfer::storeBody()
{
    const qsizetype room = kMaxBodyBytes - m_body.size();
    if (room > 0)
        m_body += m_reply->read(room);
    m_reply->skip(m_reply->bytesAvailable());
}

void HttpTransfer::releaseReply()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply.clear();
    // Disconnect first: abort() emits finished() on the spot.
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
}

void HttpTransfer::fail(Failure failure, const QString &detail)
{
    m_deadline.stop();
    releaseReply();
    m_executing = false;
    m_failure = failure;
    m_errorString = detail;
    report(Error);
}

void HttpTransfer::report(State state)
{
    // Always through the event loop: nothing reaches a listener from inside
    // Execute(), and a request cancelled or replaced meanwhile stays silent.
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation, state] {
            if (generation == m_generation)
                emit StateChanged(state);
        },
        Qt::QueuedConnection);
}

} // namespace parlonda

// Compiled here rather than in a file of its own, which would read the Qt
// headers once more.
#include "moc_http_transfer.cpp"
