#pragma once

#include "form/fregistrar.h"
#include "tests/support/refused_port.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <optional>

namespace parlonda::test {

// What a message box showed, as the test read it before pressing OK.
struct SeenMessage
{
    QString title;
    QString text;
    bool hasIcon = false;
    QStringList buttons;
    bool applicationModal = false;
    bool shownAsMarkup = false;             // the text read as rich text, not as typed
    std::optional<Qt::CursorShape> pointer; // the override pointer while it was up
};

// Reads every modal message box that appears while it lives, and closes it by
// clicking its OK button, as a person would.
class MessageReader : public QObject
{
public:
    MessageReader();
    const QList<SeenMessage> &messages() const { return m_messages; }
    QStringList texts() const;
    // Waits (event loop running) until `count` messages have been read.
    bool waitFor(qsizetype count, int timeoutMs = 5000) const;

private:
    void poll();

    QTimer m_timer;
    QList<SeenMessage> m_messages;
};

// A form shown and active, whose profile goes to a directory of its own.
class FormUnderTest
{
public:
    // Its service address refuses every connection.
    FormUnderTest();
    explicit FormUnderTest(QString serverUrl,
                           std::chrono::milliseconds timeout = HttpTransfer::kDefaultTimeout,
                           QList<QSslCertificate> caCertificates = {});
    ~FormUnderTest();

    Fregistrar &form() { return *m_form; }
    Fregistrar *operator->() { return m_form.get(); }
    bool shownAndActive();
    QString serverUrl() const { return m_serverUrl; }
    QString profileDir() const { return m_dir.path(); }
    QString profilePath() const;
    bool profileExists() const;

    // Types text into a box with focus moved there by mouse, as a person would.
    void type(int index, QStringView text);
    // Fills every box with a valid registration.
    void fillValid(QStringView nick = u"nadia", QStringView city = u"Quito");
    void click(int button);

private:
    std::optional<RefusedPort> m_refused;
    QString m_serverUrl;
    QTemporaryDir m_dir;
    std::unique_ptr<Fregistrar> m_form;
};

// One typed character, whatever it is (QTest::keyClicks only knows Latin-1).
void typeCharacter(QWidget *widget, QChar c);

} // namespace parlonda::test
