#include "exchange/http_transfer.h"

#include "exchange/cp1252.h"

#include <QByteArrayView>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace parlonda {

namespace {

// QNetworkReply reports most HTTP error statuses as errors too; those are
// still complete answers whose status the caller wants to read. Only what
// breaks the transport itself is a failure.
bool isAnswerFromServer(QNetworkReply::NetworkError error)
{
    if (error == QNetworkReply::NoError)
        return true;
    // Qt reports "400 Bad Request" in the protocol range and a 407 that comes
    // straight from the server (we use no proxy) in the proxy range.
    if (error == QNetworkReply::ProtocolInvalidOperationError ||
        error == QNetworkReply::ProxyAuthenticationRequiredError)
        return true;
    const bool contentError =
        error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError;
    const bool serverError =
        error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError;
    return contentError || serverError;
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

} // namespace

HttpTransfer::HttpTransfer(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent), m_manager(manager)
{
    if (m_manager)
        m_manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
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
    m_receiving = false;

    QNetworkRequest request(url);
    // A redirect is an answer the caller reads, not a second request.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    addHeaders(request, inputHdrs);

    const QString verb = operation.trimmed();
    QNetworkReply *reply = nullptr;
    if (verb.isEmpty() || verb.compare(u"GET", Qt::CaseInsensitive) == 0)
        reply = m_manager->get(request);
    else if (verb.compare(u"POST", Qt::CaseInsensitive) == 0)
        reply = m_manager->post(request, inputData);
    else if (verb.compare(u"HEAD", Qt::CaseInsensitive) == 0)
        reply = m_manager->head(request); // as a custom verb Qt would wait for a body
    else
        reply = m_manager->sendCustomRequest(request, verb.toLatin1(), inputData);

    m_reply = reply;
    m_executing = true;
    // Qt stops reading the socket while this much is unread, which keeps a
    // flood from piling up between our reads.
    reply->setReadBufferSize(kMaxBodyBytes);

    connect(reply, &QNetworkReply::socketStartedConnecting, this, [this] { report(Connecting); });
    connect(reply, &QNetworkReply::requestSent, this, [this] { report(RequestSent); });
    connect(reply, &QNetworkReply::readyRead, this, &HttpTransfer::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HttpTransfer::onFinished);

    m_deadline.start(m_timeout);
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
    m_deadline.stop();

    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status > 0 && isAnswerFromServer(m_reply->error())) {
        releaseReply();
        m_executing = false;
        m_statusCode = status;
        report(ResponseReceived);
        report(ResponseCompleted);
        return;
    }
    fail(m_reply->error() == QNetworkReply::TimeoutError ? Failure::TimedOut : Failure::Unreachable,
         m_reply->errorString());
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
