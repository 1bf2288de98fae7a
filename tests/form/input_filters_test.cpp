#include "form/message_box.h"
#include "form_driver.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>

using namespace parlonda;
using namespace parlonda::test;

class InputFiltersTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty()); }

    void typing_lowerCasesNickAndPasswordsOnly_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nick") << 0 << u"NaDIA7_x"_qs << u"nadia7_x"_qs;
        QTest::newRow("password accents") << 6 << u"ÁÉÍÓÚÑÜ"_qs << u"áéíóúñü"_qs;
        QTest::newRow("confirmation, Windows-1252 capitals") << 7 << u"ŠŽŒŸÀÞ"_qs << u"šžœÿàþ"_qs;
        QTest::newRow("password punctuation unchanged") << 6 << u"A1!×ß"_qs << u"a1!×ß"_qs;
        QTest::newRow("names as typed") << 1 << u"Nadia PÉREZ"_qs << u"Nadia PÉREZ"_qs;
        QTest::newRow("e-mail as typed") << 2 << u"Nadia@X.org"_qs << u"Nadia@X.org"_qs;
        QTest::newRow("telephone as typed") << 3 << u"+593 (2) 555"_qs << u"+593 (2) 555"_qs;
        QTest::newRow("city as typed") << 4 << u"QUITO"_qs << u"QUITO"_qs;
        QTest::newRow("country as typed") << 5 << u"PAÍS"_qs << u"PAÍS"_qs;
    }

    void typing_lowerCasesNickAndPasswordsOnly()
    {
        QFETCH(int, box);
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(box, typed);
        QCOMPARE(f->box(box)->text(), expected);
    }

    void typing_keepsEditingKeysWorking()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(0, u"ABC");
        QTest::keyClick(f->box(0), Qt::Key_Backspace);
        QTest::keyClick(f->box(0), Qt::Key_Home);
        typeCharacter(f->box(0), u'X');
        QCOMPARE(f->box(0)->text(), u"xab"_qs);
        QCOMPARE(f->box(0)->cursorPosition(), 1);
        // Typing over a selection replaces it, lower-cased.
        f->box(0)->selectAll();
        typeCharacter(f->box(0), u'Z');
        QCOMPARE(f->box(0)->text(), u"z"_qs);
    }

    void inputMethodCommit_countsAsTyping_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("expected");
        QTest::newRow("password") << 6 << u"á"_qs;
        QTest::newRow("nick") << 0 << u"á"_qs;
        QTest::newRow("names") << 1 << u"Á"_qs;
    }

    void inputMethodCommit_countsAsTyping()
    {
        // A dead key followed by a letter arrives as an input method commit.
        QFETCH(int, box);
        QFETCH(QString, expected);
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QTest::mouseClick(f->box(box), Qt::LeftButton);
        QInputMethodEvent preedit(u"´"_qs, {});
        QApplication::sendEvent(f->box(box), &preedit);
        QInputMethodEvent commit;
        commit.setCommitString(u"Á"_qs);
        QApplication::sendEvent(f->box(box), &commit);
        QCOMPARE(f->box(box)->text(), expected);
    }

    void paste_isNotLowerCased()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QApplication::clipboard()->setText(u"MiNick"_qs);
        for (int box : {0, 6}) {
            QTest::mouseClick(f->box(box), Qt::LeftButton);
            QTest::keyClick(f->box(box), Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(f->box(box)->text(), u"MiNick"_qs);
        }
    }

    void refusedCharacters_areNotInsertedTypedOrPasted_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("colon in nick") << 0 << u"a:b"_qs << u"ab"_qs;
        QTest::newRow("colon in names") << 1 << u"a:b"_qs << u"ab"_qs;
        QTest::newRow("colon in country") << 5 << u"a:b"_qs << u"ab"_qs;
        QTest::newRow("colon in password") << 6 << u"a:b"_qs << u"a:b"_qs;
        QTest::newRow("Windows-1252 kept") << 1 << u"€‰ŒñÿÆ"_qs << u"€‰ŒñÿÆ"_qs;
        QTest::newRow("outside Windows-1252") << 1 << u"aЖ☃b"_qs << u"ab"_qs;
        QTest::newRow("emoji (surrogate pair)") << 4 << u"a😀b"_qs << u"ab"_qs;
        QTest::newRow("Cyrillic password") << 7 << u"пароль1"_qs << u"1"_qs;
        // The nick box refuses what the service's nick rules refuse.
        QTest::newRow("space in nick") << 0 << u"Juan Pérez"_qs << u"JuanPérez"_qs;
        QTest::newRow("no-break space in nick") << 0 << u"a\u00A0b"_qs << u"ab"_qs;
        QTest::newRow("soft hyphen in nick") << 0 << u"an\u00ADa"_qs << u"ana"_qs;
        QTest::newRow("nick over 32 characters") << 0 << u"abcdefghijklmnopqrstuvwxyz0123456789"_qs
                                                 << u"abcdefghijklmnopqrstuvwxyz012345"_qs;
        QTest::newRow("space and soft hyphen in names")
            << 1 << u"Ana\u00ADMaría Pérez"_qs << u"Ana\u00ADMaría Pérez"_qs;
    }

    void refusedCharacters_areNotInsertedTypedOrPasted()
    {
        QFETCH(int, box);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QLineEdit *edit = f->box(box);
        const bool lower = box == 0 || box >= 6;

        f.type(box, input);
        QCOMPARE(edit->text(), lower ? expected.toLower() : expected);

        // An input method's commit is typing too.
        edit->clear();
        QInputMethodEvent commit;
        commit.setCommitString(input);
        QApplication::sendEvent(edit, &commit);
        QCOMPARE(edit->text(), lower ? expected.toLower() : expected);

        edit->clear();
        QApplication::clipboard()->setText(input);
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(edit->text(), expected);

        edit->clear();
        QMimeData dragged;
        dragged.setText(input);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(edit, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(edit, &drop);
        QCOMPARE(edit->text(), expected);
    }

    void nick_pasteThatWouldMakeItTooLong_keepsWhatFits()
    {
        // As a browser's field with a length limit does: the pasted text is
        // cut where the box is full, the rest of the nick stays.
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(0, u"abcdefghij0123456789abcdefghij");
        f->box(0)->setCursorPosition(10);
        QApplication::clipboard()->setText(u"WX YZ"_qs);
        QTest::keyClick(f->box(0), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(f->box(0)->text(), u"abcdefghijWX0123456789abcdefghij"_qs);
        QCOMPARE(f->box(0)->cursorPosition(), 12);
        typeCharacter(f->box(0), u'q');
        QCOMPARE(f->box(0)->text().size(), 32);
    }

    void paste_dropsLineBreaksAndTabs()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        QApplication::clipboard()->setText(u"Av. Amazonas\r\n\t123\u0085"_qs);
        QTest::mouseClick(f->box(4), Qt::LeftButton);
        QTest::keyClick(f->box(4), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(f->box(4)->text(), u"Av. Amazonas123"_qs);
        QCOMPARE(f->box(4)->cursorPosition(), 15);
    }

    void leavingEmail_withoutAt_wipesIt_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::newRow("no @") << u"nadia.example.org"_qs << QString();
        QTest::newRow("@ inside") << u"nadia@example.org"_qs << u"nadia@example.org"_qs;
        QTest::newRow("@ first") << u"@nadia"_qs << u"@nadia"_qs;
        QTest::newRow("only @") << u"@"_qs << u"@"_qs;
        QTest::newRow("empty") << QString() << QString();
    }

    void leavingEmail_withoutAt_wipesIt()
    {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        for (bool byMouse : {false, true}) {
            FormUnderTest f;
            QVERIFY(f.shownAndActive());
            f.type(2, typed);
            if (byMouse)
                QTest::mouseClick(f->box(5), Qt::LeftButton);
            else
                QTest::keyClick(f->box(2), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), byMouse ? f->box(5) : f->box(3));
            QCOMPARE(f->box(2)->text(), kept);
        }
    }

    void leavingOtherBoxes_neverWipes()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(1, u"sin arroba");
        QTest::keyClick(f->box(1), Qt::Key_Tab);
        QCOMPARE(f->box(1)->text(), u"sin arroba"_qs);
    }

    void email_survivesAnotherWindowBeingActivated()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(2, u"nadia");
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QCOMPARE(f->box(2)->text(), u"nadia"_qs);
        other.close();
        QVERIFY(f.shownAndActive());
        QCOMPARE(f->box(2)->text(), u"nadia"_qs);
        // Still leaving it for another box wipes it.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(f->box(2)->text(), QString());
    }

    void email_survivesItsContextMenu()
    {
        // Right-click to paste: the menu takes the focus, but the user has
        // not left the box.
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(2, u"nadia");
        QContextMenuEvent event(QContextMenuEvent::Mouse, {5, 5},
                                f->box(2)->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(f->box(2), &event);
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        QCOMPARE(f->box(2)->text(), u"nadia"_qs);
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        QCOMPARE(f->box(2)->text(), u"nadia"_qs);
        QCOMPARE(f->focusWidget(), f->box(2));
    }

    void email_survivesAMessageBox()
    {
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.type(2, u"nadia");
        MessageReader reader;
        showMessage(&f.form(), u"Aviso"_qs);
        QCOMPARE(reader.texts(), QStringList{u"Aviso"_qs});
        QCOMPARE(f->box(2)->text(), u"nadia"_qs);
    }

    void pressingRegistrar_fromEmail_runsTheEmailCheckFirst_data()
    {
        QTest::addColumn<bool>("accessKey");
        QTest::newRow("mouse") << false;
        QTest::newRow("Alt+R") << true;
    }

    void pressingRegistrar_fromEmail_runsTheEmailCheckFirst()
    {
        // The button takes the focus before it is pressed, so the e-mail box
        // has been left (and wiped) when the checks run.
        QFETCH(bool, accessKey);
        FormUnderTest f;
        QVERIFY(f.shownAndActive());
        f.fillValid();
        f->box(2)->clear();
        f.type(2, u"nadia.example.org");
        MessageReader reader;
        if (accessKey)
            QTest::keyClick(f->box(2), Qt::Key_R, Qt::AltModifier);
        else
            f.click(0);
        QVERIFY(reader.waitFor(1));
        QCOMPARE(reader.texts().first(),
                 u"Debe llenar todos los campos cuyos nombres se encuentren en negrita"_qs);
        QCOMPARE(f->box(2)->text(), QString());
        QCOMPARE(f->focusWidget(), f->button(0));
    }
};

QTEST_MAIN(InputFiltersTest)
#include "input_filters_test.moc"
