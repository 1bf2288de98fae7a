#include "message_box.h"

#include <QAbstractButton>
#include <QIcon>
#include <QMessageBox>

namespace parlonda {

void showMessage(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf16(kApplicationTitle), text,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText); // a nick typed by the user is never markup
    // Some desktop themes put an icon on dialog buttons; the message has none.
    if (QAbstractButton *ok = box.button(QMessageBox::Ok))
        ok->setIcon(QIcon());
    box.exec();
}

} // namespace parlonda
