// "&Registrar": the checks, then the registration request, the wait for the
// service's answer and what the user is told of it.

#include "exchange/registration_reply.h"
#include "exchange/registration_request.h"
#include "form/checks.h"
#include "form/field_table.h"
#include "form/fregistrar.h"
#include "form/message_box.h"
#include "form/messages.h"
#include "profile/profile_file.h"

#include <QApplication>
#include <QLineEdit>

namespace parlonda {
namespace {

bool isSuccessStatus(int status)
{
    return status >= 200 && status <= 299;
}

// A service that sheds load says so with these; the user need only wait.
bool isBusyStatus(int status)
{
    return status == 429 || status == 503;
}

QString failureMessage(HttpTransfer::Failure failure)
{
    switch (failure) {
    case HttpTransfer::Failure::TimedOut:
        return messages::timedOut();
    case HttpTransfer::Failure::Insecure:
        return messages::insecure();
    case HttpTransfer::Failure::None:
    case HttpTransfer::Failure::Unreachable:
        break;
    }
    return messages::unreachable();
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
        showMessage(this, messages::forCheck(check));
        return;
    }
    submit(texts);
}

void Fregistrar::submit(const QStringList &texts)
{
    Hourglass hourglass;
    if (!Perl->Execute(registrationUrl(ServerUrl), QStringLiteral("POST"), registrationBody(texts),
                       registrationHeaderText())) {
        // Without a request there is nothing to wait for.
        qWarning("The registration request could not be started");
        showMessage(this, messages::unreachable());
        return;
    }
    ReplyReady = QStringLiteral("0");

    switch (waitForReply()) {
    case WaitEnd::Unloaded:
        return;
    case WaitEnd::TransferFailed:
        // Qt's own words, so that a user's report can say what happened.
        qWarning("The registration request failed: %s", qUtf8Printable(Perl->errorString()));
        showMessage(this, failureMessage(Perl->failure()));
        return;
    case WaitEnd::Reply:
        break;
    }

    // A page of a failed request (404, 500, a redirect) is not a registration.
    if (const int status = Perl->statusCode(); !isSuccessStatus(status)) {
        showMessage(this,
                    isBusyStatus(status) ? messages::serverBusy() : messages::serverStatus(status));
        return;
    }

    // The nick that was sent is the one that is taken, whatever the box
    // holds by now.
    if (classifyReply(Reply) == ReplyOutcome::NickTaken) {
        showMessage(this, messages::nickTaken(texts[kNickBox]));
        return;
    }

    showMessage(this, messages::registered());
    hourglass.restore();

    // The profile records the account as it was registered, even if a box was
    // edited while the answer was awaited.
    const SavedProfile profile = saveProfile(m_settings.profileDirectories, texts);
    if (!profile.saved) {
        qWarning("%s", qUtf8Printable(profile.error));
        showMessage(this, messages::profileNotSaved(profile.path));
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

} // namespace parlonda
