#include "app/start_up.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("parlonda-registro"));
    parlonda::StartUp startUp(QStringLiteral(PARLONDA_SERVER_URL));
    QApplication::exec();
    return startUp.form().exitStatus();
}
