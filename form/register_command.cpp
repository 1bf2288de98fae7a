// "&Registrar": the checks, then the registration request, the wait for the
// service's answer and what the user is told of it.

#include "exchange/registration_reply.h"
#include "exchange/registration_request.h"
#include "form/checks.h"
#include "form/field_table.h"
#include "form/fregistrar.h"
#include "form/message_box.h"
#include "profile/profile_file.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>

namespace parlonda {
namespace {

bool isSuccessStatus(int status)
{
    return status >= 200 && status <= 299;
}

// The hourglass is screen-wide for the whole exchange and stays up while the
// outcome is read: it goes only when the message has been closed.
class Hourglass
{
public:
    Hourglass() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~Hourglass() { restore(); }
    void restore()
    {
        if (m_set)
            QApplication::restoreOverrideCursor();
        m_set = false;
    }

private:
    bool m_set = true;
};

} // namespace

void Fregistrar::registerCommand()
{
    // One request at a time: a press while waiting does nothing.
    if (m_waiting)
        return;

    const QStringList texts = boxTexts();
    const CheckResult check = checkEntries(texts, boxTags());
    if (check != CheckResult::Passed) {
        showMessage(this, checkMessage(check));
        return;
    }
    submit(texts);
}

void Fregistrar::submit(const QStringList &texts)
{
    Hourglass hourglass;
    Perl->Execute(registrationUrl(ServerUrl), QStringLiteral("POST"), registrationBody(texts),
                  registrationHeaderText());
    ReplyReady = QStringLiteral("0");

    switch (waitForReply()) {
    case WaitEnd::Unloaded:
        return;
    case WaitEnd::TransferFailed:
        showMessage(this, transferFailureMessage());
        return;
    case WaitEnd::Reply:
        break;
    }

    // A page of a failed request (404, 500, a redirect) is not a registration.
    if (const int status = Perl->statusCode(); !isSuccessStatus(status)) {
        showMessage(this, QStringLiteral("El servidor de registro no pudo procesar la solicitud "
                                         "(código %1). Intente de nuevo más tarde.")
                              .arg(status));
        return;
    }

    if (classifyReply(Reply) == ReplyOutcome::NickTaken) {
        showMessage(this, QStringLiteral("El nick ") + txt[kNickBox]->text() +
                              QStringLiteral(" Ya está en uso eliga otro"));
        return;
    }

    showMessage(this, QStringLiteral("Fue registrado Satisfactoriamente en el servidor, Gracias "
                                     "Por su preferencia"));
    hourglass.restore();

    // The profile records the account as it was registered, even if a box was
    // edited while the answer was awaited.
    QString error;
    if (!writeProfile(m_settings.profileDirectory, texts, &error)) {
        qWarning("%s", qUtf8Printable(error));
        showMessage(this,
                    QStringLiteral("Fue registrado en el servidor, pero no se pudo guardar el "
                                   "archivo %1.")
                        .arg(QDir::toNativeSeparators(profilePath(m_settings.profileDirectory))));
        unload(kProfileNotSaved);
        return;
    }
    unload(0);
}

Fregistrar::WaitEnd Fregistrar::waitForReply()
{
    m_waiting = true;
    m_transferFailed = false;
    // Each turn sleeps in the event loop until something happens (the
    // transfer's progress, typing, a click), so waiting costs no CPU.
    while (ReplyReady.toInt() != 1 && !m_transferFailed && !m_unloading)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    m_waiting = false;

    if (m_unloading)
        return WaitEnd::Unloaded;
    return m_transferFailed ? WaitEnd::TransferFailed : WaitEnd::Reply;
}

void Fregistrar::Perl_StateChanged(qint16 State)
{
    switch (State) {
    case HttpTransfer::ResponseCompleted:
        Reply = Perl->GetChunk(kReplyChunkSize);
        ReplyReady = QStringLiteral("1");
        break;
    case HttpTransfer::Error:
        m_transferFailed = true;
        break;
    default:
        break;
    }
}

QString Fregistrar::transferFailureMessage() const
{
    if (Perl->failure() == HttpTransfer::Failure::TimedOut)
        return QStringLiteral(
            "El servidor de registro no respondió a tiempo. Intente de nuevo más tarde.");
    return QStringLiteral(
        "No se pudo comunicar con el servidor de registro. Verifique su conexión e intente de "
        "nuevo.");
}

} // namespace parlonda
