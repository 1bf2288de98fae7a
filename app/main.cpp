#include "form/fregistrar.h"
#include "form/spanish_texts.h"

#include <QApplication>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("parlonda-registro"));

    QTranslator qtTexts;
    if (!parlonda::installSpanishTexts(qtTexts))
        qWarning("Qt's Spanish texts are not installed; Qt's own buttons will read in English");

    parlonda::Fregistrar form(
        {QStringLiteral(PARLONDA_SERVER_URL), QCoreApplication::applicationDirPath()});
    form.show();
    QApplication::exec();
    return form.exitStatus();
}
