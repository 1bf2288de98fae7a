#include "message_box.h"

#include <QMessageBox>

namespace parlonda {

void showMessage(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf16(kApplicationTitle), text,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText); // a nick typed by the user is never markup
    box.exec();
}

} // namespace parlonda
