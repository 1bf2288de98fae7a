#include "form_driver.h"

#include "profile/profile_file.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace parlonda::test {

MessageReader::MessageReader()
{
    connect(&m_timer, &QTimer::timeout, this, &MessageReader::poll);
    m_timer.start(5);
}

QStringList MessageReader::texts() const
{
    QStringList result;
    for (const SeenMessage &m : m_messages)
        result.append(m.text);
    return result;
}

bool MessageReader::waitFor(qsizetype count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return m_messages.size() >= count; }, timeoutMs);
}

void MessageReader::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("parlonda.read").toBool())
        return;
    box->setProperty("parlonda.read", true);

    SeenMessage seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.hasIcon = box->icon() != QMessageBox::NoIcon || !box->iconPixmap().isNull();
    for (QAbstractButton *b : box->buttons())
        seen.buttons.append(b->text());
    seen.applicationModal = box->windowModality() == Qt::ApplicationModal;
    if (const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
        seen.shownAsMarkup =
            label->textFormat() == Qt::RichText ||
            (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
    }
    if (const QCursor *cursor = QApplication::overrideCursor())
        seen.pointer = cursor->shape();
    m_messages.append(seen);

    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        QTest::mouseClick(ok, Qt::LeftButton);
}

FormUnderTest::FormUnderTest() : m_refused(std::in_place)
{
    m_serverUrl = m_refused->baseUrl();
    m_form = std::make_unique<Fregistrar>(
        FregistrarSettings{.serverUrl = m_serverUrl, .profileDirectories = {m_dir.path()}});
}

FormUnderTest::FormUnderTest(QString serverUrl, std::chrono::milliseconds timeout,
                             QList<QSslCertificate> caCertificates)
    : m_serverUrl(std::move(serverUrl))
{
    m_form = std::make_unique<Fregistrar>(
        FregistrarSettings{.serverUrl = m_serverUrl,
                           .profileDirectories = {m_dir.path()},
                           .transferTimeout = timeout,
                           .caCertificates = std::move(caCertificates)});
}

FormUnderTest::~FormUnderTest() = default;

bool FormUnderTest::shownAndActive()
{
    m_form->show();
    m_form->activateWindow();
    return QTest::qWaitForWindowActive(m_form.get());
}

QString FormUnderTest::profilePath() const
{
    return parlonda::profilePath(m_dir.path());
}

bool FormUnderTest::profileExists() const
{
    return QFileInfo::exists(profilePath());
}

void typeCharacter(QWidget *widget, QChar c)
{
    QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

void FormUnderTest::type(int index, QStringView text)
{
    QLineEdit *box = m_form->box(index);
    QTest::mouseClick(box, Qt::LeftButton);
    box->end(false);
    for (QChar c : text)
        typeCharacter(box, c);
}

void FormUnderTest::fillValid(QStringView nick, QStringView city)
{
    type(0, nick);
    type(1, u"Nadia Pérez");
    type(2, u"nadia@example.org");
    type(3, u"555 0101");
    type(4, city);
    type(5, u"Ecuador");
    type(6, u"secreto");
    type(7, u"secreto");
}

void FormUnderTest::click(int button)
{
    QTest::mouseClick(m_form->button(button), Qt::LeftButton);
}

} // namespace parlonda::test
