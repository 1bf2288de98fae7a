#include "form/spanish_texts.h"
#include "form_driver.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QTranslator>

using namespace parlonda;
using namespace parlonda::test;

namespace {

// The form's design in twips (left, top, width, height), as it was drawn;
// written out here, apart from the program's field table, so that a changed
// table shows.
struct Design
{
    int box[4];
    int label[4];
};
constexpr Design kDesign[8] = {
    {{1080, 240, 1095, 285}, {120, 240, 495, 255}},   // Nick
    {{1080, 600, 3375, 285}, {120, 600, 735, 255}},   // Nombres
    {{1080, 960, 3375, 285}, {120, 960, 735, 255}},   // Email
    {{1080, 1320, 1215, 285}, {120, 1320, 855, 255}}, // Teléfono
    {{1080, 1680, 1215, 285}, {120, 1680, 735, 255}}, // Ciudad
    {{1080, 2040, 1215, 285}, {120, 2040, 735, 255}}, // País
    {{1080, 2400, 1215, 285}, {120, 2400, 855, 255}}, // &Password
    {{3360, 2400, 1215, 285}, {2400, 2400, 855, 495}} // Confirma Password
};
constexpr int kButtonDesign[2][4] = {{960, 2880, 1215, 375}, {2400, 2880, 1215, 375}};

// 15 twips to the pixel at 96 dots per inch.
QRect pixels(const int (&twips)[4])
{
    return QRect(twips[0] / 15, twips[1] / 15, twips[2] / 15, twips[3] / 15);
}

} // namespace

class FregistrarWindowTest : public QObject
{
    Q_OBJECT

    QTranslator m_spanish;

private slots:
    void initTestCase() { QVERIFY(installSpanishTexts(m_spanish)); }

    void cleanup() { QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty()); }

    void window_matchesTheDesign()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QCOMPARE(f->windowTitle(), u"Registro en el servidor parlonda"_qs);
        QCOMPARE(f->size(), QSize(314, 222));
        QCOMPARE(f->minimumSize(), f->maximumSize());
        QVERIFY(!(f->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(f->windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(f->windowIcon().availableSizes(), (QList<QSize>{{32, 32}, {16, 16}}));
        QCOMPARE(f->serverUrl(), f.serverUrl());

        const QStringList captions = {u"Nick"_qs,      u"Nombres"_qs,          u"Email"_qs,
                                      u"Teléfono"_qs,  u"Ciudad"_qs,           u"País"_qs,
                                      u"&Password"_qs, u"Confirma Password"_qs};
        for (int i = 0; i < 8; ++i) {
            QLineEdit *box = f->box(i);
            QLabel *label = f->label(i);
            QCOMPARE(label->text(), captions[i]);
            QCOMPARE(box->geometry(), pixels(kDesign[i].box));
            QCOMPARE(label->geometry(), pixels(kDesign[i].label));
            QVERIFY(box->text().isEmpty());
            // Bold exactly where the box's tag makes it required.
            const bool required = !box->property("Tag").toString().isEmpty();
            QCOMPARE(required, i != 3);
            QCOMPARE(QFontInfo(label->font()).bold(), required);
            QVERIFY2(label->font().pointSizeF() == 8.25,
                     qPrintable(u"label %1: %2"_qs.arg(i).arg(label->font().toString())));
            QCOMPARE(box->echoMode(), i >= 6 ? QLineEdit::Password : QLineEdit::Normal);
            // No five-character cut of a password.
            QVERIFY(box->maxLength() >= 255);
        }
        QCOMPARE(f->box(0)->geometry(), QRect(72, 16, 73, 19));
        QCOMPARE(f->label(7)->geometry(), QRect(160, 160, 57, 33));
        QVERIFY(f->label(7)->wordWrap());
        QVERIFY(f->label(7)->heightForWidth(57) > QFontMetrics(f->label(7)->font()).height());

        QCOMPARE(f->button(0)->text(), u"&Registrar"_qs);
        QCOMPARE(f->button(1)->text(), u"&Cancelar"_qs);
        QCOMPARE(f->button(0)->geometry(), pixels(kButtonDesign[0]));
        QCOMPARE(f->button(1)->geometry(), pixels(kButtonDesign[1]));
        for (int i = 0; i < 2; ++i) {
            QVERIFY(!f->button(i)->isDefault());
            QVERIFY(!f->button(i)->autoDefault());
        }
    }

    void passwordBoxes_showAnAsteriskPerCharacter()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(6, u"abc");
        QCOMPARE(f->box(6)->text(), u"abc"_qs);
        QCOMPARE(f->box(6)->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                               f->box(6)),
                 int(u'*'));
        QCOMPARE(f->box(6)->displayText(), u"***"_qs);
    }

    void tabOrder_visitsBoxesThenButtons()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QCOMPARE(QApplication::focusWidget(), f->box(0));

        QList<QWidget *> expected;
        for (int i = 1; i < 8; ++i)
            expected.append(f->box(i));
        expected << f->button(0) << f->button(1) << f->box(0);
        for (QWidget *next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), f->button(1));
        for (int i = 0; i < 8; ++i)
            QCOMPARE(f->label(i)->focusPolicy(), Qt::NoFocus);
    }

    void accessKeys_focusPasswordAndPressButtons()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QTest::keyClick(&f.form(), Qt::Key_P, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), f->box(6));

        MessageReader reader;
        QTest::keyClick(&f.form(), Qt::Key_R, Qt::AltModifier);
        QVERIFY(reader.waitFor(1));
        QCOMPARE(
            reader.texts(),
            QStringList{u"Debe llenar todos los campos cuyos nombres se encuentren en negrita"_qs});

        QVERIFY(f.shownAndActive());
        QTest::keyClick(&f.form(), Qt::Key_C, Qt::AltModifier);
        QTRY_VERIFY(!f->isVisible());
        QCOMPARE(f->exitStatus(), 0);
        QVERIFY(!f.profileExists());
    }

    void boxes_carryTheirLabelAsAccessibleName()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        const QStringList names = {u"Nick"_qs,     u"Nombres"_qs,          u"Email"_qs,
                                   u"Teléfono"_qs, u"Ciudad"_qs,           u"País"_qs,
                                   u"Password"_qs, u"Confirma Password"_qs};
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(f->box(i)->accessibleName(), names[i]);
            QCOMPARE(f->label(i)->buddy(), f->box(i));
        }
    }

    void enterAndEscape_doNothing()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.fillValid();
        MessageReader reader;
        // A default button would be pressed at once and clicked a moment
        // later: no press now means no click later.
        QSignalSpy registerPressed(f->button(0), &QPushButton::pressed);
        QSignalSpy cancelPressed(f->button(1), &QPushButton::pressed);
        for (int i : {0, 2, 7}) {
            QTest::mouseClick(f->box(i), Qt::LeftButton);
            QTest::keyClick(f->box(i), Qt::Key_Return);
            QTest::keyClick(f->box(i), Qt::Key_Enter, Qt::KeypadModifier);
            QTest::keyClick(f->box(i), Qt::Key_Escape);
        }
        QCOMPARE(registerPressed.count(), 0);
        QCOMPARE(cancelPressed.count(), 0);
        QVERIFY(f->isVisible());
        QVERIFY(reader.messages().isEmpty());
        QVERIFY(!f->isWaiting());
        QCOMPARE(f->box(0)->text(), u"nadia"_qs);
    }

    void enterOnAFocusedButton_pressesIt()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f->button(1)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(f->button(1), Qt::Key_Return);
        QTRY_VERIFY(!f->isVisible());
    }

    void cancel_closesWithoutWriting_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("Cancelar clicked") << 0;
        QTest::newRow("close box") << 1;
        QTest::newRow("Space on Cancelar") << 2;
    }

    void cancel_closesWithoutWriting()
    {
        QFETCH(int, how);
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.fillValid();
        QSignalSpy finished(&f.form(), &QDialog::finished);
        switch (how) {
        case 0:
            f.click(1);
            break;
        case 1:
            QVERIFY(f->close());
            break;
        case 2:
            f->button(1)->setFocus(Qt::TabFocusReason);
            QTest::keyClick(f->button(1), Qt::Key_Space);
            break;
        }
        QTRY_VERIFY(!f->isVisible());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(f->exitStatus(), 0);
        QVERIFY(!f.profileExists());
        QVERIFY(QDir(f.profileDir()).isEmpty());
    }

    void okClick_otherIndexesDoNothing()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        MessageReader reader;
        // Whatever a click does, it has done by the time it returns: a
        // message is read and closed while it is shown.
        for (int index : {-1, 2, 32767})
            f->Ok_Click(index);
        QVERIFY(f->isVisible());
        QVERIFY(reader.messages().isEmpty());
    }

    void failedCheck_showsOneSpanishMessageAndKeepsTheForm_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<int>("emptyBox");
        QTest::addColumn<QString>("message");
        const QString differ = u"Los password no coinciden"_qs;
        const QString bold =
            u"Debe llenar todos los campos cuyos nombres se encuentren en negrita"_qs;
        QTest::newRow("passwords differ") << u"uno"_qs << u"dos"_qs << -1 << differ;
        QTest::newRow("confirmation empty") << u"uno"_qs << QString() << -1 << differ;
        QTest::newRow("password check first") << u"uno"_qs << u"dos"_qs << 0 << differ;
        QTest::newRow("both passwords empty") << QString() << QString() << -1 << bold;
        QTest::newRow("nick empty") << u"uno"_qs << u"uno"_qs << 0 << bold;
        QTest::newRow("city empty") << u"uno"_qs << u"uno"_qs << 4 << bold;
    }

    void failedCheck_showsOneSpanishMessageAndKeepsTheForm()
    {
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(int, emptyBox);
        QFETCH(QString, message);

        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.fillValid();
        f->box(6)->clear();
        f->box(7)->clear();
        f.type(6, password);
        f.type(7, confirmation);
        if (emptyBox >= 0)
            f->box(emptyBox)->clear();
        QStringList before;
        for (int i = 0; i < 8; ++i)
            before.append(f->box(i)->text());

        // The checks' messages are shown, read and closed within the click.
        MessageReader reader;
        f.click(0);
        QCOMPARE(reader.messages().size(), 1);
        const SeenMessage &seen = reader.messages().first();
        QCOMPARE(seen.text, message);
        QCOMPARE(seen.title, u"Parlonda"_qs);
        QVERIFY(!seen.hasIcon);
        QVERIFY(seen.applicationModal);
        QCOMPARE(seen.buttons, QStringList{u"Aceptar"_qs});
        QVERIFY(!seen.pointer); // no hourglass for the checks

        QVERIFY(f->isVisible());
        for (int i = 0; i < 8; ++i)
            QCOMPARE(f->box(i)->text(), before[i]);
        QCOMPARE(f->focusWidget(), f->button(0));
        QVERIFY(!f.profileExists());
    }

    void contextMenu_isSpanish()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QContextMenuEvent event(QContextMenuEvent::Mouse, {5, 5},
                                f->box(1)->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(f->box(1), &event);
        QTRY_VERIFY(QApplication::activePopupWidget());
        QStringList actions;
        for (QAction *a : QApplication::activePopupWidget()->actions())
            actions.append(a->text().section(u'\t', 0, 0).remove(u'&'));
        QApplication::activePopupWidget()->close();
        QVERIFY2(actions.contains(u"Pegar"_qs), qPrintable(actions.join(u", ")));
    }
};

QTEST_MAIN(FregistrarWindowTest)
#include "fregistrar_window_test.moc"
