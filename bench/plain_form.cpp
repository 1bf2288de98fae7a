// The fair reference for the program's start-up and peak memory: the same
// eighteen widgets built the plain way, at the same places (eight labels with
// the required ones bold, eight line edits, two buttons), with nothing of the
// program's own: no typing filters, no network, no icon, no Spanish texts for
// Qt, Qt's default font. Shown and reported on exactly as registro_startup
// reports the form.

#include "bench/shown_probe.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDialog window;
    window.setWindowTitle(QStringLiteral("Registro en el servidor parlonda"));
    window.setFixedSize(314, 222);

    struct Row
    {
        const char16_t *caption;
        bool bold;
        bool password;
        QRect box;
        QRect label;
    };
    const Row rows[] = {
        {u"Nick", true, false, {72, 16, 73, 19}, {8, 16, 33, 17}},
        {u"Nombres", true, false, {72, 40, 225, 19}, {8, 40, 49, 17}},
        {u"Email", true, false, {72, 64, 225, 19}, {8, 64, 49, 17}},
        {u"Teléfono", false, false, {72, 88, 81, 19}, {8, 88, 57, 17}},
        {u"Ciudad", true, false, {72, 112, 81, 19}, {8, 112, 49, 17}},
        {u"País", true, false, {72, 136, 81, 19}, {8, 136, 49, 17}},
        {u"&Password", true, true, {72, 160, 81, 19}, {8, 160, 57, 17}},
        {u"Confirma Password", true, true, {224, 160, 81, 19}, {160, 160, 57, 33}},
    };
    QFont bold = window.font();
    bold.setBold(true);
    for (const Row &row : rows) {
        auto *box = new QLineEdit(&window);
        box->setGeometry(row.box);
        if (row.password)
            box->setEchoMode(QLineEdit::Password);
        auto *label = new QLabel(QString::fromUtf16(row.caption), &window);
        label->setGeometry(row.label);
        label->setWordWrap(true);
        label->setBuddy(box);
        if (row.bold)
            label->setFont(bold);
    }
    (new QPushButton(QStringLiteral("&Registrar"), &window))->setGeometry(64, 192, 81, 25);
    (new QPushButton(QStringLiteral("&Cancelar"), &window))->setGeometry(160, 192, 81, 25);

    window.show();
    parlonda::bench::ShownProbe probe(window.windowHandle());
    return QApplication::exec();
}
