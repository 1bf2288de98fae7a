// Loaded into the real program by Qt itself (QT_QPA_GENERIC_PLUGINS), this
// plugin is a person at the keyboard: when the window is up it types one
// registration, a box at a time with Tab between them, presses "&Registrar"
// with Space, then reads every message that appears, prints it on standard
// output as "message: TEXT" and closes it with Enter. The program itself is
// not changed in any way.
//
// The texts come from PARLONDA_DRIVER_TEXTS: the eight boxes' texts in tab
// order, separated by "|".

#include <QApplication>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

class KeyboardDriver : public QObject
{
public:
    KeyboardDriver()
    {
        m_texts = QString::fromUtf8(qgetenv("PARLONDA_DRIVER_TEXTS")).split(u'|');
        connect(&m_timer, &QTimer::timeout, this, &KeyboardDriver::poll);
        m_timer.start(10);
    }

private:
    void poll()
    {
        if (!m_typed) {
            QWidget *window = QApplication::activeWindow();
            if (!window) {
                // Offscreen, a shown window still has to be activated.
                for (QWidget *top : QApplication::topLevelWidgets()) {
                    if (top->isVisible())
                        top->activateWindow();
                }
                return;
            }
            typeRegistration(window);
            m_typed = true;
            return;
        }
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box->property("parlonda.read").toBool())
            return;
        box->setProperty("parlonda.read", true);
        std::printf("message: %s\n", box->text().toUtf8().constData());
        std::fflush(stdout);
        QTest::keyClick(box, Qt::Key_Return);
    }

    void typeRegistration(QWidget *window)
    {
        for (const QString &text : m_texts) {
            QWidget *box = window->focusWidget();
            for (QChar c : text) {
                QTest::sendKeyEvent(QTest::Press, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
                QTest::sendKeyEvent(QTest::Release, box, Qt::Key_unknown, QString(c),
                                    Qt::NoModifier);
            }
            QTest::keyClick(box, Qt::Key_Tab);
        }
        // The focus is on "&Registrar" now. The press returns only when the
        // registration is over, so it is made from outside this timer's
        // handler: Qt fires no timer again while its handler runs, and the
        // messages are read by this timer meanwhile.
        QTimer::singleShot(0, window->focusWidget(), [button = window->focusWidget()] {
            QTest::keyClick(button, Qt::Key_Space);
        });
    }

    QTimer m_timer;
    QStringList m_texts;
    bool m_typed = false;
};

} // namespace

class KeyboardDriverPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "keyboard_driver_plugin.json")

public:
    QObject *create(const QString &, const QString &) override { return new KeyboardDriver; }
};

#include "keyboard_driver_plugin.moc"
