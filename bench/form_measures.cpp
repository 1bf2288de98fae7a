// The measures that drive the form against the benchmark's server: the CPU it
// spends while waiting, the time from the press to the message, and whether
// repeated attempts make it grow.

#include "bench/measures.h"
#include "bench/process_stats.h"
#include "exchange/http_transfer.h"
#include "exchange/registration_reply.h"
#include "exchange/registration_request.h"
#include "tests/form/form_driver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace parlonda::bench {
namespace {

using namespace std::chrono_literals;

// The entries FormUnderTest::fillValid() types, for the requests made without
// the form.
const QStringList kEntries = {
    QStringLiteral("nadia"),    QStringLiteral("Nadia Pérez"), QStringLiteral("nadia@example.org"),
    QStringLiteral("555 0101"), QStringLiteral("Quito"),       QStringLiteral("Ecuador"),
    QStringLiteral("secreto"),  QStringLiteral("secreto")};

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double percentOfOneCore(std::chrono::microseconds cpu, Clock::duration wall)
{
    return 100.0 * std::chrono::duration<double>(cpu).count() /
           std::chrono::duration<double>(wall).count();
}

// Lets the event loop run what an attempt left behind (replies released
// with deleteLater among it), so that every attempt starts from an idle loop.
void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Notes the moment every message box is shown (its Show event, seen by an
// application-wide filter, not found by polling) and closes it on the next
// turn of the event loop, as a quick reader would.
class MessageWatcher : public QObject
{
public:
    MessageWatcher() { QCoreApplication::instance()->installEventFilter(this); }
    ~MessageWatcher() override { QCoreApplication::instance()->removeEventFilter(this); }

    int count() const { return m_count; }
    Clock::time_point lastShown() const { return m_lastShown; }
    std::chrono::microseconds cpuWhenLastShown() const { return m_cpuWhenLastShown; }
    const QString &lastText() const { return m_lastText; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                m_lastShown = Clock::now();
                m_cpuWhenLastShown = processCpuTime();
                ++m_count;
                m_lastText = box->text();
                QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    int m_count = 0;
    Clock::time_point m_lastShown;
    std::chrono::microseconds m_cpuWhenLastShown{};
    QString m_lastText;
};

// A form shown, active and filled in, registering against `server`, which
// always answers that the nick is taken: the form stays open for the next
// attempt.
class FormSession
{
public:
    explicit FormSession(const QString &server) : m_form(server)
    {
        if (!m_form.shownAndActive())
            qFatal("The form did not become the active window");
        m_form.fillValid();
    }

    Fregistrar &form() { return m_form.form(); }

    // Presses "&Registrar" and returns, once the message has been closed, the
    // moment it came on screen.
    Clock::time_point press()
    {
        const int before = m_messages.count();
        m_form.click(0);
        if (m_messages.count() != before + 1 ||
            !m_messages.lastText().contains(QStringLiteral("en uso")))
            qFatal("Expected the nick-taken message, saw %d message(s), the last: %s",
                   m_messages.count() - before, qUtf8Printable(m_messages.lastText()));
        return m_messages.lastShown();
    }

    const MessageWatcher &messages() const { return m_messages; }

private:
    test::FormUnderTest m_form;
    MessageWatcher m_messages;
};

// The same POST as the form's, made with a bare QNetworkAccessManager and
// waited for in a QEventLoop.
class BarePost
{
public:
    explicit BarePost(const QString &server)
        : m_request(registrationUrl(server)), m_body(registrationBody(kEntries))
    {
        // As for the form, whose transfer turns proxies off: no proxy look-up
        // on either side of the comparison.
        m_network.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        m_request.setHeader(QNetworkRequest::ContentTypeHeader,
                            QByteArrayLiteral("application/x-www-form-urlencoded"));
    }

    // Posts and returns the moment the answer was complete.
    Clock::time_point post()
    {
        QNetworkReply *reply = m_network.post(m_request, m_body);
        Clock::time_point finished;
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&] {
            finished = Clock::now();
            loop.quit();
        });
        loop.exec();
        if (reply->error() != QNetworkReply::NoError || reply->readAll() != "Error")
            qFatal("The bare POST failed: %s", qUtf8Printable(reply->errorString()));
        reply->deleteLater();
        return finished;
    }

private:
    QNetworkAccessManager m_network;
    QNetworkRequest m_request;
    QByteArray m_body;
};

// The form's wait, from its first turn of the event loop to the message on
// screen: the figure includes taking in the answer and building the message.
double formWaitPercent(FormSession &session)
{
    Clock::time_point waitStarted;
    std::chrono::microseconds cpuAtStart{-1};
    // A zero timer fires on the first turn of the event loop after the press,
    // which is the wait's first turn.
    QTimer firstTurn;
    firstTurn.setInterval(0);
    QObject::connect(&firstTurn, &QTimer::timeout, [&] {
        if (!session.form().isWaiting())
            return;
        firstTurn.stop();
        waitStarted = Clock::now();
        cpuAtStart = processCpuTime();
    });
    firstTurn.start();
    const Clock::time_point shown = session.press();
    if (cpuAtStart.count() < 0)
        qFatal("The form answered without waiting");
    return percentOfOneCore(session.messages().cpuWhenLastShown() - cpuAtStart,
                            shown - waitStarted);
}

// The reference: the same request through the same transfer, waited for by a
// loop that hands over to the event loop and never blocks.
double spinningWaitPercent(const QString &server)
{
    QNetworkAccessManager network;
    HttpTransfer transfer(&network);
    bool over = false;
    bool failed = false;
    QObject::connect(&transfer, &HttpTransfer::StateChanged, [&](qint16 state) {
        over = over || state == HttpTransfer::ResponseCompleted || state == HttpTransfer::Error;
        failed = failed || state == HttpTransfer::Error;
    });
    transfer.Execute(registrationUrl(server), QStringLiteral("POST"), registrationBody(kEntries),
                     registrationHeaderText());
    const Clock::time_point started = Clock::now();
    const std::chrono::microseconds cpuAtStart = processCpuTime();
    while (!over)
        QCoreApplication::processEvents();
    const std::chrono::microseconds cpu = processCpuTime() - cpuAtStart;
    const Clock::duration wall = Clock::now() - started;
    if (failed || transfer.GetChunk(kReplyChunkSize) != QStringLiteral("Error"))
        qFatal("The spinning reference did not get its answer: %s",
               qUtf8Printable(transfer.errorString()));
    return percentOfOneCore(cpu, wall);
}

} // namespace

CpuWhileWaiting measureCpuWhileWaiting(const QString &slowServer, int formRuns, int spinningRuns)
{
    CpuWhileWaiting result;
    result.formRuns = formRuns;
    result.spinningRuns = spinningRuns;

    QList<double> form;
    {
        FormSession session(slowServer);
        for (int i = 0; i < formRuns; ++i) {
            form.append(formWaitPercent(session));
            settle();
        }
    }
    QList<double> spinning;
    for (int i = 0; i < spinningRuns; ++i) {
        spinning.append(spinningWaitPercent(slowServer));
        settle();
    }
    result.formPercent = median(form);
    result.spinningPercent = median(spinning);
    return result;
}

PressToOutcome measurePressToOutcome(const QString &server, int warmUp, int runs)
{
    FormSession session(server);
    BarePost bare(server);
    for (int i = 0; i < warmUp; ++i) {
        session.press();
        settle();
        bare.post();
        settle();
    }

    // Alternating, so that a slow spell of the machine hits both sides.
    QList<double> form;
    QList<double> reference;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point pressed = Clock::now();
        form.append(milliseconds(session.press() - pressed));
        settle();
        const Clock::time_point posted = Clock::now();
        reference.append(milliseconds(bare.post() - posted));
        settle();
    }
    return {median(form), median(reference), runs};
}

RssGrowth measureRssGrowth(const QString &server, int warmUp, int attempts)
{
    RssGrowth result;
    result.warmUp = warmUp;
    result.attempts = attempts;
    {
        FormSession session(server);
        for (int i = 0; i < warmUp; ++i) {
            session.press();
            settle();
        }
        const qint64 before = residentKib();
        for (int i = 0; i < attempts; ++i) {
            session.press();
            settle();
        }
        result.formKib = double(residentKib() - before);
    }
    {
        BarePost bare(server);
        for (int i = 0; i < warmUp; ++i) {
            bare.post();
            settle();
        }
        const qint64 before = residentKib();
        for (int i = 0; i < attempts; ++i) {
            bare.post();
            settle();
        }
        result.referenceKib = double(residentKib() - before);
    }
    return result;
}

} // namespace parlonda::bench
